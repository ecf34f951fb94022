#pragma once
// The host's result variable, a BSTR, replaced through the OLE string allocator.

#include "platform/OleString.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

class TWin32OleString : public IOleStringVariable {
public:
    using TAllocate = BSTR(WINAPI*)(const OLECHAR*, UINT);
    using TFree = void(WINAPI*)(BSTR);

    // The allocator pair can be replaced, so that a test can watch the order of calls
    // and make an allocation fail.
    explicit TWin32OleString(BSTR* variable, TAllocate allocate = ::SysAllocStringLen, TFree free = ::SysFreeString)
        : FVariable(variable), FAllocate(allocate), FFree(free)
    {
    }

    // The new string is allocated before the previous one is freed: when the
    // allocation fails the variable still holds a valid string.
    void Assign(const std::string& utf8) override;
    void Clear() noexcept override;

private:
    BSTR* FVariable;
    TAllocate FAllocate;
    TFree FFree;
};

}  // namespace Velmora
