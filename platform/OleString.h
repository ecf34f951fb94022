#pragma once
// The host's result variable: an OLE wide string that the library replaces.

#include <string>

namespace Velmora {

class IOleStringVariable {
public:
    virtual ~IOleStringVariable() = default;
    // Frees the variable's previous string and stores a newly allocated copy of text.
    virtual void Assign(const std::string& utf8) = 0;
};

}  // namespace Velmora
