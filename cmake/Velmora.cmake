# velmora_library(NAME DEPS ...): a static library from every .cpp in src/NAME.
# A subsystem without sources yet becomes an interface library so that the
# dependency chain stays the same while it is empty.
function(velmora_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;INCLUDES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp)
  if(sources)
    add_library(velmora_${name} STATIC ${sources})
    target_include_directories(velmora_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${ARG_INCLUDES})
    target_link_libraries(velmora_${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(velmora_${name} INTERFACE)
    target_include_directories(velmora_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${ARG_INCLUDES})
    target_link_libraries(velmora_${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# velmora_test(NAME): one test binary per library from every .cpp in tests/NAME.
function(velmora_test name)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${name}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_include_directories(test_${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/tests/common)
  target_link_libraries(test_${name} PRIVATE velmora_${name} GTest::gtest_main GTest::gmock)
  target_compile_definitions(test_${name} PRIVATE
    VELMORA_BINARY_DIR="${PROJECT_BINARY_DIR}"
    VELMORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "VELMORA_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
