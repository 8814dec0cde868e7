# Reproducible Windows programs: two builds of one commit, in any two folders
# and at any time, give the same bytes.
#  - no build time in the PE header (the linker writes 0);
#  - no build folder in the code (__FILE__ and the like are mapped to fixed names);
#  - a correct PE checksum, written after the link (cmake/pe_checksum.py), since
#    GNU ld leaves it 0.
# mirelo_reproducible_program(<target>) adds the steps after the link of a program
# we ship: its debug sections and symbols move to <program>.debug beside it (kept
# by the publisher to read crash addresses, never shipped), the program is
# stripped and names that file in a .gnu_debuglink section, and only then gets
# its checksum, which stripping would make wrong.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=src -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
add_link_options(-Wl,--no-insert-timestamp)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(MIRELO_PE_CHECKSUM ${CMAKE_CURRENT_LIST_DIR}/pe_checksum.py)

# objcopy and strip stamp the time into a PE header they write unless
# SOURCE_DATE_EPOCH gives one; 0 is what the linker wrote.
set(MIRELO_BINUTILS ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0)

function(mirelo_reproducible_program target)
  set(program $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${MIRELO_BINUTILS} ${CMAKE_OBJCOPY} --only-keep-debug ${program} ${program}.debug
    COMMAND ${MIRELO_BINUTILS} ${CMAKE_STRIP} --strip-all ${program}
    COMMAND ${MIRELO_BINUTILS} ${CMAKE_OBJCOPY} --add-gnu-debuglink=${program}.debug ${program}
    COMMAND ${Python3_EXECUTABLE} ${MIRELO_PE_CHECKSUM} ${program}
    VERBATIM)
endfunction()
