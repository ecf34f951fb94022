#pragma once
// Fake ADO Connection, Command, Recordset, Fields/Field and Errors/Error objects, laid
// out by MinGW-w64's own ADO declarations (FakeAdoVtables.c) and registered for this
// process under ADO's class IDs, so that the real adapter creates them with its
// ordinary CoCreateInstance. Each statement is answered by the test's function.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/Win32Api.h"

namespace Velmora::WinTest {

// A VARIANT that copies and clears itself.
class TFakeValue {
public:
    TFakeValue() { VariantInit(&FValue); }
    explicit TFakeValue(const VARIANT& value);
    TFakeValue(const TFakeValue& other) : TFakeValue(other.FValue) {}
    TFakeValue& operator=(const TFakeValue& other);
    ~TFakeValue() { VariantClear(&FValue); }
    const VARIANT& Get() const { return FValue; }

private:
    VARIANT FValue;
};

struct TFakeAnswer {
    // Number and description of each Error object; a negative number is a failure.
    std::vector<std::pair<long, std::wstring>> Errors;
    // The server's message number of each Error object, in the same order (0 where not given).
    std::vector<long> NativeErrors;
    // Non-zero: the provider refuses to run the statement asynchronously, failing the
    // call that asks for it with this code.
    HRESULT RefuseAsync = S_OK;
    std::vector<std::wstring> Columns;
    std::vector<std::vector<TFakeValue>> Rows;
    // How many readings of its state an asynchronous statement stays executing.
    int BusyPolls = 0;
};

// A statement as the fake provider receives it, with the connection it runs on.
struct TFakeStatement {
    const void* Connection = nullptr;
    std::wstring ConnectionString;
    std::wstring Text;
};

struct TFakeCall {
    std::wstring Statement;
    long Options = 0;
    bool Query = false;
};

class TFakeAdoProvider {
public:
    using TAnswer = std::function<TFakeAnswer(const TFakeStatement& statement)>;
    using TClosed = std::function<void(const void* connection)>;
    explicit TFakeAdoProvider(TAnswer answer, TClosed closed = {});
    ~TFakeAdoProvider();
    TFakeAdoProvider(const TFakeAdoProvider&) = delete;
    TFakeAdoProvider& operator=(const TFakeAdoProvider&) = delete;

    // Whether every class object could be registered.
    bool Registered() const { return FRegistered; }
    std::vector<TFakeCall> Calls() const { return FCalls; }
    // Objects handed out and not yet released to a count of zero.
    long LiveObjects() const;
    // Error objects still held by the connections (cleared ones are gone).
    std::size_t ErrorsLeft() const;

    // For the fake objects.
    TFakeAnswer Answer(const TFakeStatement& statement, long options, bool query);
    void Closed(const void* connection);

private:
    TAnswer FAnswer;
    TClosed FClosed;
    std::vector<TFakeCall> FCalls;
    std::vector<DWORD> FCookies;
    bool FRegistered = false;
};

// VARIANTs as SQL Server's OLE DB provider returns each column type.
TFakeValue FakeI2(short value);
TFakeValue FakeI4(long value);
TFakeValue FakeI8(long long value);
TFakeValue FakeDecimal(unsigned long long magnitude, unsigned char scale, bool negative);
TFakeValue FakeMoney(long long tenThousandths);
TFakeValue FakeR8(double value);
TFakeValue FakeBool(bool value);
TFakeValue FakeText(const std::wstring& value);
TFakeValue FakeNull();

}  // namespace Velmora::WinTest
