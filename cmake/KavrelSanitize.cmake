# KAVREL_SANITIZE=address,undefined (or thread) instruments every target.
if(KAVREL_SANITIZE)
  add_compile_options(-fsanitize=${KAVREL_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KAVREL_SANITIZE})
endif()
# KAVREL_FUZZ adds fuzzer coverage to every target, the library included;
# the fuzz targets link libFuzzer themselves (fuzz/CMakeLists.txt).
if(KAVREL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
