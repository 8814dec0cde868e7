list(APPEND TORVANE_PORTABLE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/link_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/size_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tray_text.cpp
)
list(APPEND TORVANE_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/about_box.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link_static.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tray.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_dialog.cpp
)
list(APPEND TORVANE_PORTABLE_TESTS
  ${PROJECT_SOURCE_DIR}/tests/ui/link_rules_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/ui/size_text_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/ui/tray_text_test.cpp
)
list(APPEND TORVANE_WIN_TESTS
)

# The product's home page, where the dialog's link points.
set(TORVANE_HOME_HOST "www.mirelo.com" CACHE STRING "Host of the product's home page")
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/update_dialog.cpp PROPERTIES
  COMPILE_DEFINITIONS "TORVANE_HOME_HOST=\"${TORVANE_HOME_HOST}\"")
