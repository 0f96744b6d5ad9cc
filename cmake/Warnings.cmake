# Warnings for targets built from our own sources. Generated stubs and moc
# output are compiled too, so -Werror is applied per target, not globally.
function(ecd_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ECD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
    # GCC's bounds analysis runs on the sanitizers' instrumented code and
    # reports accesses in omniidl's inline stubs that cannot happen; keep
    # those as warnings in sanitizer builds only.
    if(ECD_SANITIZE OR ECD_TSAN)
      target_compile_options(${target} PRIVATE -Wno-error=array-bounds -Wno-error=stringop-overflow)
    endif()
  endif()
endfunction()
