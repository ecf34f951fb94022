#include "standin/SqlShim.h"

#include "platform/Errors.h"
#include "standin/ExactSum.h"
#include "standin/TsqlRules.h"

namespace Velmora::Standin {

namespace {

bool IsLetterByte(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

class TRewriter {
public:
    explicit TRewriter(std::vector<TToken>& tokens) : FTokens(tokens)
    {
        for (std::size_t k = 0; k < tokens.size(); ++k) {
            if (tokens[k].Kind != TTokenKind::Space && tokens[k].Kind != TTokenKind::Comment) FSig.push_back(k);
        }
    }

    std::vector<std::string> PrefixColumns;
    struct TRange {
        std::size_t FirstToken;
        std::size_t LastToken;
        std::string Column;
        std::string Low;
        std::string High;
    };
    std::vector<TRange> Ranges;
    // Statements that must follow the rewritten one (what a table's columns store).
    std::vector<std::string> After;
    // Must run before it: the check that a view's column names are unique.
    std::string Before;

    void Run()
    {
        DropOwnerPrefixes();
        RenameFunctions();
        MapCollations();
        const bool creates = Count() >= 2 && Word(0, "CREATE");
        const bool view = creates && Word(1, "VIEW");
        if (creates && Word(1, "TABLE")) CreateTable();
        else if (creates && !view) CreateIndex();
        Likes();
        // A literal takes the database's default collation, so that it compares as
        // the server compares even with an expression (ISNULL(x,'0')) on the other side.
        if (!creates || view) LiteralCollations();
        if (view) CreateView();
    }

private:
    std::vector<TToken>& FTokens;
    std::vector<std::size_t> FSig;

    std::size_t Count() const { return FSig.size(); }
    TToken& Sig(std::size_t k) { return FTokens[FSig[k]]; }
    bool Word(std::size_t k, const char* keyword) { return k < Count() && IsWord(Sig(k), keyword); }
    bool Symbol(std::size_t k, const char* symbol) { return k < Count() && IsSymbol(Sig(k), symbol); }
    bool IsName(std::size_t k)
    {
        return k < Count() && (Sig(k).Kind == TTokenKind::Word || Sig(k).Kind == TTokenKind::QuotedName);
    }
    void Blank(std::size_t k) { Sig(k).Text.clear(); }

    // Index of the ")" that closes the "(" at k.
    std::size_t Closing(std::size_t open)
    {
        int depth = 0;
        for (std::size_t k = open; k < Count(); ++k) {
            if (Symbol(k, "(")) ++depth;
            if (Symbol(k, ")") && --depth == 0) return k;
        }
        return Count();
    }

    // dbo.Account: SQLite would take the owner for an attached database.
    void DropOwnerPrefixes()
    {
        for (std::size_t k = 0; k + 2 < Count(); ++k) {
            if (IsName(k) && LowerAscii(NameValue(Sig(k))) == "dbo" && Symbol(k + 1, ".") && IsName(k + 2) &&
                !(k > 0 && Symbol(k - 1, "."))) {
                Blank(k);
                Blank(k + 1);
            }
        }
    }

    void RenameFunctions()
    {
        for (std::size_t k = 0; k + 1 < Count(); ++k) {
            // SQLite reads ISNULL as the postfix test "x ISNULL".
            if (Word(k, "ISNULL") && Symbol(k + 1, "(")) Sig(k).Text = "ifnull";
            // The server sums money exactly; SQLite's own sum adds doubles as they come.
            if (Word(k, "SUM") && Symbol(k + 1, "(") && !(k > 0 && Symbol(k - 1, "."))) Sig(k).Text = ExactSumName;
        }
    }

    static std::string SqliteCollation(const std::string& name)
    {
        const std::string lower = LowerAscii(name);
        if (lower == "nocase" || lower == "binary" || lower == "rtrim") return name;
        if (lower == LowerAscii(CaseInsensitiveCollation) || lower == LowerAscii(CaseSensitiveCollation)) return name;
        if (lower.find("_cs") != std::string::npos || lower.find("_bin") != std::string::npos) {
            return CaseSensitiveCollation;
        }
        return CaseInsensitiveCollation;
    }

    void LiteralCollations()
    {
        for (std::size_t k = 0; k < Count(); ++k) {
            if (Sig(k).Kind != TTokenKind::String || Sig(k).Text.empty() || Sig(k).Text[0] != '\'') continue;
            if (k > 0 && (Word(k - 1, "LIKE") || Word(k - 1, "ESCAPE") || Word(k - 1, "GLOB"))) continue;
            if (Word(k + 1, "COLLATE") || Word(k + 1, "ESCAPE")) continue;
            Sig(k).Text += std::string(" COLLATE ") + CaseInsensitiveCollation;
        }
    }

    // The name a CREATE TABLE or CREATE VIEW gives, as SQLite will know it.
    std::string CreatedName()
    {
        std::size_t k = 2;
        while (k < Count() && Sig(k).Text.empty()) ++k;  // a dropped owner prefix
        if (!IsName(k)) return std::string();
        std::string name = NameValue(Sig(k));
        while (Symbol(k + 1, ".") && IsName(k + 2)) {
            k += 2;
            name = NameValue(Sig(k));
        }
        return name;
    }

    // "CREATE VIEW v AS SELECT …": SQLite would rename a repeated column name, the
    // server refuses the view. The select's columns are known only once SQLite
    // has prepared it, so a check statement runs first and stops the batch.
    void CreateView()
    {
        std::size_t as = 2;
        while (as < Count() && !Word(as, "AS")) ++as;
        if (as >= Count() || Symbol(as - 1, ")")) return;  // a column list of its own
        std::string select;
        for (std::size_t t = FSig[as] + 1; t < FTokens.size(); ++t) select += FTokens[t].Text;
        Before = "CREATE TEMP TABLE IF NOT EXISTS velmora_checks (x);\nINSERT INTO temp.velmora_checks SELECT 0 WHERE "
                 "tsql_view_columns_unique(" + QuoteLiteral(CreatedName()) + ", " + QuoteLiteral(select) + ") = 0;\n";
    }

    void MapCollations()
    {
        for (std::size_t k = 0; k + 1 < Count(); ++k) {
            if (Word(k, "COLLATE") && IsName(k + 1)) Sig(k + 1).Text = SqliteCollation(NameValue(Sig(k + 1)));
        }
    }

    // ") ON [PRIMARY]", "TEXTIMAGE_ON [PRIMARY]", "WITH FILLFACTOR = 90": storage
    // clauses that mean nothing to a single-file database.
    void DropStorageClauses(std::size_t from, std::size_t to)
    {
        for (std::size_t k = from; k < to && k < Count(); ++k) {
            if ((Word(k, "ON") && k > 0 && Symbol(k - 1, ")") && IsName(k + 1) && !Symbol(k + 2, "(") &&
                 !Word(k + 1, "DELETE") && !Word(k + 1, "UPDATE") && !Word(k + 1, "CONFLICT")) ||
                (Word(k, "TEXTIMAGE_ON") && IsName(k + 1))) {
                Blank(k);
                Blank(k + 1);
                ++k;
            } else if (Word(k, "WITH") && Word(k + 1, "FILLFACTOR") && Symbol(k + 2, "=")) {
                for (std::size_t m = k; m < k + 4 && m < Count(); ++m) Blank(m);
                k += 3;
            } else if (Word(k, "CLUSTERED") || Word(k, "NONCLUSTERED")) {
                Blank(k);
            }
        }
    }

    void CreateTable()
    {
        std::size_t open = 2;
        while (open < Count() && !Symbol(open, "(")) ++open;
        if (open >= Count()) return;
        const std::size_t close = Closing(open);
        std::size_t start = open + 1;
        int depth = 0;
        for (std::size_t k = open + 1; k <= close && k < Count(); ++k) {
            if (Symbol(k, "(")) ++depth;
            if (Symbol(k, ")")) --depth;
            if ((depth == 0 && Symbol(k, ",")) || k == close) {
                Definition(start, k);
                start = k + 1;
            }
        }
        DropStorageClauses(close, Count());
        StoreTriggers(CreatedName());
    }

    void Definition(std::size_t from, std::size_t to)
    {
        if (from >= to) return;
        static const char* const constraintWords[] = {"CONSTRAINT", "PRIMARY", "UNIQUE", "FOREIGN", "CHECK", "INDEX"};
        for (const char* word : constraintWords) {
            if (Word(from, word)) {
                DropStorageClauses(from, to);
                return;
            }
        }
        if (!IsName(from + 1) || from + 1 >= to) return;
        const std::size_t typeAt = from + 1;
        bool hasCollate = false, primaryKey = false, identity = false;
        for (std::size_t k = typeAt + 1; k < to; ++k) {
            if (Word(k, "COLLATE")) hasCollate = true;
            if (Word(k, "PRIMARY")) primaryKey = true;
            if (Word(k, "IDENTITY")) {
                identity = true;
                Blank(k);
                if (Symbol(k + 1, "(")) {
                    const std::size_t end = Closing(k + 1);
                    for (std::size_t m = k + 1; m <= end && m < to; ++m) Blank(m);
                }
            }
            if (Word(k, "ROWGUIDCOL")) Blank(k);
        }
        DropStorageClauses(typeAt + 1, to);

        // The type's own arguments, e.g. varchar(18).
        std::size_t typeEnd = typeAt;
        const bool unlimited = Symbol(typeAt + 1, "(") && Word(typeAt + 2, "MAX");
        if (Symbol(typeAt + 1, "(")) {
            typeEnd = Closing(typeAt + 1);
            if (unlimited) {
                for (std::size_t m = typeAt + 1; m <= typeEnd; ++m) Blank(m);
            }
        }
        const std::string type = LowerAscii(NameValue(Sig(typeAt)));
        // Money keeps its decimals when whole (2.0000, not 2): a type name of REAL affinity.
        if (type == "money") {
            Sig(typeAt).Text = "MONEY_REAL";
        } else if (type == "smallmoney") {
            Sig(typeAt).Text = "SMALLMONEY_REAL";
        } else if (type == "bit") {
            Sig(typeAt).Text = "INTEGER";
        } else if (identity && primaryKey) {
            Sig(typeAt).Text = "INTEGER";  // becomes the row id, so it numbers itself
        } else if (type == "uniqueidentifier") {
            Sig(typeAt).Text = "CHAR(36)";
        }
        // The server's types, enforced by checks that fail with its errors, and
        // stored (money rounded, bit 0 or 1) by the table's triggers.
        std::string length = "1";
        if (Symbol(typeAt + 1, "(") && Sig(typeAt + 2).Kind == TTokenKind::Number) length = Sig(typeAt + 2).Text;
        if (unlimited) length = "0";
        std::string check;
        if (type == "char" || type == "varchar") check = "'varchar', " + length;
        else if (type == "nchar" || type == "nvarchar") check = "'nvarchar', " + length;
        else if (type == "sysname") check = "'nvarchar', 128";
        else if (type == "money") check = "'money', 0";
        else if (type == "smallmoney") check = "'smallmoney', 0";
        else if (type == "int" || type == "integer") check = "'int', 0";
        else if (type == "smallint") check = "'smallint', 0";
        else if (type == "tinyint") check = "'tinyint', 0";
        else if (type == "bigint") check = "'bigint', 0";
        else if (type == "bit") check = "'bit', 0";
        const std::string column = Sig(from).Text;
        if (!check.empty()) Sig(typeEnd).Text += " CHECK (tsql_check(" + check + ", " + column + "))";
        if (type == "money" || type == "smallmoney" || type == "bit") FStored.emplace_back(column, type == "bit" ? "bit" : "money");
        const bool integral = type == "int" || type == "integer" || type == "smallint" || type == "tinyint" || type == "bigint";
        if (integral && !(identity && primaryKey)) FStored.emplace_back(column, "integer");

        static const char* const textTypes[] = {"char", "varchar", "nchar", "nvarchar", "text", "ntext", "sysname",
                                                "uniqueidentifier"};
        bool isText = false;
        for (const char* textType : textTypes) isText = isText || type == textType;
        // The server compares text without regard to case or trailing blanks.
        if (isText && !hasCollate) Sig(typeEnd).Text += std::string(" COLLATE ") + CaseInsensitiveCollation;
    }

    // Triggers that store what the server would: a column's value as its type keeps it.
    void StoreTriggers(const std::string& table)
    {
        if (FStored.empty() || table.empty()) return;
        std::string changed, assign, columns;
        for (const auto& [column, kind] : FStored) {
            const std::string stored = "tsql_stored('" + kind + "', ";
            if (!changed.empty()) {
                changed += " OR ";
                assign += ", ";
                columns += ", ";
            }
            changed += "new." + column + " IS NOT " + stored + "new." + column + ")";
            assign += column + " = " + stored + column + ")";
            columns += column;
        }
        const std::string quoted = QuoteName(table);
        const std::string body = " WHEN " + changed + " BEGIN UPDATE " + quoted + " SET " + assign +
                                 " WHERE rowid = new.rowid; END";
        After.push_back("CREATE TRIGGER " + QuoteName("velmora_store_" + table) + " AFTER INSERT ON " + quoted + body);
        After.push_back("CREATE TRIGGER " + QuoteName("velmora_restore_" + table) + " AFTER UPDATE OF " + columns +
                        " ON " + quoted + body);
    }

    std::vector<std::pair<std::string, std::string>> FStored;

    void CreateIndex()
    {
        std::size_t k = 1;
        while (k < Count() && (Word(k, "UNIQUE") || Word(k, "CLUSTERED") || Word(k, "NONCLUSTERED"))) ++k;
        if (!Word(k, "INDEX")) return;
        for (std::size_t m = 1; m < k; ++m) {
            if (Word(m, "CLUSTERED") || Word(m, "NONCLUSTERED")) Blank(m);
        }
        std::size_t open = k;
        while (open < Count() && !Symbol(open, "(")) ++open;
        if (open >= Count()) return;
        DropStorageClauses(Closing(open), Count());
    }

    // Start of a plain column reference (name, a.name, [a].[name]) that ends at k.
    std::size_t ColumnReferenceStart(std::size_t end)
    {
        if (!IsName(end)) return Count();
        std::size_t start = end;
        while (start >= 2 && Symbol(start - 1, ".") && IsName(start - 2)) start -= 2;
        return start;
    }

    bool BindsLooserBefore(std::size_t k)
    {
        if (k >= Count()) return true;
        static const char* const words[] = {"WHERE", "AND", "OR", "NOT", "ON", "HAVING", "WHEN"};
        for (const char* word : words) {
            if (Word(k, word)) return true;
        }
        return Symbol(k, "(");
    }

    bool BindsLooserAfter(std::size_t k)
    {
        if (k >= Count()) return true;
        static const char* const words[] = {"AND", "OR", "THEN", "ELSE", "END", "ORDER", "GROUP", "HAVING",
                                            "UNION", "EXCEPT", "INTERSECT", "LIMIT", "WHEN"};
        for (const char* word : words) {
            if (Word(k, word)) return true;
        }
        return Symbol(k, ")") || Symbol(k, ";");
    }

    // LIKE with a literal pattern: the T-SQL pattern in SQLite's terms. A pattern
    // with character classes goes to the stand-in's own matcher (REGEXP is the
    // only infix operator SQLite lets a program supply). A pattern without letters
    // means the same under GLOB, which an index with the binary collation can
    // serve; with both tests present SQLite uses whichever index fits.
    void Likes()
    {
        for (std::size_t k = 0; k + 1 < Count(); ++k) {
            if (!Word(k, "LIKE") || Sig(k + 1).Kind != TTokenKind::String) continue;
            if (Word(k + 2, "ESCAPE")) continue;
            const std::vector<TPatternItem> items = ParsePattern(StringValue(Sig(k + 1)));
            bool hasClass = false, letterless = true;
            std::string like, glob;
            bool needsEscape = false;
            for (const TPatternItem& item : items) {
                switch (item.Kind) {
                case TPatternItem::TKind::AnyString:
                    like += '%';
                    glob += '*';
                    break;
                case TPatternItem::TKind::AnyChar:
                    like += '_';
                    glob += '?';
                    break;
                case TPatternItem::TKind::Class:
                    hasClass = true;
                    break;
                case TPatternItem::TKind::Literal:
                    if (item.Char < 0x80 && IsLetterByte(static_cast<unsigned char>(item.Char))) letterless = false;
                    if (item.Char == '%' || item.Char == '_' || item.Char == '\\') {
                        like += '\\';
                        needsEscape = true;
                    }
                    like += item.Utf8;
                    if (item.Char == '*' || item.Char == '?' || item.Char == '[') glob += "[" + item.Utf8 + "]";
                    else glob += item.Utf8;
                    break;
                }
            }
            // Blanks that end the text do not keep it from matching; a final % takes
            // them anyway, any other end needs the stand-in's matcher.
            const bool openEnded = !items.empty() && items.back().Kind == TPatternItem::TKind::AnyString;
            if (hasClass || !openEnded) {
                Sig(k).Text = "REGEXP";
                continue;
            }
            Sig(k + 1).Text = QuoteLiteral(like) + (needsEscape ? " ESCAPE '\\'" : "");

            const bool negated = k > 0 && Word(k - 1, "NOT");
            const bool prefixed = !items.empty() && items.front().Kind == TPatternItem::TKind::Literal;
            if (negated || !letterless || !prefixed || k == 0) continue;
            const std::size_t start = ColumnReferenceStart(k - 1);
            if (start >= Count() || (start > 0 && !BindsLooserBefore(start - 1)) || !BindsLooserAfter(k + 2)) continue;
            std::string column;
            for (std::size_t t = FSig[start]; t <= FSig[k - 1]; ++t) column += FTokens[t].Text;
            Sig(start).Text = "(" + column + " GLOB " + QuoteLiteral(glob) + " AND " + Sig(start).Text;
            Sig(k + 1).Text += ")";
            PrefixColumns.push_back(column);

            // Digits and punctuation below '@' followed by one final %: the range
            // [prefix, prefix with its last character raised) holds exactly the
            // texts that start with it, under either collation.
            bool pure = items.size() >= 2 && items.back().Kind == TPatternItem::TKind::AnyString;
            std::string low;
            for (std::size_t m = 0; pure && m + 1 < items.size(); ++m) {
                pure = items[m].Kind == TPatternItem::TKind::Literal && items[m].Char >= 0x21 && items[m].Char <= 0x3F;
                low += static_cast<char>(items[m].Char);
            }
            if (pure) {
                std::string high = low;
                high.back() = static_cast<char>(high.back() + 1);
                Ranges.push_back(TRange{FSig[start], FSig[k + 1], column, low, high});
            }
        }
    }
};

}  // namespace

namespace {

// "a.x = b.y" with both sides qualified, at any depth.
std::vector<std::pair<std::string, std::string>> JoinedColumns(const std::vector<TToken>& sig)
{
    auto isName = [&](std::size_t k) {
        return k < sig.size() && (sig[k].Kind == TTokenKind::Word || sig[k].Kind == TTokenKind::QuotedName);
    };
    auto qualified = [&](std::size_t k) { return isName(k) && k + 2 < sig.size() && IsSymbol(sig[k + 1], ".") && isName(k + 2); };
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::size_t k = 0; k + 6 < sig.size(); ++k) {
        if (qualified(k) && IsSymbol(sig[k + 3], "=") && qualified(k + 4) && !(k > 0 && IsSymbol(sig[k - 1], "."))) {
            pairs.emplace_back(sig[k].Text + "." + sig[k + 2].Text, sig[k + 4].Text + "." + sig[k + 6].Text);
        }
    }
    return pairs;
}

}  // namespace

void RefuseForeignSyntax(const std::string& statement, const std::vector<TToken>& sig)
{
    auto refuse = [](const std::string& near) {
        throw EProviderError("Incorrect syntax near '" + near + "'.", ErrorSyntax);
    };
    if (statement.find('\0') != std::string::npos) refuse(std::string());
    static const char* const sqliteStatements[] = {"ANALYZE", "ATTACH", "DETACH", "EXPLAIN", "PRAGMA", "REINDEX",
                                                   "RELEASE", "REPLACE", "SAVEPOINT", "VACUUM", "VALUES"};
    bool starts = true;
    for (std::size_t k = 0; k < sig.size(); ++k) {
        const TToken& token = sig[k];
        if (starts) {
            for (const char* word : sqliteStatements) {
                if (IsWord(token, word)) refuse(token.Text);
            }
        }
        starts = IsSymbol(token, ";");
        if (k == 0) continue;
        const TToken& before = sig[k - 1];
        if (IsWord(before, "CREATE") && (IsWord(token, "VIRTUAL") || IsWord(token, "TEMP") || IsWord(token, "TEMPORARY"))) {
            refuse(token.Text);
        }
        if ((IsWord(before, "INSERT") || IsWord(before, "UPDATE")) && IsWord(token, "OR")) refuse(token.Text);
    }
}

TTranslation TranslateStatement(const std::string& sql)
{
    const std::vector<TToken> original = Tokenize(sql);
    std::vector<TToken> tokens = original;
    TRewriter rewriter(tokens);
    rewriter.Run();

    TTranslation result;
    result.PrefixColumns = rewriter.PrefixColumns;
    for (const TToken& token : tokens) result.Statement += token.Text;
    result.Sql = rewriter.Before + result.Statement;
    for (const std::string& statement : rewriter.After) result.Sql += ";\n" + statement;
    result.Companions = rewriter.After;
    for (const TToken& token : original) {
        result.Shape += token.Kind == TTokenKind::String || token.Kind == TTokenKind::Number ? "?" : token.Text;
    }

    const std::vector<TToken> sig = Significant(original);
    // Parameters of its own, or a second statement, would upset the numbering.
    bool parameterFree = true;
    for (std::size_t k = 0; k < sig.size(); ++k) {
        if (IsSymbol(sig[k], "?") || (sig[k].Kind == TTokenKind::Word && sig[k].Text[0] == '@') ||
            (IsSymbol(sig[k], ";") && k + 1 < sig.size())) {
            parameterFree = false;
        }
    }
    if (parameterFree && !rewriter.Ranges.empty()) {
        std::size_t next = 0;
        for (std::size_t t = 0; t < tokens.size(); ++t) {
            if (next < rewriter.Ranges.size() && t == rewriter.Ranges[next].FirstToken) {
                const auto& range = rewriter.Ranges[next++];
                const std::string low = "?" + std::to_string(result.RangeParameters.size() + 1);
                const std::string high = "?" + std::to_string(result.RangeParameters.size() + 2);
                result.RangedSql += "(" + range.Column + " >= " + low + " AND " + range.Column + " < " + high + ")";
                result.RangeParameters.push_back(range.Low);
                result.RangeParameters.push_back(range.High);
                result.RangeColumns.push_back(range.Column);
                t = range.LastToken;
                continue;
            }
            result.RangedSql += tokens[t].Text;
        }
    }
    result.CreatesView = sig.size() >= 2 && IsWord(sig[0], "CREATE") && IsWord(sig[1], "VIEW");
    if (result.CreatesView) result.JoinedColumns = JoinedColumns(sig);

    // The FROM of the first SELECT, in the rewritten text.
    bool inSelect = false;
    int depth = 0;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        const TToken& token = tokens[k];
        if (token.Kind == TTokenKind::Space || token.Kind == TTokenKind::Comment) continue;
        if (IsSymbol(token, "(")) ++depth;
        if (IsSymbol(token, ")")) --depth;
        if (!inSelect && IsWord(token, "SELECT")) {
            inSelect = true;
        } else if (inSelect && depth == 0 && IsWord(token, "FROM")) {
            for (std::size_t m = k; m < tokens.size(); ++m) result.FromClause += tokens[m].Text;
            break;
        }
    }
    return result;
}


}  // namespace Velmora::Standin
