# tollbury_delay_load(TARGET dll...)
# Binds the named system DLLs on first use instead of at start: only a
# single-user session's key check needs WinHTTP and the credentials UI, and
# loading them (with their COM dependencies) is a large share of a plain
# start. MSVC does it with /DELAYLOAD; MinGW links delay-import libraries
# made from cmake/delayload/<dll>.def, which must come before the ordinary
# import libraries on the link line. dlltool names the library's symbols after
# its output path, so it runs in the output folder with a bare file name:
# the exe then does not depend on where the tree was built.
function(tollbury_delay_load target)
  set_property(TARGET ${target} APPEND PROPERTY TOLLBURY_DELAY_LOADED ${ARGN})
  foreach(dll ${ARGN})
    if(MSVC)
      target_link_options(${target} PRIVATE /DELAYLOAD:${dll}.dll)
    else()
      set(def ${CMAKE_SOURCE_DIR}/cmake/delayload/${dll}.def)
      set(lib ${CMAKE_BINARY_DIR}/delayload/lib${dll}_delay.a)
      file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delayload)
      add_custom_command(OUTPUT ${lib}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delayload
        COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${dll}.dll --output-delaylib lib${dll}_delay.a
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/delayload
        DEPENDS ${def} VERBATIM)
      add_custom_target(${target}_${dll}_delay DEPENDS ${lib})
      add_dependencies(${target} ${target}_${dll}_delay)
      target_link_libraries(${target} PRIVATE ${lib})
    endif()
  endforeach()
  target_link_libraries(${target} PRIVATE delayimp)
endfunction()
