# Checks a built Velmora.dll: the export table holds DoIt alone, by its plain name;
# the DLL imports system DLLs only (the runtimes are linked in), and nothing that
# Windows XP / Server 2003 lack, whose loader would refuse the whole DLL; its PE
# header asks for no later system either.
# Usage: cmake -DOBJDUMP=<objdump> -DDLL=<Velmora.dll> -P CheckExports.cmake
# objdump words its output in the locale's language; the patterns below are English.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C LANGUAGE= ${OBJDUMP} -p ${DLL}
                OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump could not read ${DLL}")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(names "")
foreach(entry ${entries})
  string(REGEX REPLACE "\\[ *[0-9]+\\] " "" name "${entry}")
  list(APPEND names "${name}")
endforeach()
if(NOT names STREQUAL "DoIt")
  message(FATAL_ERROR "exports are [${names}], expected exactly [DoIt]")
endif()

set(system_dlls kernel32.dll user32.dll gdi32.dll comctl32.dll advapi32.dll ole32.dll oleaut32.dll msvcrt.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports MATCHES "KERNEL32.dll|kernel32.dll")
  message(FATAL_ERROR "no import of kernel32.dll found: the import table could not be read")
endif()
foreach(import ${imports})
  string(REGEX REPLACE "DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll)
  list(FIND system_dlls "${dll}" known)
  if(known EQUAL -1)
    message(FATAL_ERROR "Velmora.dll imports ${dll}, which a Windows system does not provide")
  endif()
endforeach()

# Functions of the system DLLs that came with Vista or later (a few with Server 2003
# or XP SP3), as far as a C++ runtime or this kind of program may pull them in.
set(after_xp
  # kernel32: time, synchronisation, threads
  GetTickCount64 GetSystemTimePreciseAsFileTime QueryUnbiasedInterruptTime
  InitializeSRWLock AcquireSRWLockExclusive AcquireSRWLockShared ReleaseSRWLockExclusive
  ReleaseSRWLockShared TryAcquireSRWLockExclusive TryAcquireSRWLockShared
  InitializeConditionVariable SleepConditionVariableCS SleepConditionVariableSRW
  WakeConditionVariable WakeAllConditionVariable
  InitOnceInitialize InitOnceExecuteOnce InitOnceBeginInitialize InitOnceComplete
  InitializeCriticalSectionEx CreateEventExA CreateEventExW CreateMutexExA CreateMutexExW
  CreateSemaphoreExA CreateSemaphoreExW CreateWaitableTimerExW
  FlsAlloc FlsFree FlsGetValue FlsSetValue GetThreadId GetProcessIdOfThread
  GetCurrentProcessorNumber GetCurrentProcessorNumberEx GetLogicalProcessorInformation
  GetLogicalProcessorInformationEx SetThreadStackGuarantee RaiseFailFastException
  CreateThreadpoolWork SubmitThreadpoolWork CloseThreadpoolWork WaitForThreadpoolWorkCallbacks
  CreateThreadpoolTimer SetThreadpoolTimer CloseThreadpoolTimer CreateThreadpoolWait
  SetThreadpoolWait CloseThreadpoolWait TrySubmitThreadpoolCallback
  # kernel32: files and I/O
  GetFileInformationByHandleEx SetFileInformationByHandle GetFinalPathNameByHandleA
  GetFinalPathNameByHandleW CreateSymbolicLinkA CreateSymbolicLinkW CancelIoEx
  CancelSynchronousIo GetQueuedCompletionStatusEx SetFileCompletionNotificationModes
  CreateFile2 CopyFile2 GetOverlappedResultEx GetVolumeInformationByHandleW
  QueryFullProcessImageNameA QueryFullProcessImageNameW GetErrorMode
  # kernel32: locales by name
  CompareStringEx CompareStringOrdinal LCMapStringEx GetLocaleInfoEx GetUserDefaultLocaleName
  GetSystemDefaultLocaleName LocaleNameToLCID LCIDToLocaleName ResolveLocaleName
  EnumSystemLocalesEx GetDateFormatEx GetTimeFormatEx GetNumberFormatEx GetCurrencyFormatEx
  IsValidLocaleName GetThreadPreferredUILanguages SetThreadPreferredUILanguages
  GetUserPreferredUILanguages FindNLSStringEx GetStringScripts
  # user32, comctl32, gdi32
  SetProcessDPIAware IsProcessDPIAware ChangeWindowMessageFilter ChangeWindowMessageFilterEx
  AddClipboardFormatListener RemoveClipboardFormatListener LogicalToPhysicalPoint
  PhysicalToLogicalPoint RegisterPowerSettingNotification UnregisterPowerSettingNotification
  ShutdownBlockReasonCreate ShutdownBlockReasonDestroy GetDpiForWindow GetDpiForSystem
  SetProcessDpiAwarenessContext SetThreadDpiAwarenessContext AdjustWindowRectExForDpi
  GetSystemMetricsForDpi CalculatePopupWindowPosition
  TaskDialog TaskDialogIndirect LoadIconMetric LoadIconWithScaleDown
  # advapi32, ole32
  RegGetValueA RegGetValueW RegDeleteTreeA RegDeleteTreeW RegSetKeyValueA RegSetKeyValueW
  RegCopyTreeA RegCopyTreeW RegLoadMUIStringA RegLoadMUIStringW ControlServiceExA
  ControlServiceExW NotifyServiceStatusChangeA NotifyServiceStatusChangeW
  EventRegister EventUnregister EventWrite EventEnabled CoGetApartmentType
  # msvcrt.dll of XP has none of the "secure" functions and no 64-bit seeks
  _fseeki64 _ftelli64 fopen_s _wfopen_s strcpy_s strncpy_s strcat_s wcscpy_s wcsncpy_s
  wcscat_s memcpy_s memmove_s sprintf_s vsprintf_s _snprintf_s _vsnprintf_s swprintf_s
  _snwprintf_s _vsnwprintf_s strerror_s _strerror_s _wcserror_s mbstowcs_s wcstombs_s
  _itoa_s _ultoa_s _localtime64_s _gmtime64_s qsort_s _get_errno _set_errno
  _create_locale _free_locale _configthreadlocale _aligned_msize)

string(REGEX MATCHALL "\n\t[0-9a-fA-F]+\t +[0-9]+  [A-Za-z_][A-Za-z0-9_@]*" import_lines "${dump}")
set(functions "")
foreach(line ${import_lines})
  string(REGEX REPLACE ".*  " "" function "${line}")
  list(APPEND functions "${function}")
endforeach()
list(LENGTH functions function_count)
if(function_count LESS 20)
  message(FATAL_ERROR "read only ${function_count} imported functions from objdump; its listing has changed")
endif()
set(too_new "")
foreach(function ${functions})
  list(FIND after_xp "${function}" found)
  if(NOT found EQUAL -1)
    list(APPEND too_new "${function}")
  endif()
endforeach()
if(too_new)
  message(FATAL_ERROR "Velmora.dll imports ${too_new}, which Windows XP / Server 2003 lack: "
                      "the DLL would not load there")
endif()

# The header's wish for the system: no later than XP (5.1) or, for x64, 5.2.
foreach(field OSystem Subsystem)
  string(REGEX MATCH "Major${field}Version\t+([0-9]+)" ignored "${dump}")
  set(major ${CMAKE_MATCH_1})
  string(REGEX MATCH "Minor${field}Version\t+([0-9]+)" ignored "${dump}")
  set(minor ${CMAKE_MATCH_1})
  if("${major}" STREQUAL "" OR "${minor}" STREQUAL "")
    message(FATAL_ERROR "no ${field} version in the PE header listing")
  endif()
  if(major GREATER 5 OR (major EQUAL 5 AND minor GREATER 2))
    message(FATAL_ERROR "the PE header asks for ${field} version ${major}.${minor}; XP wants at most 5.2")
  endif()
endforeach()

message(STATUS "exports: ${names}; imports: ${imports}; ${function_count} functions, none later than XP")
