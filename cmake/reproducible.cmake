# Reproducible Windows programs: two builds of one commit, in any two folders
# and at any time, give the same bytes.
#  - no build time in the PE header (the linker writes 0);
#  - no build folder in the code (__FILE__ and the like are mapped to fixed names);
#  - a correct PE checksum, written after the link (cmake/pe_checksum.py), since
#    GNU ld leaves it 0.
# mirelo_reproducible_program(<target>) adds the checksum step to a program we ship.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=src -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
add_link_options(-Wl,--no-insert-timestamp)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(MIRELO_PE_CHECKSUM ${CMAKE_CURRENT_LIST_DIR}/pe_checksum.py)

function(mirelo_reproducible_program target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${MIRELO_PE_CHECKSUM} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
