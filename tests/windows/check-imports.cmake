# Fails unless the program imports only DLLs that every Windows has, so that
# it runs from a folder of its own with nothing installed beside it.
#   cmake -DOBJDUMP=... -DPROGRAM=... -P check-imports.cmake
# WS2_32 and MSWSOCK: the sockets layer the command line's event loop is built on;
# SETUPAPI: the device names `tavrin-cli doctor` and `ports` show.
set(allowed KERNEL32 USER32 GDI32 COMCTL32 COMDLG32 WINMM ADVAPI32 SHELL32 MSVCRT UCRTBASE WS2_32
    MSWSOCK SETUPAPI)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
if(NOT names)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
foreach(line ${names})
  string(REGEX REPLACE "DLL Name: ([^.]+)\\.dll.*" "\\1" dll "${line}")
  string(TOUPPER "${dll}" dll)
  string(REGEX MATCH "^API-MS-WIN-CRT-" crt "${dll}")
  if(NOT crt)
    list(FIND allowed ${dll} found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${PROGRAM} imports ${dll}.dll, which Windows does not bring")
    endif()
  endif()
  message(STATUS "imports ${dll}")
endforeach()
