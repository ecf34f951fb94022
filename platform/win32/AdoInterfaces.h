#pragma once
// The few ADO interfaces the data-access adapter calls, declared here rather than
// taken from the SDK's adoint.h, which does not compile as strict C++ with MinGW.
// Vtable order follows the ADO type library; only the methods up to the last one
// used are declared, except where a later interface derives from an earlier one.
// The interface IDs are the classic ones, which every ADO version (and Wine) answers.

#include "platform/win32/Win32Api.h"

namespace Velmora::Ado {

// {00000514-0000-0010-8000-00AA006D2EA4} and so on: all ADO IDs share this tail.
constexpr GUID AdoGuid(unsigned long head) { return GUID{head, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}}; }

constexpr GUID CLSID_Connection = AdoGuid(0x00000514);
constexpr GUID CLSID_Command = AdoGuid(0x00000507);
constexpr GUID CLSID_Recordset = AdoGuid(0x00000535);
constexpr GUID IID_Connection = AdoGuid(0x00000550);  // _Connection
constexpr GUID IID_Command15 = AdoGuid(0x00000508);
constexpr GUID IID_Command25 = AdoGuid(0x0000054E);
constexpr GUID IID_Recordset = AdoGuid(0x00000556);  // _Recordset

// Enumeration values used.
constexpr long adUseClient = 3;
constexpr long adOpenKeyset = 1;
constexpr long adLockOptimistic = 3;
constexpr long adCmdText = 1;
constexpr long adExecuteNoRecords = 0x80;
constexpr long adConnectUnspecified = -1;
constexpr long adAsyncExecute = 0x10;
constexpr long adAsyncFetch = 0x20;
constexpr long adStateOpen = 1;
constexpr long adStateExecuting = 4;
constexpr long adStateFetching = 8;
constexpr long adPromptNever = 4;
constexpr HRESULT adErrItemNotFound = static_cast<HRESULT>(0x800A0CC1);
constexpr HRESULT adErrNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);
constexpr HRESULT adErrObjectClosed = static_cast<HRESULT>(0x800A0E78);
constexpr HRESULT adErrFeatureNotAvailable = static_cast<HRESULT>(0x800A0CB3);

// Row positions, counts and sizes: ADO widens these to 64 bits in its x64 build and
// keeps every other parameter as it was.
#if defined(_WIN64)
using AdoLongPtr = LONGLONG;
#else
using AdoLongPtr = LONG;
#endif

// COM interfaces are released through IUnknown, never deleted: a virtual destructor
// would shift every vtable slot.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

struct IAdoProperties;
struct IAdoErrors;
struct IAdoFields;
struct IAdoRecordset;

struct IAdoBase : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Properties(IAdoProperties** properties) = 0;
};

struct IAdoCollection : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Count(long* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** enumerator) = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh() = 0;
};

struct IAdoProperty : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Value(VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Value(VARIANT value) = 0;
};

struct IAdoProperties : public IAdoCollection {
    virtual HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IAdoProperty** property) = 0;
};

struct IAdoError : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Number(long* number) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Source(BSTR* source) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* description) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HelpFile(BSTR* file) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HelpContext(long* context) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SQLState(BSTR* state) = 0;
    // The server's own message number (SQL Server's 3201, 3169, …).
    virtual HRESULT STDMETHODCALLTYPE get_NativeError(long* number) = 0;
};

struct IAdoErrors : public IAdoCollection {
    virtual HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IAdoError** error) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
};

struct IAdoConnection : public IAdoBase {
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionString(BSTR* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ConnectionString(BSTR text) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CommandTimeout(LONG* seconds) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CommandTimeout(LONG seconds) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionTimeout(LONG* seconds) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ConnectionTimeout(LONG seconds) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Version(BSTR* version) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE Execute(BSTR text, VARIANT* recordsAffected, long options,
                                              IAdoRecordset** recordset) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginTrans(long* level) = 0;
    virtual HRESULT STDMETHODCALLTYPE CommitTrans() = 0;
    virtual HRESULT STDMETHODCALLTYPE RollbackTrans() = 0;
    virtual HRESULT STDMETHODCALLTYPE Open(BSTR connectionString, BSTR userId, BSTR password, long options) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Errors(IAdoErrors** errors) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DefaultDatabase(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DefaultDatabase(BSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsolationLevel(long* level) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsolationLevel(long level) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Attributes(long* attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Attributes(long attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CursorLocation(long* location) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CursorLocation(long location) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Mode(long* mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Mode(long mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Provider(BSTR* provider) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Provider(BSTR provider) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_State(LONG* state) = 0;
};

struct IAdoCommand : public IAdoBase {
    virtual HRESULT STDMETHODCALLTYPE get_ActiveConnection(IAdoConnection** connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE putref_ActiveConnection(IAdoConnection* connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ActiveConnection(VARIANT connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CommandText(BSTR* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CommandText(BSTR text) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CommandTimeout(LONG* seconds) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CommandTimeout(LONG seconds) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Prepared(VARIANT_BOOL* prepared) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Prepared(VARIANT_BOOL prepared) = 0;
    virtual HRESULT STDMETHODCALLTYPE Execute(VARIANT* recordsAffected, VARIANT* parameters, long options,
                                              IAdoRecordset** recordset) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateParameter(BSTR name, long type, long direction, AdoLongPtr size,
                                                      VARIANT value, IDispatch** parameter) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Parameters(IDispatch** parameters) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CommandType(long type) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CommandType(long* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Name(BSTR name) = 0;
};

// The state of a running command: ADO 2.5 and later, asked for by its own ID.
struct IAdoCommand25 : public IAdoCommand {
    virtual HRESULT STDMETHODCALLTYPE get_State(LONG* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
};

struct IAdoField : public IAdoBase {
    virtual HRESULT STDMETHODCALLTYPE get_ActualSize(AdoLongPtr* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Attributes(long* attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DefinedSize(AdoLongPtr* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Type(long* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Value(VARIANT* value) = 0;
};

struct IAdoFields : public IAdoCollection {
    virtual HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IAdoField** field) = 0;
};

struct IAdoRecordset : public IAdoBase {
    virtual HRESULT STDMETHODCALLTYPE get_AbsolutePosition(AdoLongPtr* position) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AbsolutePosition(AdoLongPtr position) = 0;
    virtual HRESULT STDMETHODCALLTYPE putref_ActiveConnection(IDispatch* connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ActiveConnection(VARIANT connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ActiveConnection(VARIANT* connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BOF(VARIANT_BOOL* bof) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Bookmark(VARIANT* bookmark) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Bookmark(VARIANT bookmark) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CacheSize(long* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CacheSize(long size) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CursorType(long* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CursorType(long type) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_EOF(VARIANT_BOOL* eof) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Fields(IAdoFields** fields) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LockType(long* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_LockType(long type) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxRecords(AdoLongPtr* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MaxRecords(AdoLongPtr count) = 0;
    // Older 64-bit builds of ADO wrote only a long here: callers pass a zeroed count.
    virtual HRESULT STDMETHODCALLTYPE get_RecordCount(AdoLongPtr* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE putref_Source(IDispatch* command) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Source(BSTR source) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Source(VARIANT* source) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddNew(VARIANT fieldList, VARIANT values) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelUpdate() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE Delete(long affect) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRows(long rows, VARIANT start, VARIANT fields, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Move(AdoLongPtr count, VARIANT start) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveNext() = 0;
    virtual HRESULT STDMETHODCALLTYPE MovePrevious() = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveFirst() = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveLast() = 0;
    virtual HRESULT STDMETHODCALLTYPE Open(VARIANT source, VARIANT activeConnection, long cursorType, long lockType,
                                           LONG options) = 0;
    virtual HRESULT STDMETHODCALLTYPE Requery(LONG options) = 0;
    virtual HRESULT STDMETHODCALLTYPE _xResync(long affect) = 0;
    virtual HRESULT STDMETHODCALLTYPE Update(VARIANT fields, VARIANT values) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AbsolutePage(AdoLongPtr* page) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AbsolutePage(AdoLongPtr page) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_EditMode(long* mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Filter(VARIANT* criteria) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Filter(VARIANT criteria) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PageCount(AdoLongPtr* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PageSize(long* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_PageSize(long size) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Sort(BSTR* criteria) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Sort(BSTR criteria) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Status(long* status) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_State(LONG* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE _xClone(IAdoRecordset** clone) = 0;
    virtual HRESULT STDMETHODCALLTYPE UpdateBatch(long affect) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelBatch(long affect) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CursorLocation(long* location) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CursorLocation(long location) = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace Velmora::Ado
