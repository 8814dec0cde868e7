list(APPEND TORVANE_PORTABLE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/download_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/md5.cpp
)
list(APPEND TORVANE_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/cng.cpp
  ${CMAKE_CURRENT_LIST_DIR}/download.cpp
)
list(APPEND TORVANE_PORTABLE_TESTS
  ${PROJECT_SOURCE_DIR}/tests/transfer/md5_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/transfer/download_rules_test.cpp
)
list(APPEND TORVANE_WIN_TESTS
  ${PROJECT_SOURCE_DIR}/tests/transfer/cng_test.cpp
)
