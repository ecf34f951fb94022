#pragma once
// OLE wide strings (BSTR) where there is no OLE: the characters are UTF-16, a
// 4-byte byte count lies just before the first one, a NUL just after the last,
// and the string is handed around as the pointer to its first character. Strings
// are allocated and freed only inside the library, so host and library never mix
// allocators; the plug-in exports these as VelmoraSysAllocStringLen and friends.

#include <cstdint>

#include "platform/OleString.h"

namespace Velmora {

// A new string of length characters copied from chars (zeros when chars is null);
// nullptr when memory runs out or the length does not fit the prefix.
char16_t* OleAllocStringLen(const char16_t* chars, std::uint32_t length) noexcept;
// Frees a string of OleAllocStringLen; nullptr is allowed and does nothing.
void OleFreeString(char16_t* text) noexcept;
// Characters in the string (from its prefix); 0 for nullptr.
std::uint32_t OleStringLen(const char16_t* text) noexcept;

// The caller's result variable: a pointer to the variable that holds the string pointer.
class TPosixOleStringVariable : public IOleStringVariable {
public:
    explicit TPosixOleStringVariable(char16_t** variable) : FVariable(variable) {}

    // Allocates the new string first and frees the previous one only once that
    // worked, so the variable always holds a valid string.
    void Assign(const std::string& utf8) override;
    void Clear() noexcept override;

private:
    char16_t** FVariable;
};

}  // namespace Velmora
