#include "standin/ConnectionString.h"

#include "platform/Errors.h"
#include "preprocess/TextUtils.h"
#include "standin/SqlShim.h"

namespace Velmora::Standin {

TConnectionTarget ParseConnectionString(const std::string& text)
{
    TConnectionTarget target;
    std::size_t at = 0;
    while (at <= text.size()) {
        // A value may be quoted to hold a semicolon.
        std::size_t end = at;
        char quote = 0;
        while (end < text.size() && (quote != 0 || text[end] != ';')) {
            if (quote == 0 && (text[end] == '"' || text[end] == '\'') && end > 0 && text[end - 1] == '=') {
                quote = text[end];
            } else if (quote != 0 && text[end] == quote) {
                quote = 0;
            }
            ++end;
        }
        const std::string part = Trim(text.substr(at, end - at));
        at = end + 1;
        if (part.empty()) continue;
        const std::size_t equals = part.find('=');
        if (equals == std::string::npos) {
            throw EProviderError("Format of the initialization string is not valid: every part must be key=value.");
        }
        std::string key;
        for (char c : LowerAscii(Trim(part.substr(0, equals)))) {
            if (c != ' ' || (!key.empty() && key.back() != ' ')) key += c;
        }
        std::string value = Trim(part.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        const std::string lower = LowerAscii(value);
        if (key == "provider") {
            if (lower != "sqloledb" && lower != "sqloledb.1") {
                throw EProviderError("Provider cannot be found. It may not be properly installed.");
            }
        } else if (key == "data source" || key == "server" || key == "address" || key == "addr" ||
                   key == "network address") {
            if (!lower.empty() && lower != "(local)" && lower != "." && lower != "localhost" && lower != "127.0.0.1") {
                throw EProviderError(ServerNotFound);
            }
        } else if (key == "initial catalog" || key == "database") {
            target.Catalog = value;
        }
    }
    return target;
}

}  // namespace Velmora::Standin
