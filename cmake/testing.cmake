# How tests register themselves, in both builds. Each folder of tests/ calls:
#
#   mirelo_unit_tests(PORTABLE <files> WINDOWS <files>)
#     GoogleTest sources that test the updater's layers. PORTABLE ones need no
#     Windows call: they run natively under the sanitizers (portable_tests) and
#     again under Wine; WINDOWS ones run under Wine only (torvane_win_tests).
#     tests/CMakeLists.txt makes the one program of each build from them.
#   mirelo_wine_test(<target> [TIMEOUT <s>] [ARGS <args>])
#     runs a Windows test program under the harness's Wine, with a time limit.
#   mirelo_python_test(<name> MODULE <module> [TIMEOUT <s>] [ENV <k=v>...])
#     runs "python3 -m unittest -v <module>" in the calling folder, with the
#     build's folders in its environment (MIRELO_BIN_DIR, MIRELO_FIXTURE_DIR,
#     MIRELO_SOURCE_DIR).

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(MIRELO_WINE_RUN ${PROJECT_SOURCE_DIR}/tests/wine/wine-run)
set(MIRELO_FIXTURE_DIR ${CMAKE_BINARY_DIR}/bin/fixtures)

# Each helper below marks its folder; at the folder's end (so that tests and
# test programs added later in it, plain add_test ones too, are covered):
#  - every Windows test takes one Wine slot of the harness (tests/wine/harness.sh):
#    under CTest's resource allocation with -j N, N of them run at a time, each in a
#    prefix and on a display of its own;
#  - every program that links GoogleTest and has many files compiles the heavy
#    headers once, as a precompiled header, instead of once per test file.
function(mirelo_test_folder_at_end)
  get_property(marked DIRECTORY PROPERTY MIRELO_TEST_FOLDER)
  if(NOT marked)
    set_property(DIRECTORY PROPERTY MIRELO_TEST_FOLDER ON)
    cmake_language(DEFER CALL mirelo_finish_test_folder)
  endif()
endfunction()

set(MIRELO_TEST_PCH_MIN_FILES 8)
set(MIRELO_TEST_PCH <gtest/gtest.h> <string> <vector> <functional> <memory> <map>)
if(WIN32)
  list(APPEND MIRELO_TEST_PCH <windows.h>)
endif()

function(mirelo_finish_test_folder)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test ${tests})
    # A test labelled no_wine (a build, say) runs beside the Wine tests.
    get_test_property(${test} LABELS labels)
    if(WIN32 AND NOT labels MATCHES "no_wine")
      set_tests_properties(${test} PROPERTIES RESOURCE_GROUPS wine:1)
    endif()
  endforeach()
  get_property(targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(libraries ${target} LINK_LIBRARIES)
    get_target_property(sources ${target} SOURCES)
    list(FILTER sources INCLUDE REGEX "\\.cpp$")
    list(LENGTH sources count)
    # The header costs about as much as a few test files: only programs of
    # many files gain (measured: a fresh build/win was slower with it on all).
    if(libraries MATCHES "GTest::" AND count GREATER_EQUAL MIRELO_TEST_PCH_MIN_FILES)
      target_precompile_headers(${target} PRIVATE ${MIRELO_TEST_PCH})
    endif()
  endforeach()
endfunction()

function(mirelo_unit_tests)
  mirelo_test_folder_at_end()
  cmake_parse_arguments(T "" "" "PORTABLE;WINDOWS" ${ARGN})
  set(files ${T_PORTABLE})
  if(WIN32)
    list(APPEND files ${T_WINDOWS})
  endif()
  list(TRANSFORM files PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  set_property(GLOBAL APPEND PROPERTY MIRELO_UNIT_TESTS ${files})
endfunction()

function(mirelo_wine_test target)
  mirelo_test_folder_at_end()
  cmake_parse_arguments(T "" "TIMEOUT" "ARGS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_test(NAME ${target} COMMAND ${MIRELO_WINE_RUN} --timeout ${T_TIMEOUT} $<TARGET_FILE:${target}> ${T_ARGS})
  set_tests_properties(${target} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()

function(mirelo_python_test name)
  mirelo_test_folder_at_end()
  cmake_parse_arguments(T "" "MODULE;TIMEOUT" "ENV" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name}
    COMMAND ${Python3_EXECUTABLE} -m unittest -v ${T_MODULE}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "MIRELO_BIN_DIR=${CMAKE_BINARY_DIR}/bin;MIRELO_FIXTURE_DIR=${MIRELO_FIXTURE_DIR};MIRELO_SOURCE_DIR=${PROJECT_SOURCE_DIR};PYTHONDONTWRITEBYTECODE=1;${T_ENV}")
endfunction()
