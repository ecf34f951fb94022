// The ADO adapter against fake ADO objects built on the system's own declarations of
// ADO: the slots it calls, the VARIANTs SQL Server's provider hands back, its errors,
// asynchronous statements, and every reference given back.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>

#include "FakeAdo.h"
#include "FakeAdoVtables.h"
#include "platform/Errors.h"
#include "platform/win32/AdoDataAccess.h"
#include "platform/win32/AdoInterfaces.h"
#include "preprocess/DealWithUFO.h"
#include "tests/fakes/FakePlatform.h"

namespace Velmora {
namespace {

using namespace WinTest;

// Where a virtual method sits: GCC's pointer to a virtual member holds 1 + its byte
// offset in the vtable (the Itanium C++ ABI, which MinGW-w64 follows).
template <class TMember>
long SlotOf(TMember member)
{
    struct {
        std::uintptr_t Pointer;
        std::ptrdiff_t Adjust;
    } raw{};
    static_assert(sizeof raw == sizeof member, "a pointer to member is two words");
    std::memcpy(&raw, &member, sizeof raw);
    if ((raw.Pointer & 1) == 0) return -1;
    return static_cast<long>((raw.Pointer - 1) / sizeof(void*));
}

TEST(AdoDeclarations, EveryDeclaredMethodSitsInTheSystemsSlot)
{
    std::map<std::string, unsigned> system;
    for (unsigned i = 0; i < VelmoraAdoSystemSlotCount; ++i) {
        system[std::string(VelmoraAdoSystemSlots[i].Interface) + "::" + VelmoraAdoSystemSlots[i].Method] =
            VelmoraAdoSystemSlots[i].Slot;
    }
    const std::pair<const char*, long> mine[] = {
#define VELMORA_ADO_SLOT(vtbl, member, iface, method) {#iface "::" #method, SlotOf(&Ado::iface::method)},
#include "AdoSlots.inc"
#undef VELMORA_ADO_SLOT
    };
    ASSERT_EQ(std::size(mine), system.size());
    for (const auto& entry : mine) {
        EXPECT_EQ(entry.second, static_cast<long>(system.at(entry.first))) << entry.first;
    }
    EXPECT_EQ(sizeof(Ado::AdoLongPtr), VelmoraAdoLongPtrSize);
}

class AdoContract : public testing::Test {
protected:
    void SetUp() override
    {
        FAnswers[L"SELECT 1"] = TFakeAnswer();
        FProvider = std::make_unique<TFakeAdoProvider>([this](const TFakeStatement& statement) {
            const auto found = FAnswers.find(statement.Text);
            return found == FAnswers.end() ? TFakeAnswer() : found->second;
        });
        ASSERT_TRUE(FProvider->Registered());
        FConnection = FData.CreateConnection();
        FConnection->SetConnectionString("Provider=SQLOLEDB.1;Data Source=(local)");
    }
    void TearDown() override
    {
        FConnection.reset();
        // Every object the adapter was handed is released down to nothing.
        EXPECT_EQ(FProvider->LiveObjects(), 0);
        FProvider.reset();
    }

    std::unique_ptr<IQuery> Query(const std::string& text)
    {
        auto query = FConnection->CreateQuery();
        query->AddSql(text);
        return query;
    }

    std::map<std::wstring, TFakeAnswer> FAnswers;
    std::unique_ptr<TFakeAdoProvider> FProvider;
    TAdoDataAccess FData;
    std::unique_ptr<IConnection> FConnection;
};

TEST_F(AdoContract, ReadsEveryColumnTypeAsTheProviderReturnsIt)
{
    TFakeAnswer& rows = FAnswers[L"SELECT * FROM Accounts"];
    rows.Columns = {L"si", L"i", L"bi", L"dec", L"whole", L"money", L"fl", L"bit", L"name", L"nname", L"nothing"};
    // 2^53 + 1 has no double: a bigint must not pass through one.
    rows.Rows.push_back({FakeI2(-12), FakeI4(2147483647), FakeI8(9007199254740993LL), FakeDecimal(123456789, 4, true),
                         FakeDecimal(42, 0, false), FakeMoney(-9223372036854775807LL), FakeR8(0.1), FakeBool(true),
                         FakeText(L"现金"), FakeText(L"银行存款—工行"), FakeNull()});
    rows.Rows.push_back({FakeI2(0), FakeI4(-1), FakeI8(0), FakeDecimal(5, 1, false), FakeDecimal(0, 0, false),
                         FakeMoney(10000), FakeR8(-2.5), FakeBool(false), FakeText(L""), FakeText(L"x"), FakeNull()});
    auto query = Query("SELECT * FROM Accounts");
    query->Open();
    ASSERT_EQ(query->RecordCount(), 2);
    query->First();
    EXPECT_EQ(query->FieldByName("SI").AsInteger(), -12);
    EXPECT_EQ(query->FieldByName("i").AsInteger(), 2147483647);
    EXPECT_EQ(query->FieldByName("bi").AsInteger(), 9007199254740993LL);
    EXPECT_DOUBLE_EQ(query->FieldByName("dec").AsFloat(), -12345.6789);
    EXPECT_EQ(query->FieldByName("whole").Kind(), TFieldValue::TKind::Integer);
    EXPECT_EQ(query->FieldByName("whole").AsInteger(), 42);
    EXPECT_DOUBLE_EQ(query->FieldByName("money").AsFloat(), -922337203685477.5807);
    EXPECT_DOUBLE_EQ(query->FieldByName("fl").AsFloat(), 0.1);
    EXPECT_TRUE(query->FieldByName("bit").AsBoolean());
    EXPECT_EQ(query->FieldByName("name").AsString(), "\xE7\x8E\xB0\xE9\x87\x91");
    EXPECT_EQ(query->FieldByName("nname").AsString(), "\xE9\x93\xB6\xE8\xA1\x8C\xE5\xAD\x98\xE6\xAC\xBE\xE2\x80\x94\xE5\xB7\xA5\xE8\xA1\x8C");
    EXPECT_TRUE(query->FieldByName("nothing").IsNull());
    query->Next();
    ASSERT_FALSE(query->Eof());
    EXPECT_EQ(query->FieldByName("i").AsInteger(), -1);
    EXPECT_DOUBLE_EQ(query->FieldByName("dec").AsFloat(), 0.5);
    EXPECT_DOUBLE_EQ(query->FieldByName("money").AsFloat(), 1.0);
    EXPECT_FALSE(query->FieldByName("bit").AsBoolean());
    query->Next();
    EXPECT_TRUE(query->Eof());
    EXPECT_THROW(query->FieldByName("i"), EVelmoraError);
    EXPECT_NO_THROW(query->Next());
    EXPECT_THROW(query->FieldByName("missing"), EVelmoraError);
    EXPECT_FALSE(FProvider->Calls().at(0).Options & Ado::adAsyncExecute);
}

TEST_F(AdoContract, AStatementWithoutRowsAndAnEmptyResult)
{
    FAnswers[L"SELECT name FROM sysdatabases WHERE name='UFDATA'"].Columns = {L"name"};
    auto query = Query("SELECT name FROM sysdatabases WHERE name='UFDATA'");
    query->Open();
    EXPECT_EQ(query->RecordCount(), 0);
    EXPECT_NO_THROW(query->First());
    EXPECT_TRUE(query->Eof());

    auto command = FConnection->CreateCommand();
    command->SetCommandText("DROP DATABASE UFDATA");
    command->Execute();
    const auto calls = FProvider->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Statement, L"DROP DATABASE UFDATA");
    EXPECT_EQ(calls[1].Options & (Ado::adCmdText | Ado::adExecuteNoRecords), Ado::adCmdText | Ado::adExecuteNoRecords);
}

TEST_F(AdoContract, AProvidersSeveralLinesBecomeOneErrorAndAreCleared)
{
    FAnswers[L"RESTORE DATABASE UFDATA"].Errors = {
        {static_cast<long>(0x80040E14), L"无法打开备份设备 'C:\\x.bak'。\r\n"},
        {static_cast<long>(0x80040E14), L"RESTORE DATABASE 正在异常终止。"}};
    FAnswers[L"RESTORE DATABASE UFDATA"].NativeErrors = {3201, 3013};
    auto command = FConnection->CreateCommand();
    command->SetCommandText("RESTORE DATABASE UFDATA");
    try {
        command->Execute();
        FAIL() << "no error";
    } catch (const EProviderError& error) {
        EXPECT_STREQ(error.what(), "无法打开备份设备 'C:\\x.bak'。\r\nRESTORE DATABASE 正在异常终止。");
        // The refusal's own number, not the one that closes every failed restore.
        EXPECT_EQ(error.Number(), 3201);
    }
    EXPECT_EQ(FProvider->ErrorsLeft(), 0u);

    FAnswers[L"SELECT bad"].Errors = {{static_cast<long>(0x80040E14), L"列名 'bad' 无效。"}};
    auto query = Query("SELECT bad");
    EXPECT_THROW(query->Open(), EProviderError);
    EXPECT_FALSE(query->Active());
}

TEST_F(AdoContract, AsynchronousStatementsKeepCallingTheWaitHandler)
{
    int waits = 0;
    FConnection->SetOnWait([&waits] { ++waits; });
    FAnswers[L"RESTORE DATABASE UFDATA"].BusyPolls = 6;
    // An earlier statement's informational message is not this one's failure.
    FAnswers[L"PRINT 1"].Errors = {{0, L"已将数据库上下文更改为 'master'。"}};
    auto command = FConnection->CreateCommand();
    command->SetCommandText("PRINT 1");
    command->Execute();
    waits = 0;
    command->SetCommandText("RESTORE DATABASE UFDATA");
    command->Execute();
    // One call for every reading that found the statement still executing.
    EXPECT_EQ(waits, 6);
    EXPECT_TRUE(FProvider->Calls().back().Options & Ado::adAsyncExecute);

    TFakeAnswer& rows = FAnswers[L"SELECT ccode FROM code"];
    rows.Columns = {L"ccode"};
    rows.Rows = {{FakeText(L"1001")}, {FakeText(L"1002")}};
    rows.BusyPolls = 3;
    waits = 0;
    auto query = Query("SELECT ccode FROM code");
    query->Open();
    EXPECT_EQ(waits, 4);  // three executing, one fetching
    EXPECT_EQ(FProvider->Calls().back().Options & (Ado::adAsyncExecute | Ado::adAsyncFetch),
              Ado::adAsyncExecute | Ado::adAsyncFetch);
    ASSERT_EQ(query->RecordCount(), 2);
    query->First();
    EXPECT_EQ(query->FieldByName("ccode").AsString(), "1001");
}

TEST_F(AdoContract, AnAsynchronousFailureSurfacesWithTheProvidersWords)
{
    int waits = 0;
    FConnection->SetOnWait([&waits] { ++waits; });
    TFakeAnswer& failing = FAnswers[L"RESTORE DATABASE UFDATA"];
    failing.BusyPolls = 2;
    failing.Errors = {{0, L"已处理 160 页。"}, {static_cast<long>(0x80040E14), L"数据库 'UFDATA' 正在使用。"}};
    failing.NativeErrors = {4035, 3101};
    auto command = FConnection->CreateCommand();
    command->SetCommandText("RESTORE DATABASE UFDATA");
    try {
        command->Execute();
        FAIL() << "no error";
    } catch (const EProviderError& error) {
        EXPECT_STREQ(error.what(), "已处理 160 页。\r\n数据库 'UFDATA' 正在使用。");
        EXPECT_EQ(error.Number(), 3101);
    }
    EXPECT_EQ(waits, 2);

    FAnswers[L"SELECT bad"] = failing;
    auto query = Query("SELECT bad");
    EXPECT_THROW(query->Open(), EProviderError);
    EXPECT_FALSE(query->Active());
}

// A provider that refuses asynchronous execution on the call itself gets the statement
// again, synchronously; a restore that ends with messages only has succeeded.
TEST_F(AdoContract, AProviderRefusingAsynchronousExecutionRunsTheStatementSynchronously)
{
    FConnection->SetOnWait([] {});
    TFakeAnswer& restore = FAnswers[L"RESTORE DATABASE UFDATA"];
    restore.RefuseAsync = Ado::adErrFeatureNotAvailable;
    restore.Errors = {{0, L"已为数据库 'UFDATA'，文件 'UFDATA_Data' 处理了 160 页。"}, {0, L"RESTORE DATABASE 成功处理了 161 页。"}};
    auto command = FConnection->CreateCommand();
    command->SetCommandText("RESTORE DATABASE UFDATA");
    EXPECT_NO_THROW(command->Execute());
    FAnswers[L"SELECT 2"].RefuseAsync = E_NOTIMPL;
    FAnswers[L"SELECT 2"].Columns = {L"n"};
    FAnswers[L"SELECT 2"].Rows = {{FakeI4(2)}};
    auto query = Query("SELECT 2");
    query->Open();
    EXPECT_EQ(query->FieldByName("n").AsInteger(), 2);
    const auto calls = FProvider->Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_TRUE(calls[0].Options & Ado::adAsyncExecute);
    EXPECT_FALSE(calls[1].Options & Ado::adAsyncExecute);
    EXPECT_FALSE(calls[2].Options & Ado::adAsyncExecute) << "the connection remembers the refusal";
}

TEST_F(AdoContract, TheServersNumberReachesTheBox)
{
    Fakes::TFakePlatform fake;
    TPlatform platform{fake.Toolkit, fake.Services, FData, fake.Files, fake.Text};
    TForm_DealWithUFO form(platform);
    FAnswers[L"SELECT bad"].Errors = {{static_cast<long>(0x80040E14), L"列名 'bad' 无效。"}};
    FAnswers[L"SELECT bad"].NativeErrors = {207};
    EXPECT_FALSE(form.OpenQuery("SELECT bad"));
    ASSERT_EQ(fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(fake.Toolkit.Messages[0].Text, "SQL=SELECT bad不能执行\n（207）列名 'bad' 无效。");
}

}  // namespace
}  // namespace Velmora
