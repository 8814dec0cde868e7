# Native build of the portable code: unit tests under sanitizers, fuzzers, benchmarks.
option(MIRELO_SANITIZE "Build with AddressSanitizer and UBSan" ON)

add_compile_options(-Wall -Wextra)
if(MIRELO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

find_package(GTest REQUIRED)
