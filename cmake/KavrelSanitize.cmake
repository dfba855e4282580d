# KAVREL_SANITIZE=address,undefined (or thread) instruments every target.
if(KAVREL_SANITIZE)
  add_compile_options(-fsanitize=${KAVREL_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KAVREL_SANITIZE})
endif()
