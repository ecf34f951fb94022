#include "standin/StatementParser.h"

#include "platform/Errors.h"

namespace Velmora::Standin {

bool TParser::AcceptWord(const char* word)
{
    if (!PeekWord(word)) return false;
    ++FAt;
    return true;
}

bool TParser::AcceptSymbol(const char* symbol)
{
    if (AtEnd() || !IsSymbol(FTokens[FAt], symbol)) return false;
    ++FAt;
    return true;
}

void TParser::ExpectWord(const char* word)
{
    if (!AcceptWord(word)) SyntaxError();
}

void TParser::ExpectSymbol(const char* symbol)
{
    if (!AcceptSymbol(symbol)) SyntaxError();
}

std::string TParser::Name()
{
    if (AtEnd() || (FTokens[FAt].Kind != TTokenKind::Word && FTokens[FAt].Kind != TTokenKind::QuotedName)) {
        SyntaxError();
    }
    return NameValue(FTokens[FAt++]);
}

std::string TParser::String()
{
    if (AtEnd() || FTokens[FAt].Kind != TTokenKind::String) SyntaxError();
    return StringValue(FTokens[FAt++]);
}

long long TParser::Number()
{
    if (AtEnd() || FTokens[FAt].Kind != TTokenKind::Number) SyntaxError();
    const std::string& text = FTokens[FAt++].Text;
    if (text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) SyntaxError(FAt - 1);
    return std::stoll(text);
}

void TParser::ExpectEnd()
{
    if (!AtEnd()) SyntaxError();
}

void TParser::SyntaxError(std::size_t at) const
{
    const std::string near = at < FTokens.size() ? FTokens[at].Text
                             : FTokens.empty()   ? std::string()
                                                 : FTokens.back().Text;
    throw EProviderError("Incorrect syntax near '" + near + "'.");
}

}  // namespace Velmora::Standin
