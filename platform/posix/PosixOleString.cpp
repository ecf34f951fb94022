#include "platform/posix/PosixOleString.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/Errors.h"
#include "platform/Utf.h"

namespace Velmora {

namespace {
constexpr std::size_t PrefixBytes = sizeof(std::uint32_t);
}

char16_t* OleAllocStringLen(const char16_t* chars, std::uint32_t length) noexcept
{
    // The prefix counts bytes in 32 bits, as OLE's does.
    const std::uint64_t bytes = std::uint64_t{length} * sizeof(char16_t);
    if (bytes > 0xFFFFFFFFu - sizeof(char16_t)) return nullptr;
    if (bytes > SIZE_MAX - PrefixBytes - sizeof(char16_t)) return nullptr;
    void* block = std::malloc(PrefixBytes + static_cast<std::size_t>(bytes) + sizeof(char16_t));
    if (!block) return nullptr;
    const std::uint32_t prefix = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &prefix, PrefixBytes);
    char16_t* text = reinterpret_cast<char16_t*>(static_cast<char*>(block) + PrefixBytes);
    if (chars) {
        std::memcpy(text, chars, static_cast<std::size_t>(bytes));
    } else {
        std::memset(text, 0, static_cast<std::size_t>(bytes));
    }
    text[length] = u'\0';
    return text;
}

void OleFreeString(char16_t* text) noexcept
{
    if (!text) return;
    std::free(reinterpret_cast<char*>(text) - PrefixBytes);
}

std::uint32_t OleStringLen(const char16_t* text) noexcept
{
    if (!text) return 0;
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const char*>(text) - PrefixBytes, PrefixBytes);
    return bytes / sizeof(char16_t);
}

void TPosixOleStringVariable::Assign(const std::string& utf8)
{
    if (!FVariable) throw EVelmoraError("宿主没有提供结果变量");
    const std::u16string wide = Utf8ToUtf16(utf8);
    if (wide.size() > 0x7FFFFFFFu) throw std::bad_alloc();
    char16_t* fresh = OleAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
    if (!fresh) throw std::bad_alloc();
    OleFreeString(*FVariable);
    *FVariable = fresh;
}

void TPosixOleStringVariable::Clear() noexcept
{
    if (!FVariable) return;
    OleFreeString(*FVariable);
    *FVariable = nullptr;
}

}  // namespace Velmora
