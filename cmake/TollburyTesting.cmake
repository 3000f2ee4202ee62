# Test plumbing shared by every test folder.
#
# Windows builds run their tests under Wine: one prefix per build tree, made
# once, and a persistent wineserver for the whole run (fixture "wine").
# Tests that touch machine-wide state (HKLM, C:\ProgramData, named objects)
# take the resource lock "machine" so that they never overlap.

set(TOLLBURY_SCRIPTS ${CMAKE_SOURCE_DIR}/scripts)

if(WIN32)
  set(TOLLBURY_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(TOLLBURY_WINE_ENV
    WINEPREFIX=${TOLLBURY_WINEPREFIX}
    WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree=\;mshtml=)
  # Wine's default proxy reads http_proxy even for https and ignores no_proxy.
  set(TOLLBURY_UNSET_PROXY
    http_proxy=unset: https_proxy=unset: HTTP_PROXY=unset: HTTPS_PROXY=unset:
    all_proxy=unset: ALL_PROXY=unset: no_proxy=unset: NO_PROXY=unset:)
  if(BUILD_TESTING)
    add_test(NAME wine.start COMMAND ${TOLLBURY_SCRIPTS}/wine-prefix.sh start ${TOLLBURY_WINEPREFIX})
    add_test(NAME wine.stop COMMAND ${TOLLBURY_SCRIPTS}/wine-prefix.sh stop ${TOLLBURY_WINEPREFIX})
    set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
    set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
  endif()
endif()

# tollbury_add_test(NAME <name> COMMAND <target or program> [args...]
#                   [MACHINE] [WINE_TRACE] [FIXTURES f...] [ENV VAR=value...] [TIMEOUT s])
# A target given as the command runs under Wine in a Windows build.
# WINE_TRACE: Wine writes a process's debug channels to the Unix stderr it
# inherited, never to a handle it was given; the test program's stderr goes to
# a file, which TOLLBURY_WINE_TRACE names, so that it can read what the
# programs it starts with a WINEDEBUG of their own traced.
function(tollbury_add_test)
  cmake_parse_arguments(T "MACHINE;WINE_TRACE" "NAME;TIMEOUT" "COMMAND;FIXTURES;ENV" ${ARGN})
  set(env ${T_ENV})
  if(T_WINE_TRACE)
    set(trace ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}.wine-trace)
    list(POP_FRONT T_COMMAND program)
    set(T_COMMAND sh -c "exec \"$0\" \"$@\" 2>\"${trace}\"" ${CMAKE_CROSSCOMPILING_EMULATOR}
        $<TARGET_FILE:${program}> ${T_COMMAND})
    list(APPEND env TOLLBURY_WINE_TRACE=Z:${trace})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  set(fixtures ${T_FIXTURES})
  if(WIN32)
    list(APPEND fixtures wine)
    list(APPEND env ${TOLLBURY_WINE_ENV})
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT_MODIFICATION "${TOLLBURY_UNSET_PROXY}")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(fixtures)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED "${fixtures}")
  endif()
  if(env)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
  endif()
  if(T_MACHINE)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK machine)
  endif()
endfunction()

# GoogleTest: Debian's system library natively, its sources cross-compiled
# for Windows.
function(tollbury_use_gtest)
  if(TARGET GTest::gtest_main)
    return()
  endif()
  if(WIN32)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Not our code: its warnings are not ours to fail the build on.
    set_target_properties(gtest gtest_main PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
  else()
    find_package(GTest REQUIRED)
  endif()
endfunction()
