#pragma once
// The database port: a connection, queries with result sets and commands without,
// in the manner of ADO. Provider failures are raised as EProviderError; using a
// query wrongly (a field of a closed query, an unknown field) raises EVelmoraError.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Velmora {

// One field value of the current row.
class TFieldValue {
public:
    enum class TKind { Null, Integer, Float, Text };

    TFieldValue() = default;
    static TFieldValue Null() { return TFieldValue(); }
    static TFieldValue FromInteger(std::int64_t value);
    static TFieldValue FromFloat(double value);
    static TFieldValue FromText(std::string value);

    TKind Kind() const { return FKind; }
    bool IsNull() const { return FKind == TKind::Null; }
    // Null reads as "" / 0 / false, as a data-access layer's field does.
    std::string AsString() const;
    double AsFloat() const;
    bool AsBoolean() const;
    std::int64_t AsInteger() const;

private:
    TKind FKind = TKind::Null;
    std::int64_t FInteger = 0;
    double FFloat = 0.0;
    std::string FText;
};

class IQuery {
public:
    virtual ~IQuery() = default;
    virtual void Close() = 0;
    virtual void ClearSql() = 0;
    virtual void AddSql(const std::string& line) = 0;
    // Opens the connection first when it is closed. The whole result is known at
    // once (client-side cursor), so RecordCount is exact.
    virtual void Open() = 0;
    virtual bool Active() const = 0;
    virtual void First() = 0;
    virtual void Next() = 0;
    virtual bool Eof() const = 0;
    virtual int RecordCount() const = 0;
    // Field of the current row by name, matched without regard to case.
    virtual TFieldValue FieldByName(const std::string& name) const = 0;
};

class ICommand {
public:
    virtual ~ICommand() = default;
    virtual void SetCommandTimeout(int seconds) = 0;
    virtual void SetCommandText(const std::string& text) = 0;
    // Opens the connection first when it is closed; rows, if any, are discarded.
    virtual void Execute() = 0;
};

class IConnection {
public:
    virtual ~IConnection() = default;
    virtual void SetConnectionString(const std::string& text) = 0;
    virtual std::string ConnectionString() const = 0;
    virtual void SetCommandTimeout(int seconds) = 0;
    virtual void SetLoginPrompt(bool prompt) = 0;
    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual bool Connected() const = 0;
    // Called on the calling thread every few tens of milliseconds while a statement on
    // this connection runs (queries and commands on it included), so that the caller
    // can keep its window answering. The handler must not use the connection.
    virtual void SetOnWait(std::function<void()> onWait) = 0;
    // Queries and commands work on this connection; it must outlive them.
    virtual std::unique_ptr<IQuery> CreateQuery() = 0;
    virtual std::unique_ptr<ICommand> CreateCommand() = 0;
};

class IDataAccess {
public:
    virtual ~IDataAccess() = default;
    virtual std::unique_ptr<IConnection> CreateConnection() = 0;
};

}  // namespace Velmora
