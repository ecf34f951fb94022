// The run lock on the real system (under Wine in CI): a named mutex that keeps a
// second run out, inside the process and from any other.

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/Win32RunLock.h"
#include "platform/win32/Win32Scoped.h"

namespace Velmora {
namespace {

struct TProbe {
    const wchar_t* Name;
    DWORD Wait;
};

DWORD WINAPI Probe(void* argument)
{
    auto& state = *static_cast<TProbe*>(argument);
    const TKernelHandle mutex(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, state.Name));
    if (!mutex) return 0;
    state.Wait = WaitForSingleObject(mutex.Get(), 0);
    if (state.Wait == WAIT_OBJECT_0 || state.Wait == WAIT_ABANDONED) ReleaseMutex(mutex.Get());
    return 0;
}

// Whether another thread (as another process would) finds the named mutex taken.
bool TakenElsewhere(const wchar_t* name)
{
    TProbe probe{name, WAIT_FAILED};
    const TKernelHandle thread(CreateThread(nullptr, 0, Probe, &probe, 0, nullptr));
    WaitForSingleObject(thread.Get(), 10000);
    return probe.Wait == WAIT_TIMEOUT;
}

TEST(Win32RunLock, OneRunAtATimeAndTheNextOnceItIsGiven)
{
    TWin32RunLock first;
    TWin32RunLock second;
    ASSERT_TRUE(first.TryAcquire());
    ASSERT_NE(first.HeldName(), nullptr);
    EXPECT_TRUE(std::wstring(first.HeldName()) == L"Global\\VelmoraPreprocessingRun" ||
                std::wstring(first.HeldName()) == L"Local\\VelmoraPreprocessingRun");
    EXPECT_TRUE(TakenElsewhere(first.HeldName())) << "a second process finds the mutex taken";
    // A mutex lets its owning thread take it again; a call of DoIt from inside the
    // first one's message loop would be that thread.
    EXPECT_FALSE(second.TryAcquire());
    const std::wstring name = first.HeldName();
    first.Release();
    EXPECT_FALSE(TakenElsewhere(name.c_str()));
    EXPECT_TRUE(second.TryAcquire());
    EXPECT_FALSE(first.TryAcquire());
}

}  // namespace
}  // namespace Velmora
