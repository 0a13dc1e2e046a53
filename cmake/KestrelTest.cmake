find_package(GTest REQUIRED)
include(GoogleTest)

# kestrel_add_test(<name> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest program and registers each of its cases with CTest.
function(kestrel_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    KESTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "KESTREL_TEST_TMP=${CMAKE_CURRENT_BINARY_DIR}")
endfunction()

# Called from tests/<folder>/CMakeLists.txt: each <unit>_test.cpp there
# becomes the test program <folder>_<unit>_test linked to the given libraries.
function(kestrel_add_folder_tests folder)
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(source ${test_sources})
    get_filename_component(unit ${source} NAME_WE)
    kestrel_add_test(${folder}_${unit} SOURCES ${source} LIBS ${ARGN})
  endforeach()
endfunction()
