# The updater is built in layers, each a static library that sees only the
# layers under it:
#   base      portable rules and owners (text, file names, handles, manifest readers)
#   transfer  the download client and the digests
#   core      settings, update check, installation pipeline, the update job
#   ui        the hidden dialog, the tray icon, the link, the about box
# and the program itself (updater/*.cpp) on top. A layer's files may include
# headers of their own folder and of the layers below, nothing else: a check
# that runs before each layer is compiled fails the build otherwise.
#
# torvane_layer(NAME FOLDER <dir> [BELOW <layer>] PORTABLE <files> WINDOWS <files>
#               [WIN_LIBS <libs>])
#   PORTABLE files need no Windows call and are built natively too; WINDOWS
#   files only in the Windows build. The library is torvane_<NAME>.

set(TORVANE_LAYER_CHECK ${CMAKE_CURRENT_LIST_DIR}/check_layer_includes.cmake)

function(torvane_layer name)
  cmake_parse_arguments(L "" "FOLDER;BELOW" "PORTABLE;WINDOWS;WIN_LIBS" ${ARGN})
  set(sources ${L_PORTABLE})
  if(WIN32)
    list(APPEND sources ${L_WINDOWS})
  endif()
  add_library(torvane_${name} STATIC ${sources})
  target_include_directories(torvane_${name} PUBLIC ${PROJECT_SOURCE_DIR})

  set(allowed ${L_FOLDER})
  if(L_BELOW)
    target_link_libraries(torvane_${name} PUBLIC torvane_${L_BELOW})
    get_property(below_allowed GLOBAL PROPERTY TORVANE_LAYER_FOLDERS_${L_BELOW})
    list(APPEND allowed ${below_allowed})
  endif()
  set_property(GLOBAL PROPERTY TORVANE_LAYER_FOLDERS_${name} ${allowed})
  if(WIN32)
    target_compile_options(torvane_${name} PRIVATE ${TORVANE_CHARSET_FLAGS})
    target_link_libraries(torvane_${name} PUBLIC ${L_WIN_LIBS})
  endif()
  torvane_check_includes(torvane_${name} "${allowed}" ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# Makes target depend on a check that every "updater/..." include of the files
# in folder (sources and headers) names a header of an allowed folder.
function(torvane_check_includes target allowed folder)
  file(GLOB files CONFIGURE_DEPENDS ${folder}/*.h ${folder}/*.cpp)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.includes.stamp)
  string(REPLACE ";" "," allowed_text "${allowed}")
  string(REPLACE ";" "," files_text "${files}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DTARGET=${target} -DALLOWED=${allowed_text} -DFILES=${files_text}
            -DROOT=${PROJECT_SOURCE_DIR} -DSTAMP=${stamp} -P ${TORVANE_LAYER_CHECK}
    DEPENDS ${files} ${TORVANE_LAYER_CHECK}
    COMMENT "Checking the includes of ${target}"
    VERBATIM)
  add_custom_target(${target}_includes DEPENDS ${stamp})
  add_dependencies(${target} ${target}_includes)
endfunction()
