# The user's crontab saved before the tests that change it and put back after
# them, from outside the test programs: a test that its time-out kills
# cannot restore it itself.
#   cmake -DACTION=save|restore -DSAVED=<file> -P SavedCrontab.cmake
# A user without a crontab is saved as a missing file and restored as none.
find_program(CRONTAB crontab REQUIRED)
if(ACTION STREQUAL "save")
  file(REMOVE "${SAVED}")
  execute_process(COMMAND ${CRONTAB} -l OUTPUT_FILE "${SAVED}.new" RESULT_VARIABLE result
                  ERROR_VARIABLE message)
  if(result EQUAL 0)
    file(RENAME "${SAVED}.new" "${SAVED}")
  elseif(message MATCHES "^no crontab for")
    file(REMOVE "${SAVED}.new")
  else()
    file(REMOVE "${SAVED}.new")
    message(FATAL_ERROR "crontab -l: ${message}")
  endif()
elseif(ACTION STREQUAL "restore")
  if(EXISTS "${SAVED}")
    execute_process(COMMAND ${CRONTAB} "${SAVED}" RESULT_VARIABLE result ERROR_VARIABLE message)
  else()
    # Removing a crontab that is not there is no failure.
    execute_process(COMMAND ${CRONTAB} -r RESULT_VARIABLE result ERROR_VARIABLE message)
    if(message MATCHES "^no crontab for")
      set(result 0)
    endif()
  endif()
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "crontab: ${message}")
  endif()
else()
  message(FATAL_ERROR "ACTION must be save or restore")
endif()
