#pragma once
// The bridge's requests as they arrive on a byte stream, read with every size
// checked before anything is allocated for it, so that no client makes the bridge
// hold more than one bounded frame at a time.

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Velmora::Bridge {

// The largest text a counted frame may announce.
constexpr std::size_t MaxFrameText = std::size_t{16} << 20;
// The longest request line, newline excluded.
constexpr std::size_t MaxLine = 1024;

// What came is not a request; the message says why, for the error answer.
class EBridgeProtocolError : public std::runtime_error {
public:
    explicit EBridgeProtocolError(const std::string& message) : std::runtime_error(message) {}
};

struct TFrame {
    char Verb = 0;
    std::string Word;  // S: the service state's word
    std::string Text;  // A, O, E: the counted text
};

class TFrameReader {
public:
    // source(buffer, size) fills at most size bytes and answers how many; 0 at the
    // stream's end. It may raise EBridgeProtocolError (a time limit, say).
    using TSource = std::function<std::size_t(char* buffer, std::size_t size)>;

    explicit TFrameReader(TSource source) : FSource(std::move(source)), FBuffer(64 * 1024) {}

    // The most a counted text may announce from now on (at most MaxFrameText): a
    // client not yet known is given no room for more than a token.
    void SetTextLimit(std::size_t limit) { FTextLimit = limit < MaxFrameText ? limit : MaxFrameText; }

    // The next frame; false when the stream ended between frames. Raises
    // EBridgeProtocolError for anything else, a stream cut inside a frame included.
    bool Next(TFrame& frame);

private:
    TSource FSource;
    std::vector<char> FBuffer;
    std::size_t FBegin = 0;
    std::size_t FEnd = 0;
    std::size_t FTextLimit = MaxFrameText;

    bool Fill();
    bool Line(std::string& line);
    void Bytes(std::size_t size, std::string& text);
};

// Text with its byte count on the line before, as every text travels.
std::string Counted(const std::string& text);
// A failed request: the server's message number (0 when there is none) and its message.
std::string ErrorAnswer(int number, const std::string& message);
// Whether a presented token is the bridge's own, in a time that does not depend
// on where the two first differ.
bool SameToken(const std::string& presented, const std::string& token);

}  // namespace Velmora::Bridge
