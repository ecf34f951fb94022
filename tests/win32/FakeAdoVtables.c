/* The fake ADO objects' vtables, laid out by MinGW-w64's own C declarations of ADO
   (adoint_backcompat.h), not by the adapter's: each method lands in the slot the
   system header gives it, with the system header's parameter types. The methods
   themselves are in FakeAdo.cpp. Also the system side of the slot check. */
#define CINTERFACE
#include <windows.h>
#include <ole2.h>
#include <stddef.h>

/* The header names these interfaces in its C declarations without defining the names. */
typedef struct ADOProperties ADOProperties;
typedef struct ADOProperty ADOProperty;
typedef struct ADOError ADOError;
typedef struct ADOErrors ADOErrors;
typedef struct _ADOCommand _ADOCommand;
typedef struct _ADOConnection _ADOConnection;
typedef struct _ADORecordset _ADORecordset;
typedef struct ADOFields ADOFields;
typedef struct ADOField ADOField;
typedef struct _ADOParameter _ADOParameter;
typedef struct ADOParameters ADOParameters;
typedef struct _ADORecord _ADORecord;
typedef struct _ADOStream _ADOStream;
#include <adoint_backcompat.h>

#include "FakeAdoVtables.h"

#define VELMORA_ADO_SLOT(vtbl, member, iface, method) {#iface, #method, offsetof(vtbl, member) / sizeof(void*)},
const TVelmoraAdoSystemSlot VelmoraAdoSystemSlots[] = {
#include "AdoSlots.inc"
};
#undef VELMORA_ADO_SLOT
const unsigned VelmoraAdoSystemSlotCount = sizeof VelmoraAdoSystemSlots / sizeof VelmoraAdoSystemSlots[0];
const unsigned VelmoraAdoLongPtrSize = sizeof(ADO_LONGPTR);

/* IUnknown and IDispatch are the same for every object. */
HRESULT STDMETHODCALLTYPE FakeAdo_QueryInterface(void* self, REFIID iid, void** object);
ULONG STDMETHODCALLTYPE FakeAdo_AddRef(void* self);
ULONG STDMETHODCALLTYPE FakeAdo_Release(void* self);
HRESULT STDMETHODCALLTYPE FakeAdo_GetTypeInfoCount(void* self, UINT* count);
HRESULT STDMETHODCALLTYPE FakeAdo_GetTypeInfo(void* self, UINT index, LCID locale, ITypeInfo** info);
HRESULT STDMETHODCALLTYPE FakeAdo_GetIDsOfNames(void* self, REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                                DISPID* ids);
HRESULT STDMETHODCALLTYPE FakeAdo_Invoke(void* self, DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                         VARIANT* result, EXCEPINFO* exception, UINT* badArgument);

#define FAKE_ADO_DISPATCH(vtbl)                                                        \
    .QueryInterface = (__typeof__(((vtbl*)0)->QueryInterface))FakeAdo_QueryInterface,     \
    .AddRef = (__typeof__(((vtbl*)0)->AddRef))FakeAdo_AddRef,                             \
    .Release = (__typeof__(((vtbl*)0)->Release))FakeAdo_Release,                          \
    .GetTypeInfoCount = (__typeof__(((vtbl*)0)->GetTypeInfoCount))FakeAdo_GetTypeInfoCount, \
    .GetTypeInfo = (__typeof__(((vtbl*)0)->GetTypeInfo))FakeAdo_GetTypeInfo,              \
    .GetIDsOfNames = (__typeof__(((vtbl*)0)->GetIDsOfNames))FakeAdo_GetIDsOfNames,        \
    .Invoke = (__typeof__(((vtbl*)0)->Invoke))FakeAdo_Invoke

/* The methods a run calls, with the system header's exact types (a mismatch does not compile). */
HRESULT STDMETHODCALLTYPE FakeConnection_get_Properties(_ADOConnection* This, ADOProperties** properties);
HRESULT STDMETHODCALLTYPE FakeConnection_put_ConnectionString(_ADOConnection* This, BSTR text);
HRESULT STDMETHODCALLTYPE FakeConnection_put_CommandTimeout(_ADOConnection* This, LONG seconds);
HRESULT STDMETHODCALLTYPE FakeConnection_Close(_ADOConnection* This);
HRESULT STDMETHODCALLTYPE FakeConnection_Open(_ADOConnection* This, BSTR text, BSTR user, BSTR password, long options);
HRESULT STDMETHODCALLTYPE FakeConnection_get_Errors(_ADOConnection* This, ADOErrors** errors);
HRESULT STDMETHODCALLTYPE FakeConnection_get_State(_ADOConnection* This, LONG* state);

HRESULT STDMETHODCALLTYPE FakeCommand_putref_ActiveADOConnection(Command25* This, _ADOConnection* connection);
HRESULT STDMETHODCALLTYPE FakeCommand_put_CommandText(Command25* This, BSTR text);
HRESULT STDMETHODCALLTYPE FakeCommand_put_CommandTimeout(Command25* This, LONG seconds);
HRESULT STDMETHODCALLTYPE FakeCommand_Execute(Command25* This, VARIANT* affected, VARIANT* parameters, long options,
                                              _ADORecordset** rows);
HRESULT STDMETHODCALLTYPE FakeCommand_get_State(Command25* This, LONG* state);
HRESULT STDMETHODCALLTYPE FakeCommand_Cancel(Command25* This);

HRESULT STDMETHODCALLTYPE FakeRecordset_get_BOF(_ADORecordset* This, VARIANT_BOOL* bof);
HRESULT STDMETHODCALLTYPE FakeRecordset_get_EOF(_ADORecordset* This, VARIANT_BOOL* eof);
HRESULT STDMETHODCALLTYPE FakeRecordset_get_Fields(_ADORecordset* This, ADOFields** fields);
HRESULT STDMETHODCALLTYPE FakeRecordset_get_RecordCount(_ADORecordset* This, ADO_LONGPTR* count);
HRESULT STDMETHODCALLTYPE FakeRecordset_Close(_ADORecordset* This);
HRESULT STDMETHODCALLTYPE FakeRecordset_MoveNext(_ADORecordset* This);
HRESULT STDMETHODCALLTYPE FakeRecordset_MoveFirst(_ADORecordset* This);
HRESULT STDMETHODCALLTYPE FakeRecordset_Open(_ADORecordset* This, VARIANT source, VARIANT connection,
                                             CursorTypeEnum cursor, LockTypeEnum lock, LONG options);
HRESULT STDMETHODCALLTYPE FakeRecordset_get_State(_ADORecordset* This, LONG* state);
HRESULT STDMETHODCALLTYPE FakeRecordset_put_CursorLocation(_ADORecordset* This, CursorLocationEnum location);

HRESULT STDMETHODCALLTYPE FakeFields_get_Count(ADOFields* This, long* count);
HRESULT STDMETHODCALLTYPE FakeFields_get_Item(ADOFields* This, VARIANT index, ADOField** field);
HRESULT STDMETHODCALLTYPE FakeField_get_Name(ADOField* This, BSTR* name);
HRESULT STDMETHODCALLTYPE FakeField_get_Value(ADOField* This, VARIANT* value);

HRESULT STDMETHODCALLTYPE FakeErrors_get_Count(ADOErrors* This, long* count);
HRESULT STDMETHODCALLTYPE FakeErrors_get_Item(ADOErrors* This, VARIANT index, ADOError** error);
HRESULT STDMETHODCALLTYPE FakeErrors_Clear(ADOErrors* This);
HRESULT STDMETHODCALLTYPE FakeError_get_Number(ADOError* This, long* number);
HRESULT STDMETHODCALLTYPE FakeError_get_Source(ADOError* This, BSTR* source);
HRESULT STDMETHODCALLTYPE FakeError_get_Description(ADOError* This, BSTR* description);
HRESULT STDMETHODCALLTYPE FakeError_get_NativeError(ADOError* This, long* number);

/* Methods a run does not call stay empty: calling one crashes the test, which is the point. */
static const _ConnectionVtbl ConnectionVtbl = {
    FAKE_ADO_DISPATCH(_ConnectionVtbl),
    .get_Properties = FakeConnection_get_Properties,
    .put_ConnectionString = FakeConnection_put_ConnectionString,
    .put_CommandTimeout = FakeConnection_put_CommandTimeout,
    .Close = FakeConnection_Close,
    .Open = FakeConnection_Open,
    .get_Errors = FakeConnection_get_Errors,
    .get_State = FakeConnection_get_State,
};
static const Command25Vtbl CommandVtbl = {
    FAKE_ADO_DISPATCH(Command25Vtbl),
    .putref_ActiveADOConnection = FakeCommand_putref_ActiveADOConnection,
    .put_CommandText = FakeCommand_put_CommandText,
    .put_CommandTimeout = FakeCommand_put_CommandTimeout,
    .Execute = FakeCommand_Execute,
    .get_State = FakeCommand_get_State,
    .Cancel = FakeCommand_Cancel,
};
static const _RecordsetVtbl RecordsetVtbl = {
    FAKE_ADO_DISPATCH(_RecordsetVtbl),
    .get_BOF = FakeRecordset_get_BOF,
    .get_EOF = FakeRecordset_get_EOF,
    .get_Fields = FakeRecordset_get_Fields,
    .get_RecordCount = FakeRecordset_get_RecordCount,
    .Close = FakeRecordset_Close,
    .MoveNext = FakeRecordset_MoveNext,
    .MoveFirst = FakeRecordset_MoveFirst,
    .Open = FakeRecordset_Open,
    .get_State = FakeRecordset_get_State,
    .put_CursorLocation = FakeRecordset_put_CursorLocation,
};
static const FieldsVtbl FieldsTable = {
    FAKE_ADO_DISPATCH(FieldsVtbl),
    .get_Count = FakeFields_get_Count,
    .get_Item = FakeFields_get_Item,
};
static const FieldVtbl FieldTable = {
    FAKE_ADO_DISPATCH(FieldVtbl),
    .get_Name = FakeField_get_Name,
    .get_Value = FakeField_get_Value,
};
static const ErrorsVtbl ErrorsTable = {
    FAKE_ADO_DISPATCH(ErrorsVtbl),
    .get_Count = FakeErrors_get_Count,
    .get_Item = FakeErrors_get_Item,
    .Clear = FakeErrors_Clear,
};
static const ErrorVtbl ErrorTable = {
    FAKE_ADO_DISPATCH(ErrorVtbl),
    .get_Number = FakeError_get_Number,
    .get_Source = FakeError_get_Source,
    .get_Description = FakeError_get_Description,
    .get_NativeError = FakeError_get_NativeError,
};

const void* const VelmoraFakeAdoConnectionVtbl = &ConnectionVtbl;
const void* const VelmoraFakeAdoCommandVtbl = &CommandVtbl;
const void* const VelmoraFakeAdoRecordsetVtbl = &RecordsetVtbl;
const void* const VelmoraFakeAdoFieldsVtbl = &FieldsTable;
const void* const VelmoraFakeAdoFieldVtbl = &FieldTable;
const void* const VelmoraFakeAdoErrorsVtbl = &ErrorsTable;
const void* const VelmoraFakeAdoErrorVtbl = &ErrorTable;
