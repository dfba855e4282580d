# The warnings of every target of the project; errors with KAVREL_WERROR.
function(kavrel_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic $<$<BOOL:${KAVREL_WERROR}>:-Werror>
    -Wshadow -Wconversion -Wsign-conversion -Wcast-qual -Wformat=2 -Wundef
    -Wnull-dereference -Wimplicit-fallthrough -Wmissing-declarations
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>)
endfunction()
