# The Windows build's suites, run under Wine (the toolchain's emulator). Each suite is one
# test: a Wine start per test case would cost more than the cases themselves.
include(GoogleTest)
function(gtest_discover_tests target)
  cmake_parse_arguments(arg "" "DISCOVERY_TIMEOUT" "PROPERTIES" ${ARGN})
  add_test(NAME ${target} COMMAND ${target} --gtest_brief=1)
  set_tests_properties(${target} PROPERTIES TIMEOUT 300 LABELS windows)
  if(arg_PROPERTIES)
    set_tests_properties(${target} PROPERTIES ${arg_PROPERTIES})
  endif()
endfunction()

add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/fakes ${CMAKE_CURRENT_BINARY_DIR}/fakes)
foreach(suite audio broadcast desktop engine plugin security settings talkover ui)
  add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/unit/${suite} ${CMAKE_CURRENT_BINARY_DIR}/unit/${suite})
endforeach()
add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/windows/oggenc ${CMAKE_CURRENT_BINARY_DIR}/windows/oggenc)
add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/windows/module ${CMAKE_CURRENT_BINARY_DIR}/windows/module)
add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/windows/station ${CMAKE_CURRENT_BINARY_DIR}/windows/station)
