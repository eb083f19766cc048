# Sanitizer flags as an INTERFACE target. QUORVEX_SANITIZE is "address,undefined" or
# "thread"; the two families cannot be combined in one build.
add_library(quorvex_sanitizers INTERFACE)
if(QUORVEX_SANITIZE)
    if(QUORVEX_SANITIZE MATCHES "thread" AND QUORVEX_SANITIZE MATCHES "address")
        message(FATAL_ERROR "ThreadSanitizer and AddressSanitizer cannot be combined")
    endif()
    set(_flags -fsanitize=${QUORVEX_SANITIZE} -fno-omit-frame-pointer -g)
    if(QUORVEX_SANITIZE MATCHES "undefined")
        list(APPEND _flags -fno-sanitize-recover=undefined)
    endif()
    target_compile_options(quorvex_sanitizers INTERFACE ${_flags})
    target_link_options(quorvex_sanitizers INTERFACE -fsanitize=${QUORVEX_SANITIZE})
endif()
