# Runs PROGRAM with ARGS (a list) and checks its exit code against
# EXPECT_EXIT (when given; a handle leak is exit code 3 and always fails) and
# its standard output against every regular expression in
# EXPECT (a list). Used as: cmake -DPROGRAM=... -DARGS=... -P check_run.cmake
execute_process(COMMAND ${PROGRAM} ${ARGS}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE code)
set(failed FALSE)
if(DEFINED EXPECT_EXIT AND NOT "${code}" STREQUAL "${EXPECT_EXIT}")
  message(SEND_ERROR "exit code ${code}, expected ${EXPECT_EXIT}")
  set(failed TRUE)
elseif(NOT DEFINED EXPECT_EXIT AND NOT code MATCHES "^[01]$")
  message(SEND_ERROR "exit code ${code}, expected ${EXPECT_EXIT}")
  set(failed TRUE)
endif()
foreach(re IN LISTS EXPECT)
  if(NOT out MATCHES "${re}")
    message(SEND_ERROR "output does not match: ${re}")
    set(failed TRUE)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "output was:\n${out}\nstandard error:\n${err}")
endif()
