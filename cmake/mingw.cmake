# Windows, cross-built with mingw-w64: the part both targets share. A thin toolchain file sets
# `triple` (i686-w64-mingw32 or x86_64-w64-mingw32) and includes this one.
# The -posix compilers: the -win32 ones have no std::thread in GCC 12.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR ${triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${triple}-ranlib CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${triple}-dlltool CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${triple}-objdump CACHE FILEPATH "")
set(LARKSPUR_WINDOWS_TRIPLE ${triple} CACHE INTERNAL "")

# libstdc++, libgcc and winpthread inside each image: nothing of the toolchain to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Target libraries: Debian's mingw-w64 packages, and what the build cross-builds into its own
# folder (libpng, libogg, libvorbis).
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${CMAKE_BINARY_DIR}/deps/prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine in the build's own prefix (see win32.cmake), with a bound on every
# run. Building needs no Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run --prefix ${CMAKE_BINARY_DIR}/wine-prefix)
