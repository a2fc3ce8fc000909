cmake_policy(SET CMP0057 NEW)
# The launcher must run on a plain Windows 10/11 x64: a 64-bit GUI program
# that imports system DLLs only.
execute_process(COMMAND ${OBJDUMP} -p ${EXECUTABLE} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump could not read ${EXECUTABLE}")
endif()

if(NOT headers MATCHES "file format pei-x86-64")
  message(FATAL_ERROR "not a 64-bit Windows image")
endif()
if(NOT headers MATCHES "Subsystem[ \t]+00000002")
  message(FATAL_ERROR "not a GUI-subsystem program")
endif()

set(system_dlls
  kernel32 user32 advapi32 shell32 shlwapi ole32 oleaut32 version msvcrt
  ntdll userenv bcrypt ws2_32 rpcrt4 secur32 crypt32 psapi)
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
if(NOT imports)
  message(FATAL_ERROR "no import table found")
endif()
foreach(entry IN LISTS imports)
  string(REGEX REPLACE "DLL Name: (.+)\\.[dD][lL][lL]" "\\1" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-")
    message(FATAL_ERROR "imports a DLL that is not part of Windows: ${entry}")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
