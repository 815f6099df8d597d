# Strict warnings for the project's own code only (not for third-party headers).
set(YQ_WARNINGS -Wall -Wextra -Werror)

function(yq_strict target)
  target_compile_options(${target} PRIVATE ${YQ_WARNINGS})
endfunction()
