#pragma once
// Reads the statements the server carries out itself (RESTORE, ALTER, DROP and
// CREATE DATABASE) from their significant tokens; what does not fit is refused
// with the server's "Incorrect syntax near" message.

#include <string>
#include <vector>

#include "standin/SqlShim.h"

namespace Velmora::Standin {

class TParser {
public:
    explicit TParser(const std::vector<TToken>& tokens) : FTokens(tokens) {}

    bool AtEnd() const { return FAt >= FTokens.size(); }
    bool PeekWord(const char* word) const { return !AtEnd() && IsWord(FTokens[FAt], word); }
    bool AcceptWord(const char* word);
    bool AcceptSymbol(const char* symbol);
    void ExpectWord(const char* word);
    void ExpectSymbol(const char* symbol);
    // A plain or bracketed name.
    std::string Name();
    std::string String();
    // A whole number of at most nine digits.
    long long Number();
    void ExpectEnd();
    [[noreturn]] void SyntaxError() const { SyntaxError(FAt); }
    [[noreturn]] void SyntaxError(std::size_t at) const;

private:
    const std::vector<TToken>& FTokens;
    std::size_t FAt = 0;
};

}  // namespace Velmora::Standin
