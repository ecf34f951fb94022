#include "platform/win32/AdoDataAccess.h"

#include <climits>
#include <cstdio>
#include <vector>

#include "platform/Errors.h"
#include "platform/win32/AdoInterfaces.h"
#include "platform/win32/AdoValues.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Scoped.h"

namespace Velmora {

using namespace Ado;

namespace {

std::string BstrText(BSTR text) { return text == nullptr ? std::string() : FromWide(text, SysStringLen(text)); }

// A provider's message is for reading only: a damaged character in it becomes U+FFFD
// rather than costing the whole message.
std::string MessageText(BSTR text)
{
    return text == nullptr ? std::string() : FromWideForDisplay(text, SysStringLen(text));
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

template <class T>
void CreateObject(const GUID& classId, const GUID& interfaceId, TComPtr<T>& target, const char* what)
{
    const HRESULT result =
        CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, interfaceId, target.ReceiveVoid());
    if (FAILED(result) || !target) {
        throw EProviderError(std::string("无法创建ADO") + what + "对象：" + SystemErrorText(static_cast<unsigned long>(result)));
    }
}

std::string DateText(DATE date)
{
    SYSTEMTIME time{};
    if (!VariantTimeToSystemTime(date, &time)) return std::string();
    char text[32];
    if (time.wHour == 0 && time.wMinute == 0 && time.wSecond == 0) {
        std::snprintf(text, sizeof text, "%04u-%02u-%02u", time.wYear, time.wMonth, time.wDay);
    } else {
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
                      time.wHour, time.wMinute, time.wSecond);
    }
    return text;
}

TFieldValue DecimalValue(const DECIMAL& value)
{
    // Whole numbers that fit stay exact; everything else is read as a double, as money is.
    if (value.scale == 0 && value.Hi32 == 0 && value.Lo64 <= static_cast<ULONGLONG>(LLONG_MAX)) {
        const auto magnitude = static_cast<std::int64_t>(value.Lo64);
        return TFieldValue::FromInteger((value.sign & DECIMAL_NEG) != 0 ? -magnitude : magnitude);
    }
    double number = 0.0;
    if (FAILED(VarR8FromDec(const_cast<DECIMAL*>(&value), &number))) throw EVelmoraError("数据库返回的数值无法读取");
    return TFieldValue::FromFloat(number);
}

class TAdoConnection;

class TAdoQuery : public IQuery {
public:
    explicit TAdoQuery(TAdoConnection& connection) : FConnection(connection) {}
    ~TAdoQuery() override { Close(); }

    void Close() override;
    void ClearSql() override { FSql.clear(); }
    void AddSql(const std::string& line) override { FSql.push_back(line); }
    void Open() override;
    bool Active() const override;
    void First() override;
    void Next() override;
    bool Eof() const override;
    int RecordCount() const override;
    TFieldValue FieldByName(const std::string& name) const override;

private:
    void RequireActive() const;
    [[noreturn]] void Fail(HRESULT result) const;

    TAdoConnection& FConnection;
    std::vector<std::string> FSql;
    TComPtr<IAdoRecordset> FRecordset;
};

class TAdoCommand : public ICommand {
public:
    explicit TAdoCommand(TAdoConnection& connection);
    void SetCommandTimeout(int seconds) override { FTimeout = seconds; }
    void SetCommandText(const std::string& text) override { FText = text; }
    void Execute() override;

private:
    TAdoConnection& FConnection;
    TComPtr<IAdoCommand> FCommand;
    int FTimeout = 30;  // ADO's own default
    std::string FText;
};

class TAdoConnection : public IConnection {
public:
    TAdoConnection() { CreateObject(CLSID_Connection, IID_Connection, FConnection, "连接"); }
    ~TAdoConnection() override
    {
        if (Connected()) FConnection->Close();
    }

    void SetConnectionString(const std::string& text) override
    {
        // ADO refuses a new string on an open connection; a new string means a new connection.
        Close();
        TBstr wide(text);
        Check(FConnection->put_ConnectionString(wide.Get()));
        FConnectionString = text;
    }
    std::string ConnectionString() const override { return FConnectionString; }
    void SetCommandTimeout(int seconds) override { Check(FConnection->put_CommandTimeout(seconds)); }
    void SetLoginPrompt(bool prompt) override { FLoginPrompt = prompt; }

    void Open() override
    {
        if (Connected()) return;
        ApplyPrompt();
        Check(FConnection->Open(nullptr, nullptr, nullptr, adConnectUnspecified));
    }

    void Close() override
    {
        if (Connected()) Check(FConnection->Close());
    }

    bool Connected() const override
    {
        LONG state = 0;
        return SUCCEEDED(FConnection->get_State(&state)) && (state & adStateOpen) != 0;
    }

    void SetOnWait(std::function<void()> onWait) override { FOnWait = std::move(onWait); }
    std::unique_ptr<IQuery> CreateQuery() override { return std::make_unique<TAdoQuery>(*this); }
    std::unique_ptr<ICommand> CreateCommand() override { return std::make_unique<TAdoCommand>(*this); }

    IAdoConnection* Raw() const { return FConnection.Get(); }

    // Statements run asynchronously only for a caller that wants to keep its window
    // answering meanwhile; without one they run as they always did.
    bool WaitsAsynchronously() const { return static_cast<bool>(FOnWait) && !FAsyncRefused; }

    // Before an asynchronous statement: what a previous statement left in Errors
    // (warnings and informational messages stay there) must not count as its failure.
    void ForgetProviderMessages() const
    {
        TComPtr<IAdoErrors> errors;
        if (SUCCEEDED(FConnection->get_Errors(errors.Receive())) && errors) errors->Clear();
    }

    // Keeps calling the wait handler until the statement's object leaves the busy states.
    template <class TReadState>
    void WaitWhileBusy(TReadState readState, LONG busy) const
    {
        for (;;) {
            LONG state = 0;
            const HRESULT result = readState(&state);
            if (FAILED(result)) Check(result);
            if ((state & busy) == 0) return;
            // Returns early when a message arrives, so the handler runs at once for it.
            MsgWaitForMultipleObjects(0, nullptr, FALSE, WaitSliceMs, QS_ALLINPUT);
            FOnWait();
        }
    }

    // An asynchronous statement does not fail its call: ADO reports the failure as the
    // statement settles, with the provider's Error objects in the connection's Errors
    // collection (the one ExecuteComplete hands over). Informational messages arrive
    // there too, with number 0; only a failure code counts.
    // A statement that settles closed without a failure (one that returns no rows) is left
    // as the synchronous call leaves it.
    void CheckSettled() const
    {
        const HRESULT failure = FirstFailure();
        if (failure != S_OK) Raise(failure);
    }

private:
    static constexpr DWORD WaitSliceMs = 25;

    HRESULT FirstFailure() const
    {
        TComPtr<IAdoErrors> errors;
        if (FAILED(FConnection->get_Errors(errors.Receive())) || !errors) return S_OK;
        long count = 0;
        if (FAILED(errors->get_Count(&count))) return S_OK;
        for (long i = 0; i < count; ++i) {
            VARIANT index;
            VariantInit(&index);
            index.vt = VT_I4;
            index.lVal = i;
            TComPtr<IAdoError> error;
            long number = 0;
            if (SUCCEEDED(errors->get_Item(index, error.Receive())) && error && SUCCEEDED(error->get_Number(&number)) &&
                number < 0) {
                return static_cast<HRESULT>(number);
            }
        }
        return S_OK;
    }

public:

    void Check(HRESULT result) const
    {
        if (FAILED(result)) Raise(result);
    }

    [[noreturn]] void Raise(HRESULT result) const
    {
        int number = 0;
        std::string text = ProviderErrorText(result, FConnection.Get(), number);
        throw EProviderError(text, number);
    }

    // A provider that cannot run a statement asynchronously says so on the call that
    // asks for it; the statement then runs as a synchronous one, and so does every
    // later one on this connection.
    bool RefusesAsynchronous(HRESULT result)
    {
        if (result != adErrFeatureNotAvailable && result != E_NOTIMPL) return false;
        int number = 0;
        ProviderErrorText(result, FConnection.Get(), number);  // what the refusal left behind goes
        FAsyncRefused = true;
        return true;
    }

private:
    // The provider's own login dialog must never appear inside the host: ask for
    // "never prompt" through the dynamic property. A provider without the property
    // does not prompt either, so a failure here is not one.
    void ApplyPrompt()
    {
        TComPtr<IAdoProperties> properties;
        if (FAILED(FConnection->get_Properties(properties.Receive())) || !properties) return;
        TVariant name("Prompt");
        TComPtr<IAdoProperty> property;
        if (SUCCEEDED(properties->get_Item(name.Get(), property.Receive())) && property) {
            VARIANT value;
            VariantInit(&value);
            value.vt = VT_I4;
            value.lVal = FLoginPrompt ? 2 /* adPromptComplete */ : adPromptNever;
            property->put_Value(value);
        }
        SetErrorInfo(0, nullptr);
    }

    TComPtr<IAdoConnection> FConnection;
    std::string FConnectionString;
    bool FLoginPrompt = true;
    std::function<void()> FOnWait;
    bool FAsyncRefused = false;
};

// ---------------------------------------------------------------- query

void TAdoQuery::Close()
{
    // Closing never fails the caller: the runners close after a failure too.
    if (!FRecordset) return;
    LONG state = 0;
    if (SUCCEEDED(FRecordset->get_State(&state)) && (state & adStateOpen) != 0) FRecordset->Close();
    FRecordset.Reset();
}

void TAdoQuery::Open()
{
    Close();
    FConnection.Open();

    std::string text;
    for (std::size_t i = 0; i < FSql.size(); ++i) {
        if (i != 0) text += "\r\n";
        text += FSql[i];
    }

    TComPtr<IAdoRecordset> recordset;
    CreateObject(CLSID_Recordset, IID_Recordset, recordset, "记录集");
    // A client-side keyset cursor fetches the whole result at once, so the record count is known.
    FConnection.Check(recordset->put_CursorLocation(adUseClient));
    TVariant source(text);
    VARIANT connection;
    VariantInit(&connection);
    connection.vt = VT_DISPATCH;
    connection.pdispVal = FConnection.Raw();
    HRESULT refused = S_OK;
    if (FConnection.WaitsAsynchronously()) {
        FConnection.ForgetProviderMessages();
        refused = recordset->Open(source.Get(), connection, adOpenKeyset, adLockOptimistic,
                                  adCmdText | adAsyncExecute | adAsyncFetch);
        if (FAILED(refused) && !FConnection.RefusesAsynchronous(refused)) FConnection.Check(refused);
    }
    if (!FConnection.WaitsAsynchronously()) {
        FConnection.Check(recordset->Open(source.Get(), connection, adOpenKeyset, adLockOptimistic, adCmdText));
    } else {
        IAdoRecordset* raw = recordset.Get();
        FConnection.WaitWhileBusy([raw](LONG* value) { return raw->get_State(value); }, adStateExecuting | adStateFetching);
        FConnection.CheckSettled();
    }
    // Kept only now: a failed open leaves the query closed.
    FRecordset.Swap(recordset);
}

bool TAdoQuery::Active() const
{
    if (!FRecordset) return false;
    LONG state = 0;
    return SUCCEEDED(FRecordset->get_State(&state)) && (state & adStateOpen) != 0;
}

void TAdoQuery::RequireActive() const
{
    if (!Active()) throw EVelmoraError("查询没有打开，不能读取数据");
}

void TAdoQuery::Fail(HRESULT result) const
{
    if (result == adErrNoCurrentRecord) throw EVelmoraError("查询没有当前记录");
    if (result == adErrObjectClosed) throw EVelmoraError("查询没有打开，不能读取数据");
    FConnection.Check(result);
    throw EProviderError(SystemErrorText(static_cast<unsigned long>(result)));
}

void TAdoQuery::First()
{
    RequireActive();
    VARIANT_BOOL bof = VARIANT_FALSE;
    VARIANT_BOOL eof = VARIANT_FALSE;
    HRESULT result = FRecordset->get_BOF(&bof);
    if (SUCCEEDED(result)) result = FRecordset->get_EOF(&eof);
    if (FAILED(result)) Fail(result);
    // ADO refuses to move in an empty result; a data set simply stays at its end.
    if (bof != VARIANT_FALSE && eof != VARIANT_FALSE) return;
    result = FRecordset->MoveFirst();
    if (FAILED(result)) Fail(result);
}

void TAdoQuery::Next()
{
    if (Eof()) return;
    const HRESULT result = FRecordset->MoveNext();
    if (FAILED(result)) Fail(result);
}

bool TAdoQuery::Eof() const
{
    RequireActive();
    VARIANT_BOOL eof = VARIANT_TRUE;
    const HRESULT result = FRecordset->get_EOF(&eof);
    if (FAILED(result)) Fail(result);
    return eof != VARIANT_FALSE;
}

int TAdoQuery::RecordCount() const
{
    RequireActive();
    AdoLongPtr count = 0;
    const HRESULT result = FRecordset->get_RecordCount(&count);
    if (FAILED(result)) Fail(result);
    // An implementation that writes only a long leaves the upper half zero.
    const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(count)));
    if (sizeof(AdoLongPtr) > 4 && (static_cast<std::uint64_t>(count) >> 32) == 0) return low;
    if (count > INT_MAX) return INT_MAX;
    return static_cast<int>(count);
}

TFieldValue TAdoQuery::FieldByName(const std::string& name) const
{
    RequireActive();
    TComPtr<IAdoFields> fields;
    HRESULT result = FRecordset->get_Fields(fields.Receive());
    if (FAILED(result)) Fail(result);
    TVariant index(name);
    TComPtr<IAdoField> field;
    result = fields->get_Item(index.Get(), field.Receive());
    if (result == adErrItemNotFound) {
        SetErrorInfo(0, nullptr);
        throw EVelmoraError("查询结果中没有字段“" + name + "”");
    }
    if (FAILED(result)) Fail(result);
    TVariant value;
    result = field->get_Value(value.Receive());
    if (FAILED(result)) Fail(result);
    return FieldValueFromVariant(value.Get());
}

// ---------------------------------------------------------------- command

TAdoCommand::TAdoCommand(TAdoConnection& connection) : FConnection(connection)
{
    CreateObject(CLSID_Command, IID_Command15, FCommand, "命令");
}

void TAdoCommand::Execute()
{
    FConnection.Open();
    FConnection.Check(FCommand->putref_ActiveConnection(FConnection.Raw()));
    TBstr text(FText);
    FConnection.Check(FCommand->put_CommandText(text.Get()));
    FConnection.Check(FCommand->put_CommandTimeout(FTimeout));
    TComPtr<IAdoRecordset> rows;
    TComPtr<IAdoCommand25> running;
    // SQLOLEDB finishes a statement that answers with messages only (RESTORE's "Processed
    // N pages…") before it reports the statement done, and hands the messages over as
    // Error objects: nothing has to be read for the restore to complete, and a message
    // that is no failure never fails the statement.
    const bool asynchronous = FConnection.WaitsAsynchronously() &&
                              SUCCEEDED(FCommand->QueryInterface(IID_Command25, running.ReceiveVoid())) && running;
    if (asynchronous) {
        FConnection.ForgetProviderMessages();
        const HRESULT result =
            FCommand->Execute(nullptr, nullptr, adCmdText | adExecuteNoRecords | adAsyncExecute, rows.Receive());
        if (FAILED(result) && !FConnection.RefusesAsynchronous(result)) FConnection.Check(result);
    }
    if (!asynchronous || !FConnection.WaitsAsynchronously()) {
        FConnection.Check(FCommand->Execute(nullptr, nullptr, adCmdText | adExecuteNoRecords, rows.Receive()));
        return;
    }
    IAdoCommand25* raw = running.Get();
    try {
        FConnection.WaitWhileBusy([raw](LONG* value) { return raw->get_State(value); }, adStateExecuting);
    } catch (...) {
        // A statement must not outlive the step that started it.
        raw->Cancel();
        throw;
    }
    FConnection.CheckSettled();
}

}  // namespace

// ---------------------------------------------------------------- conversions

TFieldValue FieldValueFromVariant(const VARIANT& value)
{
    if ((value.vt & VT_BYREF) != 0) {
        TVariant direct;
        if (FAILED(VariantCopyInd(direct.Receive(), const_cast<VARIANT*>(&value)))) {
            throw EVelmoraError("数据库返回的字段值无法读取");
        }
        return FieldValueFromVariant(direct.Get());
    }
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return TFieldValue::Null();
    case VT_I1:
        return TFieldValue::FromInteger(value.cVal);
    case VT_UI1:
        return TFieldValue::FromInteger(value.bVal);
    case VT_I2:
        return TFieldValue::FromInteger(value.iVal);
    case VT_UI2:
        return TFieldValue::FromInteger(value.uiVal);
    case VT_I4:
        return TFieldValue::FromInteger(value.lVal);
    case VT_UI4:
        return TFieldValue::FromInteger(value.ulVal);
    case VT_INT:
        return TFieldValue::FromInteger(value.intVal);
    case VT_UINT:
        return TFieldValue::FromInteger(value.uintVal);
    case VT_I8:
        return TFieldValue::FromInteger(value.llVal);
    case VT_UI8:
        if (value.ullVal <= static_cast<ULONGLONG>(LLONG_MAX)) {
            return TFieldValue::FromInteger(static_cast<std::int64_t>(value.ullVal));
        }
        return TFieldValue::FromFloat(static_cast<double>(value.ullVal));
    case VT_BOOL:
        return TFieldValue::FromInteger(value.boolVal != VARIANT_FALSE ? 1 : 0);
    case VT_R4:
        return TFieldValue::FromFloat(value.fltVal);
    case VT_R8:
        return TFieldValue::FromFloat(value.dblVal);
    case VT_CY:
        return TFieldValue::FromFloat(static_cast<double>(value.cyVal.int64) / 10000.0);
    case VT_DECIMAL:
        return DecimalValue(value.decVal);
    case VT_DATE:
        return TFieldValue::FromText(DateText(value.date));
    case VT_BSTR:
        return TFieldValue::FromText(BstrText(value.bstrVal));
    default:
        break;
    }
    if (value.vt == (VT_ARRAY | VT_UI1) && value.parray != nullptr) {
        void* data = nullptr;
        LONG lower = 0;
        LONG upper = -1;
        SafeArrayGetLBound(value.parray, 1, &lower);
        SafeArrayGetUBound(value.parray, 1, &upper);
        std::string bytes;
        if (upper >= lower && SUCCEEDED(SafeArrayAccessData(value.parray, &data))) {
            bytes.assign(static_cast<const char*>(data), static_cast<std::size_t>(upper - lower + 1));
            SafeArrayUnaccessData(value.parray);
        }
        return TFieldValue::FromText(bytes);
    }
    TVariant text;
    if (FAILED(VariantChangeType(text.Receive(), const_cast<VARIANT*>(&value), 0, VT_BSTR))) {
        throw EVelmoraError("数据库返回的字段值类型（" + std::to_string(value.vt) + "）无法读取");
    }
    return TFieldValue::FromText(BstrText(text.Get().bstrVal));
}

namespace {

// The last resort of a message: the code alone, short enough to need no allocation.
std::string CodeText(HRESULT result) noexcept
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(result));
    return hex;
}

std::string ProviderMessages(IAdoConnection* connection, int& number)
{
    std::string fromErrors;
    TComPtr<IAdoErrors> errors;
    if (FAILED(connection->get_Errors(errors.Receive())) || !errors) return fromErrors;
    long count = 0;
    if (FAILED(errors->get_Count(&count))) count = 0;
    for (long i = 0; i < count; ++i) {
        VARIANT index;
        VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = i;
        TComPtr<IAdoError> error;
        if (FAILED(errors->get_Item(index, error.Receive())) || !error) continue;
        long code = 0;
        long native = 0;
        // The first failure names the refusal; what follows it (3013 "terminating
        // abnormally") only closes it.
        if (number == 0 && SUCCEEDED(error->get_Number(&code)) && code < 0 &&
            SUCCEEDED(error->get_NativeError(&native))) {
            number = static_cast<int>(native);
        }
        TBstr description;
        if (FAILED(error->get_Description(description.Receive()))) continue;
        const std::string line = Trimmed(MessageText(description.Get()));
        if (!line.empty() && fromErrors.find(line) == std::string::npos) {
            if (!fromErrors.empty()) fromErrors += "\r\n";
            fromErrors += line;
        }
    }
    errors->Clear();
    return fromErrors;
}

}  // namespace

std::string ProviderErrorText(HRESULT result, IAdoConnection* connection) noexcept
{
    int number = 0;
    return ProviderErrorText(result, connection, number);
}

std::string ProviderErrorText(HRESULT result, IAdoConnection* connection, int& number) noexcept
{
    number = 0;
    try {
        // The thread's error object first: any further COM call may replace it.
        std::string fromErrorInfo;
        {
            TComPtr<IErrorInfo> info;
            if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
                TBstr description;
                if (SUCCEEDED(info->GetDescription(description.Receive()))) {
                    fromErrorInfo = Trimmed(MessageText(description.Get()));
                }
            }
        }
        std::string fromErrors;
        if (connection != nullptr) {
            fromErrors = ProviderMessages(connection, number);
            SetErrorInfo(0, nullptr);
        }
        if (!fromErrors.empty()) return fromErrors;
        if (!fromErrorInfo.empty()) return fromErrorInfo;
    } catch (...) {
        // Out of memory while reading the provider's words: the system's words below
        // still tell the failure, and it stays a provider error for the caller.
        SetErrorInfo(0, nullptr);
    }
    try {
        return SystemErrorText(static_cast<unsigned long>(result));
    } catch (...) {
        return CodeText(result);
    }
}

std::unique_ptr<IConnection> TAdoDataAccess::CreateConnection() { return std::make_unique<TAdoConnection>(); }

}  // namespace Velmora
