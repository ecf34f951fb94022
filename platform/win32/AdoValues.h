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
// Never raises: a damaged character becomes U+FFFD, and when nothing of the
// provider's can be read the system's text for the HRESULT stands in.
std::string ProviderErrorText(HRESULT result, Ado::IAdoConnection* connection) noexcept;
// The same, with the server's message number of the first failure among the
// connection's Errors (its NativeError; 0 when there is none) in number.
std::string ProviderErrorText(HRESULT result, Ado::IAdoConnection* connection, int& number) noexcept;

}  // namespace Velmora
