# Native build of the portable code: unit tests under sanitizers, fuzzers, benchmarks.
option(MIRELO_SANITIZE "Build with AddressSanitizer and UBSan" ON)

add_compile_options(-Wall -Wextra)
if(MIRELO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(torvane_portable STATIC ${TORVANE_PORTABLE_SOURCES})
target_include_directories(torvane_portable PUBLIC ${PROJECT_SOURCE_DIR})

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_executable(portable_tests ${TORVANE_PORTABLE_TESTS})
target_link_libraries(portable_tests PRIVATE torvane_portable GTest::gtest_main)
target_compile_definitions(portable_tests PRIVATE MIRELO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_test(NAME portable_tests COMMAND portable_tests)

if(EXISTS ${PROJECT_SOURCE_DIR}/helper/native.cmake)
  include(${PROJECT_SOURCE_DIR}/helper/native.cmake)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/publish/CMakeLists.txt)
  add_subdirectory(tools/publish)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/fuzz/CMakeLists.txt)
  add_subdirectory(fuzz)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
