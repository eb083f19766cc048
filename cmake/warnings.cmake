# Warning flags as an INTERFACE target, linked privately by the project's own code.
add_library(quorvex_warnings INTERFACE)
target_compile_options(quorvex_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(QUORVEX_WERROR)
    target_compile_options(quorvex_warnings INTERFACE -Werror)
endif()
