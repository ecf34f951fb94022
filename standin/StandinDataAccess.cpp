#include "standin/StandinDataAccess.h"

#include <set>
#include <utility>
#include <vector>

#include "platform/Errors.h"
#include "standin/Server.h"

namespace Velmora::Standin {

namespace {

using Standin::TResultSet;
using Standin::TSession;

class TStandinConnection;

// Queries and commands hold their connection until either side goes away.
class TConnectionUser {
public:
    virtual ~TConnectionUser() = default;
    virtual void ConnectionClosed() {}
    void Detach() { FConnection = nullptr; }

protected:
    explicit TConnectionUser(TStandinConnection* connection) : FConnection(connection) {}
    TStandinConnection& Connection() const;
    TStandinConnection* FConnection;
};

class TStandinConnection : public IConnection {
public:
    explicit TStandinConnection(std::string serverDirectory) : FServerDirectory(std::move(serverDirectory)) {}
    ~TStandinConnection() override
    {
        for (TConnectionUser* user : FUsers) user->Detach();
    }

    void SetConnectionString(const std::string& text) override
    {
        if (Connected()) throw EProviderError("Operation is not allowed when the object is open.");
        FConnectionString = text;
    }
    std::string ConnectionString() const override { return FConnectionString; }
    void SetCommandTimeout(int) override {}
    void SetLoginPrompt(bool) override {}

    void Open() override
    {
        if (Connected()) return;
        FSession.reset();
        FSession = std::make_unique<TSession>(FServerDirectory, Standin::ParseConnectionString(FConnectionString));
        FSession->SetOnWait(FOnWait);
    }

    void Close() override
    {
        for (TConnectionUser* user : FUsers) user->ConnectionClosed();
        FSession.reset();
    }

    bool Connected() const override { return FSession != nullptr && FSession->Alive(); }
    void SetOnWait(std::function<void()> onWait) override
    {
        FOnWait = std::move(onWait);
        if (FSession != nullptr) FSession->SetOnWait(FOnWait);
    }

    std::unique_ptr<IQuery> CreateQuery() override;
    std::unique_ptr<ICommand> CreateCommand() override;

    TResultSet Run(const std::string& statement)
    {
        Open();
        return FSession->Execute(statement);
    }
    // Rows the last INSERT, UPDATE or DELETE changed.
    long long RowsChanged() const { return FSession != nullptr ? FSession->RowsChanged() : 0; }

    void Attach(TConnectionUser* user) { FUsers.insert(user); }
    void Release(TConnectionUser* user) { FUsers.erase(user); }

private:
    std::string FServerDirectory;
    std::string FConnectionString;
    std::unique_ptr<TSession> FSession;
    std::function<void()> FOnWait;
    std::set<TConnectionUser*> FUsers;
};

TStandinConnection& TConnectionUser::Connection() const
{
    if (FConnection == nullptr) throw EVelmoraError("数据库连接已释放，无法执行此操作");
    return *FConnection;
}

class TStandinQuery : public IQuery, public TConnectionUser {
public:
    explicit TStandinQuery(TStandinConnection* connection) : TConnectionUser(connection) { connection->Attach(this); }
    ~TStandinQuery() override
    {
        if (FConnection != nullptr) FConnection->Release(this);
    }

    void ConnectionClosed() override { Close(); }

    void Close() override
    {
        FActive = false;
        FResult = TResultSet();
        FRow = 0;
    }
    void ClearSql() override { FSql.clear(); }
    void AddSql(const std::string& line) override { FSql.push_back(line); }

    void Open() override
    {
        std::string text;
        for (std::size_t k = 0; k < FSql.size(); ++k) {
            if (k > 0) text += "\n";
            text += FSql[k];
        }
        // The old rows go first, so a failed open leaves the query closed.
        Close();
        FResult = Connection().Run(text);
        FActive = true;
    }

    bool Active() const override { return FActive; }
    void First() override
    {
        RequireActive();
        FRow = 0;
    }
    void Next() override
    {
        RequireActive();
        if (FRow < FResult.Rows.size()) ++FRow;
    }
    bool Eof() const override { return !FActive || FRow >= FResult.Rows.size(); }
    int RecordCount() const override
    {
        RequireActive();
        return static_cast<int>(FResult.Rows.size());
    }

    TFieldValue FieldByName(const std::string& name) const override
    {
        RequireActive();
        const std::string wanted = Standin::LowerAscii(name);
        for (std::size_t c = 0; c < FResult.Columns.size(); ++c) {
            if (Standin::LowerAscii(FResult.Columns[c]) != wanted) continue;
            if (FRow >= FResult.Rows.size()) {
                throw EVelmoraError("BOF 或 EOF 中有一个是“真”，或者当前记录已被删除，所需的操作要求一个当前的记录。");
            }
            return FResult.Rows[FRow][c];
        }
        throw EVelmoraError("未找到字段“" + name + "”");
    }

private:
    void RequireActive() const
    {
        if (!FActive) throw EVelmoraError("不能对已关闭的数据集执行此操作");
    }

    std::vector<std::string> FSql;
    bool FActive = false;
    TResultSet FResult;
    std::size_t FRow = 0;
};

class TStandinCommand : public ICommand, public TConnectionUser {
public:
    explicit TStandinCommand(TStandinConnection* connection) : TConnectionUser(connection)
    {
        connection->Attach(this);
    }
    ~TStandinCommand() override
    {
        if (FConnection != nullptr) FConnection->Release(this);
    }
    void SetCommandTimeout(int) override {}
    void SetCommandText(const std::string& text) override { FText = text; }
    void Execute() override { Connection().Run(FText); }

private:
    std::string FText;
};

std::unique_ptr<IQuery> TStandinConnection::CreateQuery() { return std::make_unique<TStandinQuery>(this); }

std::unique_ptr<ICommand> TStandinConnection::CreateCommand() { return std::make_unique<TStandinCommand>(this); }

}  // namespace

TStandinAnswer ExecuteOnStandin(IConnection& connection, const std::string& statement)
{
    auto* standin = dynamic_cast<TStandinConnection*>(&connection);
    if (standin == nullptr) throw EVelmoraError("该连接不是替身服务器的连接");
    TResultSet result = standin->Run(statement);
    TStandinAnswer answer;
    answer.Columns = std::move(result.Columns);
    answer.Rows = std::move(result.Rows);
    const std::vector<Standin::TToken> tokens = Standin::Significant(Standin::Tokenize(statement));
    if (answer.Columns.empty() && !tokens.empty() &&
        (Standin::IsWord(tokens[0], "INSERT") || Standin::IsWord(tokens[0], "UPDATE") ||
         Standin::IsWord(tokens[0], "DELETE"))) {
        answer.RowsAffected = standin->RowsChanged();
    }
    return answer;
}

TStandinDataAccess::TStandinDataAccess(std::string serverDirectory) : FServerDirectory(std::move(serverDirectory)) {}

std::unique_ptr<IConnection> TStandinDataAccess::CreateConnection()
{
    return std::make_unique<TStandinConnection>(FServerDirectory);
}

}  // namespace Velmora::Standin
