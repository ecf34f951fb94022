# Everything the fuzz targets link is compiled with libFuzzer's coverage hooks and
# the sanitizers, so that a fault deep in a library stops the run at the faulty
# line rather than in some later symptom. Only the fuzz targets themselves link
# libFuzzer's main (see velmora_fuzz_target in fuzz/CMakeLists.txt).
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "VELMORA_BUILD_FUZZERS needs clang (libFuzzer); CMAKE_CXX_COMPILER is ${CMAKE_CXX_COMPILER_ID}")
endif()
set(VELMORA_FUZZ_SANITIZERS address,undefined)
add_compile_options(-fsanitize=fuzzer-no-link,${VELMORA_FUZZ_SANITIZERS} -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=${VELMORA_FUZZ_SANITIZERS})
