# cmake -DOBJDUMP=<objdump> -DEXE=<exe> -DDELAY_LOADED="a;b" -P check_load_time_imports.cmake
# Fails when the exe's load-time import table names a DLL that is meant to be
# bound on first use: one call missing from its delay-load list is enough to
# load the DLL, and all it depends on, on every start.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
string(TOLOWER "${names};" names)
message(STATUS "load-time imports: ${names}")
if(NOT names MATCHES "kernel32")
  message(FATAL_ERROR "no import table read from ${EXE}")
endif()
foreach(dll ${DELAY_LOADED})
  string(FIND "${names}" "dll name: ${dll}.dll;" at)
  if(at GREATER -1)
    message(FATAL_ERROR "bound at load time, though delay-loaded: ${dll}.dll")
  endif()
endforeach()
