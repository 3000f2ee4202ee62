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
#                   [MACHINE] [FIXTURES f...] [ENV VAR=value...] [TIMEOUT s])
# A target given as the command runs under Wine in a Windows build.
function(tollbury_add_test)
  cmake_parse_arguments(T "MACHINE" "NAME;TIMEOUT" "COMMAND;FIXTURES;ENV" ${ARGN})
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  set(fixtures ${T_FIXTURES})
  set(env ${T_ENV})
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
  else()
    find_package(GTest REQUIRED)
  endif()
endfunction()
