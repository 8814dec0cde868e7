# The publisher's keys that Torvane checks manifest signatures against. Each
# executable gets its own generated BuiltInManifestKeys() (cmake/manifest_keys.py),
# so a test build can carry a test key while Torvane.exe carries the publisher's.
set(TORVANE_MANIFEST_KEYS "" CACHE STRING
  "PEM files (a list; absolute or relative to the source tree) of the P-256 public keys that update manifests must be signed with; empty: manifests are not signed")
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# torvane_manifest_keys(target key.pem...): compiles the keys into target.
function(torvane_manifest_keys target)
  set(keys)
  foreach(key IN LISTS ARGN)
    get_filename_component(key ${key} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    if(NOT EXISTS ${key})
      message(FATAL_ERROR "Manifest key ${key} of ${target} not found")
    endif()
    list(APPEND keys ${key})
  endforeach()
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest_keys.cpp)
  add_custom_command(OUTPUT ${output}
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/manifest_keys.py ${output} ${keys}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/manifest_keys.py ${keys}
    COMMENT "Compiling the manifest keys into ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
