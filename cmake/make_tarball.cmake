# cmake -DGIT= -DSOURCE_DIR= -DNAME= -DOUTPUT_DIR= -P make_tarball.cmake
# Writes OUTPUT_DIR/NAME.tar.gz of HEAD, every entry under NAME/. git archive
# gives each entry the commit's time, root as owner and the tree's order, so
# two clones of a commit give the same tar; gzip -n leaves out the name and
# time that would still tell them apart. The umask is named, not taken from
# whoever runs it.
include(${CMAKE_CURRENT_LIST_DIR}/source_date_epoch.cmake)

execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} log -1 --format=%ct HEAD
  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
if(failed OR NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no commit time at HEAD of ${SOURCE_DIR}")
endif()
set(stamp_dir ${OUTPUT_DIR}/dist-stamp)
file(REMOVE_RECURSE ${stamp_dir})
file(WRITE ${stamp_dir}/${TAVRIN_RECORDED_EPOCH_FILE} "${epoch}\n")
# --add-file gives the file the commit's time too, and 0644 unless executable.
file(CHMOD ${stamp_dir}/${TAVRIN_RECORDED_EPOCH_FILE}
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(tarball ${OUTPUT_DIR}/${NAME}.tar.gz)
execute_process(
  COMMAND ${GIT} -C ${SOURCE_DIR} -c tar.umask=0022 archive --format=tar --prefix=${NAME}/
          --add-file=${stamp_dir}/${TAVRIN_RECORDED_EPOCH_FILE} HEAD
  COMMAND gzip -9n
  OUTPUT_FILE ${tarball}.part
  RESULTS_VARIABLE results)
file(REMOVE_RECURSE ${stamp_dir})
if(NOT results STREQUAL "0;0")
  file(REMOVE ${tarball}.part)
  message(FATAL_ERROR "git archive | gzip failed: ${results}")
endif()
file(RENAME ${tarball}.part ${tarball})
file(SHA256 ${tarball} sum)
message(STATUS "${tarball}: sha256 ${sum}")
