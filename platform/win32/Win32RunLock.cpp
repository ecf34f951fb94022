#include "platform/win32/Win32RunLock.h"

#include <string>

#include "platform/Errors.h"

namespace Velmora {

const wchar_t* const TWin32RunLock::GlobalName = L"Global\\VelmoraPreprocessingRun";
const wchar_t* const TWin32RunLock::LocalName = L"Local\\VelmoraPreprocessingRun";

namespace {

// A mutex belongs to a thread, and the thread that owns it may take it again: a host
// that calls DoIt again from inside its own message handling (the dialog runs the
// message loop) would pass. This flag keeps the process to one run.
volatile LONG ProcessHoldsLock = 0;

[[noreturn]] void RaiseLockError(DWORD error)
{
    throw EVelmoraError("无法建立运行锁（Windows 错误 " + std::to_string(error) + "）");
}

// Everyone may wait on and release the machine-wide mutex, so that the runs of
// different users, whoever came first, keep each other out.
HANDLE CreateSharedMutex(const wchar_t* name)
{
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        attributes.lpSecurityDescriptor = &descriptor;
    }
    return CreateMutexW(&attributes, FALSE, name);
}

}  // namespace

bool TWin32RunLock::TryAcquire()
{
    if (FMutex) return true;
    if (InterlockedCompareExchange(&ProcessHoldsLock, 1, 0) != 0) return false;

    // Creating a global object needs a right that a user in a remote session may lack.
    const wchar_t* name = GlobalName;
    TKernelHandle mutex(CreateSharedMutex(name));
    if (!mutex && GetLastError() == ERROR_ACCESS_DENIED) {
        name = LocalName;
        mutex.Reset(CreateSharedMutex(name));
    }
    if (!mutex) {
        const DWORD error = GetLastError();
        InterlockedExchange(&ProcessHoldsLock, 0);
        RaiseLockError(error);
    }
    const DWORD wait = WaitForSingleObject(mutex.Get(), 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        FMutex.Reset(mutex.Detach());
        FHeldName = name;
        return true;
    }
    const DWORD error = GetLastError();
    mutex.Reset();
    InterlockedExchange(&ProcessHoldsLock, 0);
    if (wait == WAIT_TIMEOUT) return false;
    RaiseLockError(error);
}

void TWin32RunLock::Release() noexcept
{
    if (!FMutex) return;
    ReleaseMutex(FMutex.Get());
    FMutex.Reset();
    FHeldName = nullptr;
    InterlockedExchange(&ProcessHoldsLock, 0);
}

}  // namespace Velmora
