# Warnings on the project's own code; errors only where the project is built for its own sake
# (PLINTH_WARNINGS_AS_ERRORS, on when Plinth is the top-level project), so that another compiler
# or new warnings cannot break a build of which Plinth is only a part.
function(plinth_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(PLINTH_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
