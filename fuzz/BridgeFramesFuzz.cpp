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
    // The second byte sets the limit a client not yet known is held to, until its first frame.
    const std::size_t limit = size > 1 && data[1] % 2 == 0 ? MaxLine : MaxFrameText;
    reader.SetTextLimit(limit);
    try {
        TFrame frame;
        for (bool first = true; reader.Next(frame); first = false) {
            if (frame.Text.size() > (first ? limit : MaxFrameText) || frame.Word.size() > MaxLine) __builtin_trap();
            reader.SetTextLimit(MaxFrameText);
        }
    } catch (const EBridgeProtocolError&) {
    }
    SameToken(std::string(reinterpret_cast<const char*>(data), size / 2),
              std::string(reinterpret_cast<const char*>(data) + size / 2, size - size / 2));
    return 0;
}
