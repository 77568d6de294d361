# The Windows builds (see mingw.cmake): target libraries, GoogleTest from Debian's
# sources, and what does not exist there (benchmarks, fuzzing, the Linux player).
set(LARKSPUR_BENCH OFF CACHE BOOL "" FORCE)
set(LARKSPUR_FUZZ OFF CACHE BOOL "" FORCE)
if(LARKSPUR_SANITIZE)
  message(FATAL_ERROR "The Windows build has no sanitizers")
endif()

# The suites' Wine prefix is of the build's own width (read by scripts/wine-run).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  file(WRITE ${CMAKE_BINARY_DIR}/wine-prefix.arch win64)
else()
  file(WRITE ${CMAKE_BINARY_DIR}/wine-prefix.arch win32)
endif()

# Libraries Debian does not ship for the target, cross-built once into the build folder.
set(LARKSPUR_DEPS ${CMAKE_BINARY_DIR}/deps/prefix)
set(wanted libpng)
if(LARKSPUR_TESTS)
  # lame.exe, libvorbisenc for oggenc.exe, libopusenc for opusenc.exe, flac.exe
  list(APPEND wanted lame vorbis opus flac)
endif()
execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/win32-deps.sh ${CMAKE_BINARY_DIR} ${LARKSPUR_WINDOWS_TRIPLE}
                        ${wanted}
                RESULT_VARIABLE depsResult)
if(NOT depsResult EQUAL 0)
  message(FATAL_ERROR "Cross-building the target libraries failed (see above)")
endif()
list(APPEND CMAKE_PREFIX_PATH ${LARKSPUR_DEPS})
# Static archives only: the images must not need the toolchain's DLLs.
set(ZLIB_LIBRARY /usr/${LARKSPUR_WINDOWS_TRIPLE}/lib/libz.a CACHE FILEPATH "")
set(PNG_LIBRARY ${LARKSPUR_DEPS}/lib/libpng16.a CACHE FILEPATH "")
set(PNG_PNG_INCLUDE_DIR ${LARKSPUR_DEPS}/include CACHE PATH "")

if(LARKSPUR_TESTS)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# Windows' own headers: no min/max macros, Vista and later.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
