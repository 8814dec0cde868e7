# The one version of both programs, from the VERSION file at the top of the
# tree (four numbers, a.b.c.d). It goes into their version resources through
# the generated mirelo_version.h, which torvane.rc and quillet.rc include, and
# from there into the start lines of Torvane.log and Quillet.log.
set(MIRELO_PRODUCT "Mirelo" CACHE STRING "Product name in the programs' version resources")
set(MIRELO_COMPANY "Mirelo" CACHE STRING "Company name in the programs' version resources")
set(MIRELO_COPYRIGHT "Copyright (C) 2026 Mirelo" CACHE STRING "Copyright line in the programs' version resources")

file(STRINGS ${PROJECT_SOURCE_DIR}/VERSION MIRELO_VERSION LIMIT_COUNT 1)
if(NOT MIRELO_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION must hold four numbers a.b.c.d, not '${MIRELO_VERSION}'")
endif()
foreach(part 1 2 3 4)
  if(CMAKE_MATCH_${part} GREATER 65535)
    message(FATAL_ERROR "VERSION: each number must fit in 16 bits ('${MIRELO_VERSION}')")
  endif()
endforeach()
set(MIRELO_VERSION_COMMAS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},${CMAKE_MATCH_4}")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/VERSION)

set(MIRELO_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/mirelo_version.h.in ${MIRELO_GENERATED_DIR}/mirelo_version.h @ONLY)
# Global, so every target that compiles torvane.rc (the tests and demos too) finds it.
include_directories(${MIRELO_GENERATED_DIR})
