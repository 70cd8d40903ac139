# The time every file of a package carries, as Debian fixes it: the
# SOURCE_DATE_EPOCH of the environment when set; else the last commit's time
# in a git checkout; else the time the release tarball recorded from the
# commit it was made of. Empty when none is known.
set(TAVRIN_RECORDED_EPOCH_FILE source-date-epoch)

function(tavrin_source_date_epoch source_dir output)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  # Asked only of a checkout of its own: an unpacked tarball inside some
  # other repository must not take that repository's time.
  if(epoch STREQUAL "" AND EXISTS "${source_dir}/.git")
    execute_process(COMMAND git -C "${source_dir}" log -1 --format=%ct
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
      set(epoch "")
    endif()
  elseif(epoch STREQUAL "" AND EXISTS "${source_dir}/${TAVRIN_RECORDED_EPOCH_FILE}")
    file(STRINGS "${source_dir}/${TAVRIN_RECORDED_EPOCH_FILE}" epoch LIMIT_COUNT 1)
  endif()
  if(NOT epoch MATCHES "^[0-9]*$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a count of seconds: '${epoch}'")
  endif()
  set(${output} "${epoch}" PARENT_SCOPE)
endfunction()
