# Sanitizer flags for the whole build, chosen by VANTREL_SANITIZE.
if(VANTREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VANTREL_SANITIZE STREQUAL "thread")
  # g++ warns at every atomic_thread_fence that TSan does not model fences; Boost.Asio's fenced
  # blocks, around each handler it runs, are such fences. It says nothing of our code.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
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
