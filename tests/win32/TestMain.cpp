// The test programs run like a host's GUI thread: COM initialised as a single-threaded
// apartment, and no crash dialogs that would hang a headless run.

#include <gtest/gtest.h>

#include "platform/win32/Win32Api.h"

int main(int argc, char** argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    const HRESULT com = CoInitialize(nullptr);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (SUCCEEDED(com)) CoUninitialize();
    return result;
}
