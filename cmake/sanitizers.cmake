# Sanitizer flags for the whole build, chosen by VANTREL_SANITIZE.
if(VANTREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VANTREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VANTREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VANTREL_SANITIZE must be '', 'address' or 'thread'")
endif()

# Fuzzing instruments every target for coverage; the fuzz targets link libFuzzer's main.
if(VANTREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VANTREL_FUZZ needs clang (CXX=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
