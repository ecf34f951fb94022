// Connection strings, the login error, and how the adapter's queries, commands
// and connections behave as the data-access layer the plug-in was written for.

#include <unistd.h>

#include <gmock/gmock.h>

#include "StandinTestSupport.h"
#include "standin/ServerDirectory.h"

namespace Velmora::StandinTests {
namespace {

using ::testing::HasSubstr;

class ConnectionTest : public TStandinTest {};

TEST_F(ConnectionTest, MasterCatalogOpensInAnyLetterCase)
{
    for (const char* catalog : {"Master", "MASTER", "master"}) {
        auto connection = Connect(ConnectionTo(catalog));
        EXPECT_TRUE(connection->Connected());
        const auto rows = Rows(*connection, "select name from sysdatabases", {"name"});
        EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"master"}}));
    }
}

TEST_F(ConnectionTest, OnlyARunningServiceAnswers)
{
    const std::string notFound = "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";
    std::filesystem::create_directories(ServerDir);
    auto connection = Data->CreateConnection();
    connection->SetConnectionString(MasterConnection);
    EXPECT_EQ(ProviderError([&] { connection->Open(); }), notFound) << "installed, never started";
    for (const char* state : {"stopped", "paused", "missing", "denied"}) {
        Standin::WriteServiceState(ServerDir, state);
        EXPECT_EQ(ProviderError([&] { connection->Open(); }), notFound) << state;
        EXPECT_FALSE(connection->Connected()) << state;
    }
    WriteText(std::filesystem::path(ServerDir) / "service", "starting 99999999999999\n");
    EXPECT_EQ(ProviderError([&] { connection->Open(); }), notFound) << "start pending";
    Standin::WriteServiceState(ServerDir, "running");
    EXPECT_EQ(ProviderError([&] { connection->Open(); }), "");
    EXPECT_TRUE(connection->Connected());
}

TEST_F(ConnectionTest, AServerDirectoryThatCannotBeUsedIsNamed)
{
    auto connection = Data->CreateConnection();
    connection->SetConnectionString(MasterConnection);
    EXPECT_EQ(ProviderError([&] { connection->Open(); }), "模拟服务器的目录“" + ServerDir + "”不存在");
    EXPECT_FALSE(std::filesystem::exists(ServerDir));
    WriteText(ServerDir, "a file where the folder should be");
    EXPECT_EQ(ProviderError([&] { connection->Open(); }), "模拟服务器的目录“" + ServerDir + "”不是目录");
    std::filesystem::remove(ServerDir);
    Standin::WriteServiceState(ServerDir, "running");
    std::filesystem::permissions(ServerDir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const std::string readOnly = ProviderError([&] { connection->Open(); });
    std::filesystem::permissions(ServerDir, std::filesystem::perms::owner_all);
    if (geteuid() != 0) {
        EXPECT_EQ(readOnly, "无法访问模拟服务器的目录“" + ServerDir + "”：没有读写权限");
    }
}

TEST_F(ConnectionTest, ConnectionStringKeysAreNotCaseSensitiveAndMayBeSpacedOrOmitted)
{
    auto master = Connect(MasterConnection);
    Exec(*master, "CREATE DATABASE Books");
    for (const char* text : {"provider=sqloledb;initial catalog=books;data source=(local)",
                             "  PROVIDER = SQLOLEDB.1 ; INITIAL  CATALOG = BOOKS ; DATA SOURCE = . ;",
                             "Initial Catalog=Books"}) {
        auto connection = Connect(text);
        Exec(*connection, "create table t (a int)");
        Exec(*connection, "drop table t");
    }
    // No catalog: the login's default database, master.
    auto fallback = Connect("Provider=SQLOLEDB.1;Data Source=(local)");
    EXPECT_EQ(Rows(*fallback, "select count(*) as n from sysdatabases where name='books'", {"n"}).at(0).at(0), "1");
}

TEST_F(ConnectionTest, UnknownCatalogFailsWithTheServersLoginMessage)
{
    Standin::WriteServiceState(ServerDir, "running");
    auto connection = Data->CreateConnection();
    connection->SetConnectionString(UfdataConnection);
    EXPECT_EQ(ProviderError([&] { connection->Open(); }),
              "Cannot open database \"ufdata\" requested by the login. The login failed.");
    EXPECT_FALSE(connection->Connected());
}

TEST_F(ConnectionTest, OfflineDatabaseCannotBeOpenedUntilItIsOnlineAgain)
{
    auto master = Connect(MasterConnection);
    Exec(*master, "CREATE DATABASE UFDATA");
    Exec(*master, "ALTER DATABASE UFDATA SET OFFLINE");
    const std::string message = ProviderError([&] { Connect(UfdataConnection); });
    EXPECT_THAT(message, HasSubstr("offline"));
    EXPECT_THAT(message, HasSubstr("Cannot open database \"ufdata\" requested by the login. The login failed."));
    Exec(*master, "ALTER DATABASE UFDATA SET ONLINE");
    EXPECT_TRUE(Connect(UfdataConnection)->Connected());
}

TEST_F(ConnectionTest, WrongProviderServerOrSyntaxIsRefused)
{
    EXPECT_EQ(ProviderError([&] { Connect("Provider=MSDASQL;Initial Catalog=Master"); }),
              "Provider cannot be found. It may not be properly installed.");
    EXPECT_THAT(ProviderError([&] { Connect("Provider=SQLOLEDB.1;Data Source=otherhost;Initial Catalog=Master"); }),
                HasSubstr("SQL Server does not exist or access denied"));
    EXPECT_THAT(ProviderError([&] { Connect("Provider=SQLOLEDB.1;Initial Catalog"); }),
                HasSubstr("Format of the initialization string is not valid"));
}

TEST_F(ConnectionTest, ConnectionStringCannotChangeWhileOpen)
{
    auto connection = Connect(MasterConnection);
    EXPECT_FALSE(ProviderError([&] { connection->SetConnectionString(UfdataConnection); }).empty());
    connection->Close();
    connection->SetConnectionString(UfdataConnection);
    EXPECT_EQ(connection->ConnectionString(), UfdataConnection);
}

TEST_F(ConnectionTest, DefaultServerDirectoryFollowsTheEnvironment)
{
    const char* saved = std::getenv("VELMORA_SERVER_DIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    const char* savedState = std::getenv("XDG_STATE_HOME");
    const std::string savedStateValue = savedState != nullptr ? savedState : "";

    setenv("VELMORA_SERVER_DIR", "/srv/velmora-test", 1);
    EXPECT_EQ(Standin::DefaultServerDirectory(), "/srv/velmora-test");
    unsetenv("VELMORA_SERVER_DIR");
    setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(Standin::DefaultServerDirectory(), "/state/velmora/server");
    setenv("XDG_STATE_HOME", "relative", 1);  // ignored, as the XDG rules say
    setenv("HOME", std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/home/x", 1);
    EXPECT_EQ(Standin::DefaultServerDirectory(), std::string(std::getenv("HOME")) + "/.local/state/velmora/server");

    if (saved != nullptr) setenv("VELMORA_SERVER_DIR", savedValue.c_str(), 1);
    if (savedState != nullptr) setenv("XDG_STATE_HOME", savedStateValue.c_str(), 1);
    else unsetenv("XDG_STATE_HOME");
}

class QueryTest : public TStandinTest {
protected:
    void SetUp() override
    {
        TStandinTest::SetUp();
        auto master = Connect(MasterConnection);
        Exec(*master, "CREATE DATABASE ufdata");
        Connection = Connect(UfdataConnection);
        Exec(*Connection, "create table Item (Code varchar(10), Name nvarchar(40), Amount money, Flag bit, Qty int)");
        Exec(*Connection, "insert into Item values ('A1', N'现金', 12.5, 1, 3)");
        Exec(*Connection, "insert into Item values ('B2', '银行存款', 0.1, 0, null)");
    }

    std::unique_ptr<IConnection> Connection;
};

TEST_F(QueryTest, OpenMaterialisesTheRowsWithExactCountAndTypedValues)
{
    auto query = Connection->CreateQuery();
    query->AddSql("select * from item order by code");
    query->Open();
    ASSERT_TRUE(query->Active());
    EXPECT_EQ(query->RecordCount(), 2);
    EXPECT_EQ(query->FieldByName("CODE").AsString(), "A1");
    EXPECT_EQ(query->FieldByName("name").AsString(), "现金");
    EXPECT_EQ(query->FieldByName("Amount").Kind(), TFieldValue::TKind::Float);
    EXPECT_DOUBLE_EQ(query->FieldByName("amount").AsFloat(), 12.5);
    EXPECT_TRUE(query->FieldByName("flag").AsBoolean());
    EXPECT_EQ(query->FieldByName("qty").Kind(), TFieldValue::TKind::Integer);
    query->Next();
    EXPECT_FALSE(query->FieldByName("flag").AsBoolean());
    EXPECT_TRUE(query->FieldByName("qty").IsNull());
    query->Next();
    EXPECT_TRUE(query->Eof());
    query->Next();  // stays at the end
    EXPECT_TRUE(query->Eof());
}

TEST_F(QueryTest, RejectedStatementIsAProviderErrorWithSqlitesMessageAndLeavesTheQueryClosed)
{
    auto query = Connection->CreateQuery();
    query->AddSql("select * from Item");
    query->Open();
    query->ClearSql();
    query->AddSql("select * from NoSuchTable");
    EXPECT_THAT(ProviderError([&] { query->Open(); }), HasSubstr("no such table: NoSuchTable"));
    EXPECT_FALSE(query->Active());

    auto command = Connection->CreateCommand();
    command->SetCommandText("insert into Item valus ('x')");
    EXPECT_THAT(ProviderError([&] { command->Execute(); }), HasSubstr("syntax error"));
    EXPECT_THAT(ProviderError([&] { Exec(*Connection, "select 'unclosed"); }), HasSubstr("Unclosed quotation mark"));
}

TEST_F(QueryTest, MisuseOfAQueryIsAVelmoraErrorNotAProviderError)
{
    auto query = Connection->CreateQuery();
    EXPECT_THROW(query->FieldByName("Code"), EVelmoraError);
    EXPECT_THROW(query->RecordCount(), EVelmoraError);
    EXPECT_TRUE(query->Eof());
    query->AddSql("select * from Item where 1 = 0");
    query->Open();
    EXPECT_EQ(query->RecordCount(), 0);
    EXPECT_TRUE(query->Eof());
    try {
        query->FieldByName("Code");
        FAIL() << "reading at the end must fail";
    } catch (const EProviderError&) {
        FAIL() << "not a provider error";
    } catch (const EVelmoraError& error) {
        EXPECT_THAT(error.what(), HasSubstr("EOF"));
    }
    query->ClearSql();
    query->AddSql("select * from Item");
    query->Open();
    try {
        query->FieldByName("Nope");
        FAIL() << "an unknown field must fail";
    } catch (const EProviderError&) {
        FAIL() << "not a provider error";
    } catch (const EVelmoraError& error) {
        EXPECT_THAT(error.what(), HasSubstr("Nope"));
    }
}

TEST_F(QueryTest, ReopeningAQueryThatHoldsRowsDiscardsThemFirst)
{
    auto query = Connection->CreateQuery();
    query->AddSql("select Code from Item order by Code");
    query->Open();
    query->Next();
    query->Close();
    query->ClearSql();
    query->AddSql("select Name as Code from Item where Code = 'B2'");
    query->Open();
    EXPECT_EQ(query->RecordCount(), 1);
    EXPECT_EQ(query->FieldByName("Code").AsString(), "银行存款");
    // Open on an open query runs the statement again from the first row.
    query->Open();
    EXPECT_EQ(query->RecordCount(), 1);
    EXPECT_FALSE(query->Eof());
}

TEST_F(QueryTest, QueriesAndCommandsOpenTheConnectionWhenClosedAndCloseWithIt)
{
    Connection->Close();
    EXPECT_FALSE(Connection->Connected());
    auto query = Connection->CreateQuery();
    query->AddSql("select count(*) as n from Item");
    query->Open();
    EXPECT_TRUE(Connection->Connected());
    Connection->Close();
    EXPECT_FALSE(query->Active());

    auto command = Connection->CreateCommand();
    command->SetCommandText("delete from Item");
    command->Execute();
    EXPECT_TRUE(Connection->Connected());
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from Item", {"n"}).at(0).at(0), "0");
}

TEST_F(QueryTest, ALongStatementLetsTheCallerAnswerRepeatedly)
{
    int calls = 0;
    Connection->SetOnWait([&] { ++calls; });
    // A million rows keep SQLite busy far longer than two wait intervals.
    const auto rows = Rows(*Connection,
                           "with recursive n(x) as (select 1 union all select x + 1 from n where x < 1000000) "
                           "select sum(x) as total from n",
                           {"total"});
    EXPECT_EQ(rows.at(0).at(0), "500000500000");
    EXPECT_GE(calls, 2);
    // A handler that fails ends the statement with its own failure.
    Connection->SetOnWait([] { throw EVelmoraError("cancelled"); });
    EXPECT_THROW(Exec(*Connection, "with recursive n(x) as (select 1 union all select x + 1 from n where x < 3000000) "
                                   "select sum(x) from n"),
                 EVelmoraError);
    Connection->SetOnWait(nullptr);
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from Item", {"n"}).at(0).at(0), "2");
}

TEST_F(QueryTest, AQueryOutlivingItsConnectionFailsCleanly)
{
    auto query = Connection->CreateQuery();
    query->AddSql("select * from Item");
    Connection.reset();
    EXPECT_THROW(query->Open(), EVelmoraError);
}

TEST_F(QueryTest, CommandRunsSeveralStatementsAndAQueryReturnsTheFirstRows)
{
    Exec(*Connection, "delete from Item; insert into Item (Code) values ('Z9');");
    const auto rows = Rows(*Connection, "select Code from Item; select 1 as Other", {"Code"});
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"Z9"}}));
}

}  // namespace
}  // namespace Velmora::StandinTests
