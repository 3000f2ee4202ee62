# Cross-compiles for 64-bit Windows with Debian's Clang, on the MinGW-w64
# headers, libraries and binutils that the GCC build uses: a second compiler
# over the same code. Clang 14 does not find Debian's MinGW-w64 libstdc++
# by itself (its folder is named "12-posix"), so the three C++ include
# folders and the library folder are named here. It links with GNU ld: with
# lld the program links but crashes at its first delay-loaded call. The
# standard libraries are only the C++ runtime's, not CMake's list of system
# DLLs, so a target that forgets a DLL it calls fails here.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_SYSROOT /usr/${TOOLCHAIN_PREFIX})

file(GLOB TOLLBURY_MINGW_GCC_DIR LIST_DIRECTORIES true /usr/lib/gcc/${TOOLCHAIN_PREFIX}/*-posix)
list(GET TOLLBURY_MINGW_GCC_DIR -1 TOLLBURY_MINGW_GCC_DIR)
set(libstdcxx ${TOLLBURY_MINGW_GCC_DIR}/include/c++)
string(JOIN " " CMAKE_CXX_FLAGS_INIT
  -stdlib++-isystem ${libstdcxx}
  -stdlib++-isystem ${libstdcxx}/${TOOLCHAIN_PREFIX}
  -stdlib++-isystem ${libstdcxx}/backward)
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=bfd -L${TOLLBURY_MINGW_GCC_DIR}")
endforeach()
set(CMAKE_CXX_STANDARD_LIBRARIES "-lstdc++ -lgcc_eh -lpthread")
