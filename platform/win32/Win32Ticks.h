#pragma once
// Milliseconds since the system started, 64 bits wide, on every Windows the library
// loads on. GetTickCount64 does this from Vista on; Windows XP and Server 2003 lack
// it, and their loader refuses a DLL that imports it, so it is looked up at run time
// and, where it is missing, the 32-bit count is widened by counting its wrap-arounds.

#include <atomic>
#include <cstdint>

namespace Velmora {

// Widens a 32-bit millisecond count that wraps every 49.7 days. Safe on any thread:
// a reading that another thread has already overtaken is told from a wrap-around by
// its distance (a wrap puts the count back by more than half its range). Readings
// more than 24 days apart may lose a wrap-around between them, which never matters
// for measuring a wait.
class TTickWidener {
public:
    std::uint64_t Widen(std::uint32_t now) noexcept;

private:
    // Wrap-arounds counted so far in the upper half, the latest reading in the lower.
    std::atomic<std::uint64_t> FState{0};
};

std::uint64_t TickCount64() noexcept;

}  // namespace Velmora
