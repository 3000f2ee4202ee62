# cmake -DNM=<nm> -DLIBRARY=<tollbury_json archive> -P check_json_imports.cmake
# Fails when an object of the JSON layer calls for the heap or for exception
# handling: its lookups and writers work in the caller's fixed buffers alone.
# Forbidden, by their linker names (a dllimport's __imp_ prefix taken off):
# the C heap and the functions that return a heap block; the platform's heaps;
# operator new and delete in every form (Itanium _Znw/_Zna/_Zdl/_Zda, MSVC
# ??2@ ??_U@ ??3@ ??_V@); throwing and catching; and the standard library's
# __throw_* helpers, behind every container. The unwinder and its personality
# routines are no such call: Clang's MinGW target names the personality for a
# function whose callee is not known not to throw, with nothing to catch.
execute_process(COMMAND ${NM} -A -u ${LIBRARY} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${NM} -g --defined-only ${LIBRARY} OUTPUT_VARIABLE defined COMMAND_ERROR_IS_FATAL ANY)
if(NOT defined MATCHES "JsonFind")
  message(FATAL_ERROR "no JSON object read from ${LIBRARY}")
endif()
set(heap "malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc|pvalloc|_?strdup|strndup|_?wcsdup|_aligned_[a-z_]*malloc|_aligned_realloc|_aligned_free|_recalloc|_expand|_malloca|_freea|__mingw_aligned_[a-z_]+|Heap(Alloc|ReAlloc|Free)|(Local|Global|Virtual)Alloc|CoTaskMemAlloc")
set(new_delete "_Zn[wa].*|_Zd[la].*|\\?\\?(2|_U|3|_V)@.*")
set(exceptions "__cxa_(allocate_exception|free_exception|throw|rethrow|begin_catch|end_catch|call_unexpected|call_terminate)|_ZSt[0-9]+__throw_.*|_CxxThrowException|__CxxFrameHandler[0-9]*")
string(REPLACE "\n" ";" lines "${undefined}")
set(found "")
foreach(line ${lines})
  if(line MATCHES "^(.*): +U ([^ ]+)$")
    set(object "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "^__imp_" "" symbol "${CMAKE_MATCH_2}")
    if(symbol MATCHES "^(${heap}|${new_delete}|${exceptions})$")
      string(APPEND found "\n  ${object}: ${symbol}")
    endif()
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "the JSON layer calls for the heap or for exceptions:${found}")
endif()
message(STATUS "the JSON layer's objects import no heap or exception function")
