# -Wall -Wextra everywhere; warnings are errors only where asked (HH_WERROR: CI
# and scripts/test.sh), so a packager's compiler never fails the build on a new
# warning. Sanitizers are switched on for the whole tree so that the library and
# its tests agree on instrumentation.
add_compile_options(-Wall -Wextra)
if(HH_WERROR)
  add_compile_options(-Werror)
endif()
if(HH_SANITIZE)
  add_compile_options(-fsanitize=${HH_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${HH_SANITIZE})
  if(HH_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC warns that TSan does not model atomic_thread_fence, which Asio uses;
    # Asio's fences pair with atomics TSan does see.
    add_compile_options(-Wno-tsan)
  endif()
endif()
