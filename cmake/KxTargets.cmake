# Helpers that give every library, test binary and benchmark the same shape.
#
# A library `name` lives in `name/`: public headers in `name/include/name/`, sources and private
# headers in `name/src/`, tests in `name/tests/`, benchmarks in `name/bench/`.  Sources are
# collected by glob so that adding a file does not mean editing a list in three places.

function(kx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

function(kx_add_library name)
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  add_library(${name} SHARED ${_srcs})
  add_library(kx::${name} ALIAS ${name})
  kx_warnings(${name})
  string(TOUPPER ${name} _upper)
  generate_export_header(${name}
    BASE_NAME ${_upper}
    EXPORT_FILE_NAME ${CMAKE_CURRENT_BINARY_DIR}/include/${name}/export.hpp)
  target_include_directories(${name}
    PUBLIC
      $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
      $<BUILD_INTERFACE:${CMAKE_CURRENT_BINARY_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
    OUTPUT_NAME kx_${name})
  install(TARGETS ${name} EXPORT kxTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/${name}
                    ${CMAKE_CURRENT_BINARY_DIR}/include/${name}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# One gtest binary per library, every TEST registered with ctest.  Tests run from the source
# tree's root so fixtures can be found by relative path; KX_SOURCE_DIR is also defined.
function(kx_add_tests name)
  if(NOT KX_BUILD_TESTS)
    return()
  endif()
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name}_tests ${_srcs})
  kx_warnings(${name}_tests)
  target_link_libraries(${name}_tests PRIVATE ${name} GTest::gmock_main ${ARGN})
  target_include_directories(${name}_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src
                                                    ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  target_compile_definitions(${name}_tests PRIVATE
    KX_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name}_tests
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
endfunction()

# Each file in bench/ becomes its own Google Benchmark executable (never run by ctest).
function(kx_add_benchmarks name)
  if(NOT KX_BUILD_BENCHMARKS)
    return()
  endif()
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*.cpp)
  foreach(_src IN LISTS _srcs)
    get_filename_component(_stem ${_src} NAME_WE)
    add_executable(${_stem} ${_src})
    kx_warnings(${_stem})
    target_link_libraries(${_stem} PRIVATE ${name} benchmark::benchmark ${ARGN})
    target_include_directories(${_stem} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_compile_definitions(${_stem} PRIVATE KX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  endforeach()
endfunction()
