# Warnings are errors everywhere; sanitizers are switched on for the whole tree so
# that the library and its tests agree on instrumentation.
add_compile_options(-Wall -Wextra -Werror)
if(HH_SANITIZE)
  add_compile_options(-fsanitize=${HH_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${HH_SANITIZE})
endif()
