# Checks the release archive: exactly the expected members, each DLL built for its
# own architecture and passing CheckExports.cmake (DoIt alone, system imports only),
# the guide stating the contract, and the runtime's licence texts present.
# Usage: cmake -DARCHIVE=<zip> -DWORK=<folder> -DOBJDUMP_X86=<objdump> -DOBJDUMP_X64=<objdump>
#              -DCHECK_EXPORTS=<CheckExports.cmake> -P CheckArchive.cmake
if(NOT EXISTS "${ARCHIVE}")
  message(FATAL_ERROR "no release archive ${ARCHIVE}")
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ARCHIVE} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not unpack ${ARCHIVE}")
endif()

file(GLOB_RECURSE members RELATIVE ${WORK} ${WORK}/*)
list(SORT members)
set(expected
  INTEGRATION.md
  licences/GPL-3.txt
  licences/NOTICES.txt
  licences/gcc-runtime-libgcc-libstdc++.txt
  licences/mingw-w64-runtime-and-winpthreads.txt
  x64/Velmora.dll
  x86/Velmora.dll)
if(NOT members STREQUAL expected)
  message(FATAL_ERROR "the archive holds [${members}], expected [${expected}]")
endif()

foreach(arch x86 x64)
  if(arch STREQUAL x86)
    set(objdump ${OBJDUMP_X86})
    set(format pei-i386)
  else()
    set(objdump ${OBJDUMP_X64})
    set(format pei-x86-64)
  endif()
  set(dll ${WORK}/${arch}/Velmora.dll)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C LANGUAGE= ${objdump} -f ${dll}
                  OUTPUT_VARIABLE header RESULT_VARIABLE failed)
  if(failed OR NOT header MATCHES "file format ${format}")
    message(FATAL_ERROR "${arch}/Velmora.dll is not a ${format} DLL:\n${header}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${objdump} -DDLL=${dll} -P ${CHECK_EXPORTS}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${arch}/Velmora.dll fails the export and import check")
  endif()
endforeach()

file(READ ${WORK}/INTEGRATION.md guide)
foreach(promise "__stdcall" "DoIt" "SysFreeString" "CP_ACP" "TempLateTemp\\"
                "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=UFDATA;Data Source=(local)"
                "MSSQLServer" "service account")
  string(FIND "${guide}" "${promise}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the integration guide does not mention ${promise}")
  endif()
endforeach()
file(READ ${WORK}/licences/gcc-runtime-libgcc-libstdc++.txt gcc)
string(FIND "${gcc}" "GCC RUNTIME LIBRARY EXCEPTION" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the GCC notice lacks the runtime library exception")
endif()
message(STATUS "${ARCHIVE}: ${members}")
