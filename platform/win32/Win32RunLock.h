#pragma once
// The run lock on Windows: a named mutex, machine-wide ("Global\") where the user's
// rights allow and for the user's session ("Local\") where they do not. The system
// hands an abandoned mutex to the next waiter, so a run that dies gives it back.

#include "platform/RunLock.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Scoped.h"

namespace Velmora {

class TWin32RunLock : public IRunLock {
public:
    static const wchar_t* const GlobalName;
    static const wchar_t* const LocalName;

    TWin32RunLock() = default;
    ~TWin32RunLock() override { Release(); }
    TWin32RunLock(const TWin32RunLock&) = delete;
    TWin32RunLock& operator=(const TWin32RunLock&) = delete;

    bool TryAcquire() override;
    void Release() noexcept override;
    // The name of the mutex held, or nullptr.
    const wchar_t* HeldName() const { return FHeldName; }

private:
    TKernelHandle FMutex;
    const wchar_t* FHeldName = nullptr;
};

}  // namespace Velmora
