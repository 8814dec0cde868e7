# Windows build: the two programs, their test doubles and the tests run under Wine.
add_compile_options(-Wall -Wextra -finput-charset=UTF-8)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
# The C and C++ runtimes are linked in, so the programs need no DLL beyond the system's.
add_link_options(-static -static-libgcc -static-libstdc++)
include(reproducible)
include(version)

# The updater's narrow texts are GBK (code page 936) at run time.
set(TORVANE_CHARSET_FLAGS -fexec-charset=GBK)

# GoogleTest is built from its sources with the cross compiler; it defines
# GTest::gtest and GTest::gtest_main like the native package does.
find_path(MIRELO_GOOGLETEST_SOURCE NAMES googletest/CMakeLists.txt
  PATHS /usr/src/googletest NO_CMAKE_FIND_ROOT_PATH
  DOC "GoogleTest's source tree (Debian: package googletest)")
if(NOT MIRELO_GOOGLETEST_SOURCE)
  message(FATAL_ERROR "GoogleTest's sources were not found; set MIRELO_GOOGLETEST_SOURCE")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${MIRELO_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The publisher's keys for signed manifests (TORVANE_MANIFEST_KEYS).
include(manifest_keys)
