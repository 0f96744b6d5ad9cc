# Warnings for targets built from our own sources. Generated stubs and moc
# output are compiled too, so -Werror is applied per target, not globally.
function(ecd_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ECD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
