#include "tools/standin-bridge/BridgeProtocol.h"

#include <algorithm>
#include <cstring>

namespace Velmora::Bridge {

namespace {

// "V <count>": the count in decimal digits, checked against the limit before the text is read.
std::size_t AnnouncedSize(const std::string& line, std::size_t limit)
{
    const std::string digits = line.size() > 2 && line[1] == ' ' ? line.substr(2) : std::string();
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        throw EBridgeProtocolError(std::string("request ") + line[0] + " needs its byte count: \"" + line[0] +
                                   " <bytes>\"");
    }
    const std::size_t significant = digits.size() - std::min(digits.find_first_not_of('0'), digits.size());
    std::size_t size = limit + 1;
    if (significant <= 9) size = static_cast<std::size_t>(std::stoul(digits));
    if (size > limit) {
        throw EBridgeProtocolError("request " + std::string(1, line[0]) + " announces more than " +
                                   std::to_string(limit) + " bytes");
    }
    return size;
}

}  // namespace

bool TFrameReader::Fill()
{
    if (FBegin == FEnd) FBegin = FEnd = 0;
    if (FEnd == FBuffer.size()) {
        std::memmove(FBuffer.data(), FBuffer.data() + FBegin, FEnd - FBegin);
        FEnd -= FBegin;
        FBegin = 0;
    }
    const std::size_t got = FSource(FBuffer.data() + FEnd, FBuffer.size() - FEnd);
    FEnd += std::min(got, FBuffer.size() - FEnd);
    return got > 0;
}

bool TFrameReader::Line(std::string& line)
{
    line.clear();
    for (;;) {
        const char* begin = FBuffer.data() + FBegin;
        const char* newline = static_cast<const char*>(std::memchr(begin, '\n', FEnd - FBegin));
        const std::size_t taken = newline != nullptr ? static_cast<std::size_t>(newline - begin) : FEnd - FBegin;
        if (line.size() + taken > MaxLine) {
            throw EBridgeProtocolError("a request line is longer than " + std::to_string(MaxLine) + " bytes");
        }
        line.append(begin, taken);
        FBegin += taken;
        if (newline != nullptr) {
            ++FBegin;
            return true;
        }
        if (!Fill()) {
            if (line.empty()) return false;
            throw EBridgeProtocolError("the connection ended inside a request");
        }
    }
}

void TFrameReader::Bytes(std::size_t size, std::string& text)
{
    text.clear();
    text.reserve(size);
    while (text.size() < size) {
        if (FBegin == FEnd && !Fill()) throw EBridgeProtocolError("the connection ended inside a request");
        const std::size_t taken = std::min(size - text.size(), FEnd - FBegin);
        text.append(FBuffer.data() + FBegin, taken);
        FBegin += taken;
    }
}

bool TFrameReader::Next(TFrame& frame)
{
    std::string line;
    if (!Line(line)) return false;
    if (line.empty()) throw EBridgeProtocolError("an empty request line");
    frame = TFrame();
    frame.Verb = line[0];
    switch (frame.Verb) {
    case 'A':
    case 'O':
    case 'E':
        Bytes(AnnouncedSize(line, FTextLimit), frame.Text);
        return true;
    case 'S':
        if (line.size() < 3 || line[1] != ' ') {
            throw EBridgeProtocolError("request S needs the service state: \"S <state>\"");
        }
        frame.Word = line.substr(2);
        return true;
    case 'C':
    case 'Q':
        if (line.size() != 1) throw EBridgeProtocolError(std::string("request ") + frame.Verb + " takes nothing more");
        return true;
    default:
        throw EBridgeProtocolError("unknown request");
    }
}

std::string Counted(const std::string& text) { return std::to_string(text.size()) + "\n" + text; }

std::string ErrorAnswer(int number, const std::string& message)
{
    return "X " + std::to_string(number) + " " + Counted(message);
}

bool SameToken(const std::string& presented, const std::string& token)
{
    // Every byte of the token is looked at, whatever the presented text holds.
    unsigned char difference = presented.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const char other = i < presented.size() ? presented[i] : '\0';
        difference = static_cast<unsigned char>(difference | (other ^ token[i]));
    }
    return difference == 0;
}

}  // namespace Velmora::Bridge
