# Settings every target of the project takes: warnings, sanitizers, coverage.
function(kq_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(KQ_SANITIZE)
    string(REPLACE ";" "," _kq_san "${KQ_SANITIZE}")
    target_compile_options(${target} PRIVATE -fsanitize=${_kq_san} -fno-omit-frame-pointer
                                             -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${_kq_san})
  endif()
  if(KQ_COVERAGE)
    target_compile_options(${target} PRIVATE --coverage -O0)
    target_link_options(${target} PRIVATE --coverage)
  endif()
endfunction()
