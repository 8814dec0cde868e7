list(APPEND TORVANE_PORTABLE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/client_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/command_line.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_name_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hex_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ini_text_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/install_paths.cpp
  ${CMAKE_CURRENT_LIST_DIR}/manifest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/manifest_signature.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pe_exports.cpp
  ${CMAKE_CURRENT_LIST_DIR}/prompt_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/updater_app.cpp
)
list(APPEND TORVANE_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/download_manifest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/install.cpp
  ${CMAKE_CURRENT_LIST_DIR}/manifest_job.cpp
  ${CMAKE_CURRENT_LIST_DIR}/module_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/profile_file_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signed_manifest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_job.cpp
)
list(APPEND TORVANE_PORTABLE_TESTS
  ${PROJECT_SOURCE_DIR}/tests/core/client_settings_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/command_line_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/file_name_rules_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/manifest_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/manifest_signature_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/prompt_state_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/install_paths_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/install_pe_exports_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/text_rules_test.cpp
)
list(APPEND TORVANE_WIN_TESTS
  ${PROJECT_SOURCE_DIR}/tests/core/client_settings_file_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/install_pipeline_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/core/manifest_file_test.cpp
)
