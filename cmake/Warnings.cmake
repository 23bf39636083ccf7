# One place for the warning set, so every target of the project is held to it.
function(orvent_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual
    -Wold-style-cast -Wimplicit-fallthrough)
  if(ORVENT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
