#pragma once
// The conversions at the edge of the ADO adapter, open to tests.

#include <string>

#include "platform/Database.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

namespace Ado {
struct IAdoConnection;
}

// A field's VARIANT as the port's value: integers stay exact, money and floating
// values become Float, text is converted to UTF-8, Null and Empty read as Null.
TFieldValue FieldValueFromVariant(const VARIANT& value);

// The words of a failed provider call, looked for in this order: the connection's
// Errors collection, the thread's error object, the system's text for the HRESULT.
// Reading them clears both, so that a later failure never repeats an old message.
std::string ProviderErrorText(HRESULT result, Ado::IAdoConnection* connection);

}  // namespace Velmora
