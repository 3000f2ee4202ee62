# The JSON layer's sources, for its library and for the fuzz build, which
# compiles them again with its own instrumentation.
set(TOLLBURY_JSON_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/json_find.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_walk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_scan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_scan_avx2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_scan_avx512.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_container_avx512.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_cpu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_decode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_print.cpp)
set(TOLLBURY_JSON_DIR ${CMAKE_CURRENT_LIST_DIR})

# tollbury_json_source_flags(TARGET)
# On x86 only the AVX2 and AVX-512 kernels' files are compiled for their
# instruction sets (the AVX-512 container check also for VBMI, VBMI2,
# BMI1/2, POPCNT and PCLMULQDQ, all in the kernel's cpuid gate); each runs
# only after cpuid said it may. json_cpu.cpp needs the xgetbv intrinsic, nothing more.
function(tollbury_json_source_flags target)
  if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|x64|i.86)$")
    return()
  endif()
  if(MSVC)
    set_source_files_properties(${TOLLBURY_JSON_DIR}/json_scan_avx2.cpp TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS /arch:AVX2)
    set_source_files_properties(${TOLLBURY_JSON_DIR}/json_scan_avx512.cpp
      ${TOLLBURY_JSON_DIR}/json_container_avx512.cpp TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS /arch:AVX512)
  else()
    set_source_files_properties(${TOLLBURY_JSON_DIR}/json_scan_avx2.cpp TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS -mavx2)
    set_source_files_properties(${TOLLBURY_JSON_DIR}/json_scan_avx512.cpp TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512bw")
    set_source_files_properties(${TOLLBURY_JSON_DIR}/json_container_avx512.cpp TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512bw;-mavx512vbmi;-mavx512vbmi2;-mbmi;-mbmi2;-mpopcnt;-mpclmul")
    set_source_files_properties(${TOLLBURY_JSON_DIR}/json_cpu.cpp TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS -mxsave)
  endif()
endfunction()
