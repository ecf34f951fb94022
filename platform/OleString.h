#pragma once
// The host's result variable: an OLE wide string that the library replaces.

#include <string>

namespace Velmora {

class IOleStringVariable {
public:
    virtual ~IOleStringVariable() = default;
    // Frees the variable's previous string and stores a newly allocated copy of text.
    virtual void Assign(const std::string& utf8) = 0;
    // Frees the variable's string and leaves the variable empty (a null string), so
    // that it never keeps a string the host would take for this call's answer.
    virtual void Clear() noexcept = 0;
};

}  // namespace Velmora
