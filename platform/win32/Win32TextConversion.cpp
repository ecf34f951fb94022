#include "platform/win32/Win32TextConversion.h"

#include <climits>

#include "platform/Errors.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

namespace {

int CheckedLength(std::size_t length)
{
    if (length > static_cast<std::size_t>(INT_MAX)) throw EVelmoraError("文本太长，无法转换");
    return static_cast<int>(length);
}

}  // namespace

std::string TWin32TextConversion::AnsiToUtf8(const std::string& ansi)
{
    if (ansi.empty()) return std::string();
    const int length = CheckedLength(ansi.size());
    const int wideLength = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, nullptr, 0);
    if (wideLength <= 0) {
        throw EVelmoraError("文本“" + ansi + "”含有系统代码页中无效的字节：" + SystemErrorText(GetLastError()));
    }
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, &wide[0], wideLength);
    return FromWide(wide);
}

std::string TWin32TextConversion::Utf8ToAnsi(const std::string& utf8)
{
    if (utf8.empty()) return std::string();
    const std::wstring wide = ToWide(utf8);
    const int length = CheckedLength(wide.size());
    // A character the code page cannot hold would silently become '?': refuse instead.
    BOOL usedDefault = FALSE;
    const int ansiLength =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0, nullptr, &usedDefault);
    if (ansiLength <= 0 || usedDefault) {
        throw EVelmoraError("文本“" + utf8 + "”含有系统代码页中没有的字符");
    }
    std::string ansi(static_cast<std::size_t>(ansiLength), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, &ansi[0], ansiLength, nullptr, nullptr);
    return ansi;
}

}  // namespace Velmora
