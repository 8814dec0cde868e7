# Windows build: the two programs, their test doubles and the tests run under Wine.
add_compile_options(-Wall -Wextra -finput-charset=UTF-8)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
# The C and C++ runtimes are linked in, so the programs need no DLL beyond the system's.
add_link_options(-static -static-libgcc -static-libstdc++)

# The updater's narrow texts are GBK (code page 936) at run time.
set(TORVANE_CHARSET_FLAGS -fexec-charset=GBK)

add_library(torvane_lib STATIC ${TORVANE_PORTABLE_SOURCES} ${TORVANE_WIN_SOURCES})
target_include_directories(torvane_lib PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(torvane_lib PRIVATE ${TORVANE_CHARSET_FLAGS})
# bcrypt.dll is not linked: the updater loads it when it needs it (cng.cpp).
target_link_libraries(torvane_lib PUBLIC wininet ws2_32 comctl32 shell32 shlwapi version gdi32 user32 advapi32 ole32)

include(cmake/manifest_keys.cmake)
add_executable(Torvane WIN32 updater/core/main.cpp updater/ui/torvane.rc)
target_compile_options(Torvane PRIVATE ${TORVANE_CHARSET_FLAGS})
target_link_libraries(Torvane PRIVATE torvane_lib)
torvane_manifest_keys(Torvane ${TORVANE_MANIFEST_KEYS})
set_target_properties(Torvane PROPERTIES OUTPUT_NAME Torvane RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

if(EXISTS ${PROJECT_SOURCE_DIR}/helper/CMakeLists.txt)
  add_subdirectory(helper)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/win/CMakeLists.txt)
  add_subdirectory(bench/win)
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_subdirectory(tests)
