#include "platform/win32/Win32Ticks.h"

#include "platform/win32/Win32Api.h"

namespace Velmora {

std::uint64_t TTickWidener::Widen(std::uint32_t now) noexcept
{
    std::uint64_t state = FState.load();
    for (;;) {
        const auto last = static_cast<std::uint32_t>(state);
        std::uint64_t wraps = state >> 32;
        if (now < last) {
            if (last - now < 0x80000000u) return (wraps << 32) | now;  // overtaken, not wrapped
            ++wraps;
        }
        const std::uint64_t next = (wraps << 32) | now;
        if (next == state || FState.compare_exchange_weak(state, next)) return next;
    }
}

namespace {

using TGetTickCount64 = ULONGLONG(WINAPI*)();

TTickWidener Widener;

ULONGLONG WINAPI WidenedTickCount() { return Widener.Widen(GetTickCount()); }

// Looked up once; two threads looking it up at the same time find the same answer.
std::atomic<TGetTickCount64> SystemTickCount{nullptr};

}  // namespace

std::uint64_t TickCount64() noexcept
{
    TGetTickCount64 read = SystemTickCount.load();
    if (read == nullptr) {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "GetTickCount64") : nullptr;
        read = found != nullptr ? reinterpret_cast<TGetTickCount64>(reinterpret_cast<void*>(found))
                                : &WidenedTickCount;
        SystemTickCount.store(read);
    }
    return read();
}

}  // namespace Velmora
