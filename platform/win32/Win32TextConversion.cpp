#include "platform/win32/Win32TextConversion.h"

#include <climits>
#include <cstdio>

#include "platform/Errors.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

namespace {

int CheckedLength(std::size_t length)
{
    if (length > static_cast<std::size_t>(INT_MAX)) throw EVelmoraError("文本太长，无法转换");
    return static_cast<int>(length);
}

// The host's bytes as a message can carry them: every character the code page
// decodes as it stands, every byte it cannot as \xHH. Raw undecodable bytes would
// make the message itself invalid text, and a box cannot show that.
std::string Readable(const std::string& ansi, UINT codePage)
{
    CPINFO info{};
    UINT longest = GetCPInfo(codePage, &info) ? info.MaxCharSize : 2;
    if (longest < 1) longest = 1;
    std::string out;
    std::size_t i = 0;
    while (i < ansi.size()) {
        bool decoded = false;
        // A lead byte alone does not decode; with its trail byte it does.
        for (UINT size = 1; size <= longest && i + size <= ansi.size() && !decoded; ++size) {
            wchar_t wide[4];
            const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, ansi.data() + i,
                                                  static_cast<int>(size), wide, 4);
            const bool control = count == 1 && wide[0] < L' ';
            if (count > 0 && !control) {
                out += FromWideForDisplay(wide, static_cast<std::size_t>(count));
                i += size;
                decoded = true;
            }
        }
        if (!decoded) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(ansi[i])));
            out += hex;
            ++i;
        }
    }
    return out;
}

}  // namespace

TWin32TextConversion::TWin32TextConversion() : FCodePage(GetACP()) {}

std::string TWin32TextConversion::AnsiToUtf8(const std::string& ansi)
{
    if (ansi.empty()) return std::string();
    const int length = CheckedLength(ansi.size());
    const int wideLength = MultiByteToWideChar(FCodePage, MB_ERR_INVALID_CHARS, ansi.data(), length, nullptr, 0);
    if (wideLength <= 0) {
        const DWORD error = GetLastError();
        throw EVelmoraError("文本“" + Readable(ansi, FCodePage) + "”含有系统代码页（" + std::to_string(FCodePage) +
                            "）中无效的字节：" + SystemErrorText(error));
    }
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(FCodePage, MB_ERR_INVALID_CHARS, ansi.data(), length, &wide[0], wideLength);
    return FromWide(wide);
}

std::string TWin32TextConversion::Utf8ToAnsi(const std::string& utf8)
{
    if (utf8.empty()) return std::string();
    // Raises for invalid UTF-8, so the text below is always fit for a message.
    const std::wstring wide = ToWide(utf8);
    const int length = CheckedLength(wide.size());
    // A character the code page cannot hold would silently become '?': refuse instead.
    // UTF-8 holds every character, and the system refuses both the best-fit flag and
    // the question about default characters for it.
    const bool holdsEverything = FCodePage == CP_UTF8;
    const DWORD flags = holdsEverything ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* askUsedDefault = holdsEverything ? nullptr : &usedDefault;
    const int ansiLength =
        WideCharToMultiByte(FCodePage, flags, wide.data(), length, nullptr, 0, nullptr, askUsedDefault);
    if (ansiLength <= 0 || usedDefault) {
        throw EVelmoraError("文本“" + utf8 + "”含有系统代码页（" + std::to_string(FCodePage) + "）中没有的字符");
    }
    std::string ansi(static_cast<std::size_t>(ansiLength), '\0');
    WideCharToMultiByte(FCodePage, flags, wide.data(), length, &ansi[0], ansiLength, nullptr, nullptr);
    return ansi;
}

}  // namespace Velmora
