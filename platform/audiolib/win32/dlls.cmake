# On Windows the library is the family's four DLLs, imported by name with WINAPI calls and
# undecorated names: BASS.dll (the engine), and BASSMIX.dll, BASS_FX.dll and BASSENC.dll, which
# forward their calls to it.
set(LARKSPUR_BASS_DLLS BASS BASSMIX BASS_FX BASSENC)
set(win32dir ${CMAKE_CURRENT_SOURCE_DIR}/win32)
set(importDir ${CMAKE_BINARY_DIR}/lib)
file(MAKE_DIRECTORY ${importDir})

# The .def files name the 32-bit exports (stdcall, @N); 64-bit Windows has no decoration.
set(plainDefs OFF)
set(dllEntry _DllMain@12)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(plainDefs ON)
  set(dllEntry DllMain)
endif()

# Import libraries from the .def files: what a plug-in links against.
add_library(bass_imports INTERFACE)
target_include_directories(bass_imports INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
set(importLibs)
foreach(dll ${LARKSPUR_BASS_DLLS})
  set(lib ${importDir}/lib${dll}.a)
  set(importDef ${CMAKE_CURRENT_BINARY_DIR}/${dll}_imports.def)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${importDef} -DDIR=${win32dir} -DDLLS=${dll} -DPLAIN=${plainDefs}
            -P ${win32dir}/defs.cmake
    COMMAND ${CMAKE_DLLTOOL} -k -d ${importDef} -D ${dll}.dll -l ${lib}
    DEPENDS ${win32dir}/defs.cmake ${win32dir}/${dll}.def COMMENT "Import library of ${dll}.dll" VERBATIM)
  list(APPEND importLibs ${lib})
  target_link_libraries(bass_imports INTERFACE ${lib})
endforeach()
add_custom_target(bass_import_libs DEPENDS ${importLibs})
add_dependencies(bass_imports bass_import_libs)

# The engine's pieces: the portable files and the Win32 backends.
file(GLOB BASS_ENGINE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp ${win32dir}/*.cpp)
list(FILTER BASS_ENGINE_SOURCES EXCLUDE REGEX ".*/src/(api|error|pulse|capture|net|process|output_pulse|plain_transport|tls_transport|ticker|caller_text)\\.cpp$")
add_library(bass_engine STATIC ${BASS_ENGINE_SOURCES})
# Quoted includes only: process.h and error.h would shadow the system's headers of those names.
target_include_directories(bass_engine PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_compile_options(bass_engine PRIVATE -iquote ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_definitions(bass_engine PUBLIC LARKSPUR_BASS_BUILD)
# secur32 and crypt32: TLS through Schannel, certificates checked by the system's chain engine.
target_link_libraries(bass_engine PUBLIC Threads::Threads ws2_32 winmm secur32 crypt32)

# BASS.dll exports every call; the other three forward to it.
set(allDef ${CMAKE_CURRENT_BINARY_DIR}/BASS_all.def)
add_custom_command(OUTPUT ${allDef}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${allDef} -DDIR=${win32dir} "-DDLLS=${LARKSPUR_BASS_DLLS}"
          -DPLAIN=${plainDefs} -P ${win32dir}/defs.cmake
  DEPENDS ${win32dir}/defs.cmake ${win32dir}/BASS.def ${win32dir}/BASSMIX.def ${win32dir}/BASS_FX.def
          ${win32dir}/BASSENC.def VERBATIM)
add_library(bass SHARED src/api.cpp ${allDef})
target_include_directories(bass PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(bass PRIVATE bass_engine)
target_link_options(bass PRIVATE -Wl,--kill-at -Wl,--no-undefined)
set_target_properties(bass PROPERTIES PREFIX "" OUTPUT_NAME BASS)

foreach(dll BASSMIX BASS_FX BASSENC)
  set(fwdDef ${CMAKE_CURRENT_BINARY_DIR}/${dll}_forward.def)
  add_custom_command(OUTPUT ${fwdDef}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${fwdDef} -DDIR=${win32dir} -DDLLS=${dll} -DFORWARD=BASS
            -P ${win32dir}/defs.cmake
    DEPENDS ${win32dir}/defs.cmake ${win32dir}/${dll}.def VERBATIM)
  add_library(${dll} SHARED ${win32dir}/forwarder/dll_main.c ${fwdDef})
  target_link_options(${dll} PRIVATE -nostartfiles -Wl,--entry=${dllEntry})
  set_target_properties(${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll})
  add_dependencies(${dll} bass)
endforeach()
add_custom_target(bass_dlls ALL DEPENDS bass BASSMIX BASS_FX BASSENC)
