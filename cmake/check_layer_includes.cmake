# Run by torvane_check_includes (cmake -P): fails when a file includes an
# updater header outside the folders its layer may see.
#   TARGET   the layer's library, for the message
#   ALLOWED  comma-separated folders relative to ROOT (e.g. updater/base)
#   FILES    comma-separated files to check
#   STAMP    written when every include is allowed
string(REPLACE "," ";" allowed "${ALLOWED}")
string(REPLACE "," ";" files "${FILES}")
set(errors "")
foreach(file ${files})
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"updater/")
  foreach(line ${lines})
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" header "${line}")
    get_filename_component(header_folder ${header} DIRECTORY)
    list(FIND allowed ${header_folder} found)
    if(found EQUAL -1)
      file(RELATIVE_PATH shown ${ROOT} ${file})
      string(APPEND errors "  ${shown} includes ${header}\n")
    endif()
  endforeach()
endforeach()
if(errors)
  message(FATAL_ERROR "${TARGET} may include only headers of ${allowed}:\n${errors}")
endif()
file(WRITE ${STAMP} "")
