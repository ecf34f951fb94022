#include "platform/win32/Win32Api.h"

#include <cstdio>

#include "platform/Utf.h"
#include "platform/win32/Win32Scoped.h"

namespace Velmora {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide Win32 text is UTF-16");

std::wstring ToWide(const std::string& utf8)
{
    const std::u16string wide = Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

std::string FromWide(const wchar_t* text, std::size_t length)
{
    if (text == nullptr || length == 0) return std::string();
    return Utf16ToUtf8(std::u16string(text, text + length));
}

std::string FromWide(const std::wstring& text) { return FromWide(text.data(), text.size()); }

std::wstring ToWideForDisplay(const std::string& utf8)
{
    const std::u16string wide = Utf8ToUtf16(utf8, TInvalidText::Replace);
    return std::wstring(wide.begin(), wide.end());
}

std::string FromWideForDisplay(const wchar_t* text, std::size_t length)
{
    if (text == nullptr || length == 0) return std::string();
    return Utf16ToUtf8(std::u16string(text, text + length), TInvalidText::Replace);
}

std::string SystemErrorText(unsigned long code)
{
    wchar_t* received = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&received), 0, nullptr);
    const TLocalMemory<wchar_t*> buffer(received);
    std::string text;
    if (length != 0 && buffer) {
        std::wstring wide(buffer.Get(), length);
        while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) {
            wide.pop_back();
        }
        try {
            text = FromWideForDisplay(wide.data(), wide.size());
        } catch (...) {
            text.clear();
        }
    }
    if (text.empty()) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%08lX", code);
        text = std::string("错误代码 ") + hex;
    }
    return text;
}

}  // namespace Velmora
