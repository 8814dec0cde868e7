# Quillet's logic that needs no Windows call, tested natively under the sanitizers.
add_library(quillet_portable STATIC
  ${CMAKE_CURRENT_LIST_DIR}/helper_mode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/skin_layout.cpp)
target_include_directories(quillet_portable PUBLIC ${PROJECT_SOURCE_DIR})

add_executable(quillet_portable_tests ${PROJECT_SOURCE_DIR}/tests/helper/quillet_logic_test.cpp)
target_link_libraries(quillet_portable_tests PRIVATE quillet_portable GTest::gtest_main)
add_test(NAME quillet_portable_tests COMMAND quillet_portable_tests)
