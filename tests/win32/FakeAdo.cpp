#include "FakeAdo.h"

#include <cwchar>
#include <set>

#include "FakeAdoVtables.h"

namespace Velmora::WinTest {

namespace {

// ADO's IDs, spelled out here so that the fakes do not borrow the adapter's declarations.
GUID AdoId(unsigned long head) { return GUID{head, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}}; }

constexpr long StateClosed = 0;
constexpr long StateOpen = 1;
constexpr long StateExecuting = 4;
constexpr long StateFetching = 8;
constexpr long AsyncExecute = 0x10;
constexpr HRESULT ErrItemNotFound = static_cast<HRESULT>(0x800A0CC1);
constexpr HRESULT ErrNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);
constexpr HRESULT ErrObjectClosed = static_cast<HRESULT>(0x800A0E78);

TFakeAdoProvider* Provider = nullptr;
long Live = 0;

using TErrorList = std::vector<std::pair<long, std::wstring>>;

struct TPosted {
    TErrorList Errors;
    std::vector<long> Natives;
};
TPosted PostedBy(const TFakeAnswer& answer) { return TPosted{answer.Errors, answer.NativeErrors}; }

HRESULT FirstFailure(const TErrorList& errors)
{
    for (const auto& error : errors) {
        if (error.first < 0) return static_cast<HRESULT>(error.first);
    }
    return S_OK;
}

// Every fake starts with its vtable, as a COM object does; no C++ virtuals, so nothing
// comes before it.
struct TFake {
    const void* Vtbl;
    LONG Refs;
    void (*Destroy)(TFake*);
};

template <class T>
T* Make(const void* vtbl)
{
    T* object = new T();
    object->Vtbl = vtbl;
    object->Refs = 1;
    object->Destroy = [](TFake* fake) { delete static_cast<T*>(fake); };
    ++Live;
    return object;
}

void Hold(TFake* fake) { ++fake->Refs; }
void Drop(TFake* fake)
{
    if (fake != nullptr && --fake->Refs == 0) {
        --Live;
        fake->Destroy(fake);
    }
}

struct TConnection : TFake {
    std::wstring Text;
    long State = StateClosed;
    LONG Timeout = 15;
    TErrorList Errors;
    std::vector<long> Natives;
    void Post(const TPosted& posted)
    {
        Errors = posted.Errors;
        Natives = posted.Natives;
    }
    ~TConnection();
};
std::set<TConnection*> Connections;
TConnection::~TConnection()
{
    if (State != StateClosed && Provider != nullptr) Provider->Closed(this);
    Connections.erase(this);
}

TFakeStatement StatementOn(TConnection* connection, const std::wstring& text)
{
    return TFakeStatement{connection, connection->Text, text};
}

struct TCommand : TFake {
    TConnection* Connection = nullptr;
    std::wstring Text;
    int BusyLeft = 0;
    bool Settled = true;
    TPosted Pending;
    ~TCommand() { Drop(Connection); }
};

struct TRecordset : TFake {
    TConnection* Connection = nullptr;
    long State = StateClosed;
    int BusyLeft = 0;
    bool FetchLeft = false;
    TFakeAnswer Result;
    std::size_t Position = 0;
    ~TRecordset() { Drop(Connection); }
    bool AtEnd() const { return Position >= Result.Rows.size(); }
};

struct TFields : TFake {
    TRecordset* Recordset = nullptr;
    ~TFields() { Drop(Recordset); }
};

struct TField : TFake {
    TRecordset* Recordset = nullptr;
    std::size_t Column = 0;
    ~TField() { Drop(Recordset); }
};

struct TErrors : TFake {
    TConnection* Connection = nullptr;
    ~TErrors() { Drop(Connection); }
};

struct TError : TFake {
    long Number = 0;
    long Native = 0;
    std::wstring Description;
};

template <class T>
T* As(void* self)
{
    return static_cast<T*>(static_cast<TFake*>(self));
}

bool Accepts(const void* vtbl, REFIID iid)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IDispatch)) return true;
    std::vector<unsigned long> heads;
    if (vtbl == VelmoraFakeAdoConnectionVtbl) heads = {0x550, 0x515};
    if (vtbl == VelmoraFakeAdoCommandVtbl) heads = {0x54E, 0x508};
    if (vtbl == VelmoraFakeAdoRecordsetVtbl) heads = {0x556, 0x555, 0x54F, 0x50E};
    if (vtbl == VelmoraFakeAdoFieldsVtbl) heads = {0x54D, 0x506};
    if (vtbl == VelmoraFakeAdoFieldVtbl) heads = {0x569, 0x54C, 0x505};
    if (vtbl == VelmoraFakeAdoErrorsVtbl) heads = {0x501};
    if (vtbl == VelmoraFakeAdoErrorVtbl) heads = {0x500};
    for (unsigned long head : heads) {
        if (IsEqualGUID(iid, AdoId(head))) return true;
    }
    return false;
}

BSTR Bstr(const std::wstring& text) { return SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }

void Settle(TRecordset* rows)
{
    const HRESULT failure = FirstFailure(rows->Result.Errors);
    if (rows->Connection != nullptr) rows->Connection->Post(PostedBy(rows->Result));
    rows->State = failure == S_OK ? StateOpen : StateClosed;
}

// ---------------------------------------------------------------- class objects

class TFactory : public IClassFactory {
public:
    explicit TFactory(int kind) : FKind(kind) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        TFake* fake = nullptr;
        if (FKind == 0) {
            auto* connection = Make<TConnection>(VelmoraFakeAdoConnectionVtbl);
            Connections.insert(connection);
            fake = connection;
        } else if (FKind == 1) {
            fake = Make<TCommand>(VelmoraFakeAdoCommandVtbl);
        } else {
            fake = Make<TRecordset>(VelmoraFakeAdoRecordsetVtbl);
        }
        HRESULT result = E_NOINTERFACE;
        if (Accepts(fake->Vtbl, iid)) {
            Hold(fake);
            *object = fake;
            result = S_OK;
        }
        Drop(fake);
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    int FKind;
};

TFactory ConnectionFactory(0);
TFactory CommandFactory(1);
TFactory RecordsetFactory(2);

}  // namespace

// ---------------------------------------------------------------- values

TFakeValue::TFakeValue(const VARIANT& value)
{
    VariantInit(&FValue);
    VariantCopy(&FValue, const_cast<VARIANT*>(&value));
}

TFakeValue& TFakeValue::operator=(const TFakeValue& other)
{
    if (this != &other) VariantCopy(&FValue, const_cast<VARIANT*>(&other.FValue));
    return *this;
}

namespace {
template <class TSet>
TFakeValue Of(VARTYPE type, TSet set)
{
    VARIANT value;
    VariantInit(&value);
    value.vt = type;
    set(value);
    TFakeValue result(value);
    VariantClear(&value);
    return result;
}
}  // namespace

TFakeValue FakeI2(short value) { return Of(VT_I2, [&](VARIANT& v) { v.iVal = value; }); }
TFakeValue FakeI4(long value) { return Of(VT_I4, [&](VARIANT& v) { v.lVal = value; }); }
TFakeValue FakeI8(long long value) { return Of(VT_I8, [&](VARIANT& v) { v.llVal = value; }); }
TFakeValue FakeMoney(long long tenThousandths) { return Of(VT_CY, [&](VARIANT& v) { v.cyVal.int64 = tenThousandths; }); }
TFakeValue FakeR8(double value) { return Of(VT_R8, [&](VARIANT& v) { v.dblVal = value; }); }
TFakeValue FakeBool(bool value) { return Of(VT_BOOL, [&](VARIANT& v) { v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE; }); }
TFakeValue FakeText(const std::wstring& value) { return Of(VT_BSTR, [&](VARIANT& v) { v.bstrVal = Bstr(value); }); }
TFakeValue FakeNull() { return Of(VT_NULL, [](VARIANT&) {}); }
TFakeValue FakeDecimal(unsigned long long magnitude, unsigned char scale, bool negative)
{
    VARIANT value;
    VariantInit(&value);
    value.decVal.Lo64 = magnitude;
    value.decVal.Hi32 = 0;
    value.decVal.scale = scale;
    value.decVal.sign = negative ? DECIMAL_NEG : 0;
    value.vt = VT_DECIMAL;  // after the decimal: vt shares its first bytes
    return TFakeValue(value);
}

// ---------------------------------------------------------------- provider

TFakeAdoProvider::TFakeAdoProvider(TAnswer answer, TClosed closed) : FAnswer(std::move(answer)), FClosed(std::move(closed))
{
    Provider = this;
    const std::pair<GUID, IClassFactory*> classes[] = {{AdoId(0x514), &ConnectionFactory},
                                                        {AdoId(0x507), &CommandFactory},
                                                        {AdoId(0x535), &RecordsetFactory}};
    FRegistered = true;
    for (const auto& entry : classes) {
        DWORD cookie = 0;
        if (FAILED(CoRegisterClassObject(entry.first, entry.second, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
            FRegistered = false;
        } else {
            FCookies.push_back(cookie);
        }
    }
}

TFakeAdoProvider::~TFakeAdoProvider()
{
    for (DWORD cookie : FCookies) CoRevokeClassObject(cookie);
    Provider = nullptr;
}

long TFakeAdoProvider::LiveObjects() const { return Live; }

std::size_t TFakeAdoProvider::ErrorsLeft() const
{
    std::size_t count = 0;
    for (TConnection* connection : Connections) count += connection->Errors.size();
    return count;
}

TFakeAnswer TFakeAdoProvider::Answer(const TFakeStatement& statement, long options, bool query)
{
    FCalls.push_back(TFakeCall{statement.Text, options, query});
    return FAnswer ? FAnswer(statement) : TFakeAnswer();
}

void TFakeAdoProvider::Closed(const void* connection)
{
    if (FClosed) FClosed(connection);
}

}  // namespace Velmora::WinTest

// ---------------------------------------------------------------- the methods, for the C vtables

using namespace Velmora::WinTest;

extern "C" {

HRESULT STDMETHODCALLTYPE FakeAdo_QueryInterface(void* self, REFIID iid, void** object)
{
    TFake* fake = As<TFake>(self);
    if (!Accepts(fake->Vtbl, iid)) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    Hold(fake);
    *object = fake;
    return S_OK;
}
ULONG STDMETHODCALLTYPE FakeAdo_AddRef(void* self)
{
    Hold(As<TFake>(self));
    return static_cast<ULONG>(As<TFake>(self)->Refs);
}
ULONG STDMETHODCALLTYPE FakeAdo_Release(void* self)
{
    TFake* fake = As<TFake>(self);
    const LONG left = fake->Refs - 1;
    Drop(fake);
    return static_cast<ULONG>(left);
}
HRESULT STDMETHODCALLTYPE FakeAdo_GetTypeInfoCount(void*, UINT* count)
{
    *count = 0;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeAdo_GetTypeInfo(void*, UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FakeAdo_GetIDsOfNames(void*, REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FakeAdo_Invoke(void*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
{
    return E_NOTIMPL;
}

// ---- Connection

HRESULT STDMETHODCALLTYPE FakeConnection_get_Properties(void*, void** properties)
{
    *properties = nullptr;
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE FakeConnection_put_ConnectionString(void* self, BSTR text)
{
    As<TConnection>(self)->Text.assign(text, SysStringLen(text));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeConnection_put_CommandTimeout(void* self, LONG seconds)
{
    As<TConnection>(self)->Timeout = seconds;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeConnection_Close(void* self)
{
    TConnection* connection = As<TConnection>(self);
    if (connection->State == StateClosed) return ErrObjectClosed;
    connection->State = StateClosed;
    if (Provider != nullptr) Provider->Closed(connection);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeConnection_Open(void* self, BSTR, BSTR, BSTR, long)
{
    As<TConnection>(self)->State = StateOpen;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeConnection_get_Errors(void* self, void** errors)
{
    auto* collection = Make<TErrors>(VelmoraFakeAdoErrorsVtbl);
    collection->Connection = As<TConnection>(self);
    Hold(collection->Connection);
    *errors = collection;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeConnection_get_State(void* self, LONG* state)
{
    *state = As<TConnection>(self)->State;
    return S_OK;
}

// ---- Command

HRESULT STDMETHODCALLTYPE FakeCommand_putref_ActiveADOConnection(void* self, void* connection)
{
    TCommand* command = As<TCommand>(self);
    if (connection == nullptr || As<TFake>(connection)->Vtbl != VelmoraFakeAdoConnectionVtbl) return E_INVALIDARG;
    Hold(As<TFake>(connection));
    Drop(command->Connection);
    command->Connection = As<TConnection>(connection);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeCommand_put_CommandText(void* self, BSTR text)
{
    As<TCommand>(self)->Text.assign(text, SysStringLen(text));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeCommand_put_CommandTimeout(void*, LONG) { return S_OK; }
HRESULT STDMETHODCALLTYPE FakeCommand_Execute(void* self, VARIANT*, VARIANT*, long options, void** rows)
{
    TCommand* command = As<TCommand>(self);
    if (rows != nullptr) *rows = nullptr;
    if (command->Connection == nullptr || command->Connection->State != StateOpen) return ErrObjectClosed;
    TFakeAnswer answer = Provider->Answer(StatementOn(command->Connection, command->Text), options, false);
    if ((options & AsyncExecute) != 0 && answer.RefuseAsync != S_OK) return answer.RefuseAsync;
    if ((options & AsyncExecute) != 0) {
        command->BusyLeft = answer.BusyPolls;
        command->Pending = PostedBy(answer);
        command->Settled = false;
        return S_OK;
    }
    command->Connection->Post(PostedBy(answer));
    return FirstFailure(answer.Errors);
}
HRESULT STDMETHODCALLTYPE FakeCommand_get_State(void* self, LONG* state)
{
    TCommand* command = As<TCommand>(self);
    if (command->BusyLeft > 0) {
        --command->BusyLeft;
        *state = StateExecuting;
        return S_OK;
    }
    if (!command->Settled) {
        command->Settled = true;
        command->Connection->Post(command->Pending);
    }
    *state = StateClosed;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeCommand_Cancel(void* self)
{
    As<TCommand>(self)->BusyLeft = 0;
    return S_OK;
}

// ---- Recordset

HRESULT STDMETHODCALLTYPE FakeRecordset_get_BOF(void* self, VARIANT_BOOL* bof)
{
    TRecordset* rows = As<TRecordset>(self);
    if (rows->State != StateOpen) return ErrObjectClosed;
    *bof = rows->Result.Rows.empty() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeRecordset_get_EOF(void* self, VARIANT_BOOL* eof)
{
    TRecordset* rows = As<TRecordset>(self);
    if (rows->State != StateOpen) return ErrObjectClosed;
    *eof = rows->AtEnd() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeRecordset_get_Fields(void* self, void** fields)
{
    auto* collection = Make<TFields>(VelmoraFakeAdoFieldsVtbl);
    collection->Recordset = As<TRecordset>(self);
    Hold(collection->Recordset);
    *fields = collection;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeRecordset_get_RecordCount(void* self, void* count)
{
    TRecordset* rows = As<TRecordset>(self);
    if (rows->State != StateOpen) return ErrObjectClosed;
    // The whole width the system header gives the count, as the real ADO writes it.
    if (VelmoraAdoLongPtrSize == 8) {
        *static_cast<long long*>(count) = static_cast<long long>(rows->Result.Rows.size());
    } else {
        *static_cast<long*>(count) = static_cast<long>(rows->Result.Rows.size());
    }
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeRecordset_Close(void* self)
{
    TRecordset* rows = As<TRecordset>(self);
    if (rows->State == StateClosed) return ErrObjectClosed;
    rows->State = StateClosed;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeRecordset_MoveNext(void* self)
{
    TRecordset* rows = As<TRecordset>(self);
    if (rows->State != StateOpen) return ErrObjectClosed;
    if (rows->AtEnd()) return ErrNoCurrentRecord;
    ++rows->Position;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeRecordset_MoveFirst(void* self)
{
    TRecordset* rows = As<TRecordset>(self);
    if (rows->State != StateOpen) return ErrObjectClosed;
    if (rows->Result.Rows.empty()) return ErrNoCurrentRecord;
    rows->Position = 0;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeRecordset_Open(void* self, VARIANT source, VARIANT connection, long, long, LONG options)
{
    TRecordset* rows = As<TRecordset>(self);
    if (source.vt != VT_BSTR || connection.vt != VT_DISPATCH || connection.pdispVal == nullptr ||
        As<TFake>(connection.pdispVal)->Vtbl != VelmoraFakeAdoConnectionVtbl) {
        return E_INVALIDARG;
    }
    auto* owner = As<TConnection>(connection.pdispVal);
    if (owner->State != StateOpen) return ErrObjectClosed;
    Hold(owner);
    Drop(rows->Connection);
    rows->Connection = owner;
    rows->Result = Provider->Answer(StatementOn(owner, std::wstring(source.bstrVal, SysStringLen(source.bstrVal))), options, true);
    rows->Position = 0;
    if ((options & AsyncExecute) != 0 && rows->Result.RefuseAsync != S_OK) return rows->Result.RefuseAsync;
    if ((options & AsyncExecute) != 0) {
        rows->BusyLeft = rows->Result.BusyPolls;
        rows->FetchLeft = true;
        rows->State = StateExecuting;
        return S_OK;
    }
    Settle(rows);
    return FirstFailure(rows->Result.Errors);
}
HRESULT STDMETHODCALLTYPE FakeRecordset_get_State(void* self, LONG* state)
{
    TRecordset* rows = As<TRecordset>(self);
    if (rows->BusyLeft > 0) {
        --rows->BusyLeft;
    } else if (rows->FetchLeft) {
        rows->FetchLeft = false;
        rows->State = StateOpen | StateFetching;
    } else if (rows->State == (StateOpen | StateFetching)) {
        Settle(rows);
    }
    *state = rows->State;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeRecordset_put_CursorLocation(void*, long) { return S_OK; }

// ---- Fields and Field

HRESULT STDMETHODCALLTYPE FakeFields_get_Count(void* self, long* count)
{
    *count = static_cast<long>(As<TFields>(self)->Recordset->Result.Columns.size());
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeFields_get_Item(void* self, VARIANT index, void** field)
{
    *field = nullptr;
    TRecordset* rows = As<TFields>(self)->Recordset;
    const auto& columns = rows->Result.Columns;
    std::size_t column = columns.size();
    if (index.vt == VT_BSTR) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (_wcsicmp(columns[i].c_str(), index.bstrVal) == 0) column = i;
        }
    } else if (index.vt == VT_I4 && index.lVal >= 0) {
        column = static_cast<std::size_t>(index.lVal);
    }
    if (column >= columns.size()) return ErrItemNotFound;
    auto* item = Make<TField>(VelmoraFakeAdoFieldVtbl);
    item->Recordset = rows;
    Hold(rows);
    item->Column = column;
    *field = item;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeField_get_Name(void* self, BSTR* name)
{
    TField* field = As<TField>(self);
    *name = Bstr(field->Recordset->Result.Columns[field->Column]);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeField_get_Value(void* self, VARIANT* value)
{
    TField* field = As<TField>(self);
    TRecordset* rows = field->Recordset;
    if (rows->State != StateOpen) return ErrObjectClosed;
    if (rows->AtEnd()) return ErrNoCurrentRecord;
    VariantInit(value);
    return VariantCopy(value, const_cast<VARIANT*>(&rows->Result.Rows[rows->Position][field->Column].Get()));
}

// ---- Errors and Error

HRESULT STDMETHODCALLTYPE FakeErrors_get_Count(void* self, long* count)
{
    *count = static_cast<long>(As<TErrors>(self)->Connection->Errors.size());
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeErrors_get_Item(void* self, VARIANT index, void** error)
{
    *error = nullptr;
    const TErrorList& errors = As<TErrors>(self)->Connection->Errors;
    if (index.vt != VT_I4 || index.lVal < 0 || static_cast<std::size_t>(index.lVal) >= errors.size()) {
        return ErrItemNotFound;
    }
    auto* item = Make<TError>(VelmoraFakeAdoErrorVtbl);
    item->Number = errors[static_cast<std::size_t>(index.lVal)].first;
    item->Description = errors[static_cast<std::size_t>(index.lVal)].second;
    const std::vector<long>& natives = As<TErrors>(self)->Connection->Natives;
    if (static_cast<std::size_t>(index.lVal) < natives.size()) item->Native = natives[static_cast<std::size_t>(index.lVal)];
    *error = item;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeErrors_Clear(void* self)
{
    As<TErrors>(self)->Connection->Post(TPosted{});
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeError_get_Number(void* self, long* number)
{
    *number = As<TError>(self)->Number;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeError_get_Source(void*, BSTR* source)
{
    *source = Bstr(L"Microsoft OLE DB Provider for SQL Server");
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeError_get_NativeError(void* self, long* number)
{
    *number = As<TError>(self)->Native;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE FakeError_get_Description(void* self, BSTR* description)
{
    *description = Bstr(As<TError>(self)->Description);
    return S_OK;
}

}  // extern "C"
