// The bridge's request reader on arbitrary bytes, delivered in pieces of varying
// size as a socket delivers them: every input ends in frames, the stream's end or
// a protocol error, never in a crash, and no frame outgrows its limit.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tools/standin-bridge/BridgeProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace Velmora::Bridge;
    if (size == 0) return 0;
    // The first byte sets the pieces' sizes.
    const std::size_t piece = 1 + data[0] % 64;
    std::size_t at = 1;
    TFrameReader reader([&](char* buffer, std::size_t room) -> std::size_t {
        const std::size_t n = std::min({room, piece, size - at});
        if (n > 0) std::memcpy(buffer, data + at, n);
        at += n;
        return n;
    });
    try {
        TFrame frame;
        while (reader.Next(frame)) {
            if (frame.Text.size() > MaxFrameText || frame.Word.size() > MaxLine) __builtin_trap();
        }
    } catch (const EBridgeProtocolError&) {
    }
    SameToken(std::string(reinterpret_cast<const char*>(data), size / 2),
              std::string(reinterpret_cast<const char*>(data) + size / 2, size - size / 2));
    return 0;
}
