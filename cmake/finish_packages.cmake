# Run by cpack once the packages exist (CPACK_POST_BUILD_SCRIPTS), while they
# still sit in cpack's own directory. Rebuilds both with dpkg-deb, as Debian
# builds its own, so that the same commit gives the same bytes in any build
# tree: CPack takes the modes of the ar members and of the directories from
# the umask, and the times from the clock.
#
# The debug symbols package also gets what dh_strip gives Debian's own:
# CMake 3.25 lists its files in md5sums by their path in the build tree,
# makes the .debug files executable, and leaves the package without the
# documentation directory that a symbols package shares with the one it
# belongs to.
include("${CPACK_TAVRIN_CMAKE_DIR}/source_date_epoch.cmake")

set(packages "${CPACK_PACKAGE_FILES}")
list(FILTER packages INCLUDE REGEX "/${CPACK_PACKAGE_NAME}(-dbgsym)?_[^/]*\\.d?deb$")
list(LENGTH packages count)
if(NOT count EQUAL 2)
  message(FATAL_ERROR "cpack made no package and symbols package: ${CPACK_PACKAGE_FILES}")
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed ERROR_VARIABLE err OUTPUT_QUIET)
  if(failed)
    message(FATAL_ERROR "${ARGN} failed: ${err}")
  endif()
endfunction()

function(finish_dbgsym tree)
  file(GLOB_RECURSE debug_files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/lib/debug/*")
  list(SORT debug_files)
  set(md5sums "")
  foreach(file IN LISTS debug_files)
    file(CHMOD "${tree}/${file}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 "${tree}/${file}" sum)
    string(APPEND md5sums "${sum}  ${file}\n")
  endforeach()
  file(WRITE "${tree}/DEBIAN/md5sums" "${md5sums}")
  # Its copyright and changelog are those of the package it depends on, exactly.
  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK "${CPACK_PACKAGE_NAME}" "${tree}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym" SYMBOLIC)
endfunction()

tavrin_source_date_epoch("${CPACK_TAVRIN_SOURCE_DIR}" epoch)
if(epoch STREQUAL "")
  message(WARNING "no SOURCE_DATE_EPOCH, git checkout or recorded time: "
                  "the packages carry the time of this build")
else()
  # dpkg-deb takes it for the ar members' times.
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()

foreach(package IN LISTS packages)
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  run(dpkg-deb --raw-extract "${package}" "${tree}")
  if(package MATCHES "\\.ddeb$")
    finish_dbgsym("${tree}")
  endif()
  run(chmod -R go-w,a+rX "${tree}")
  # Set rather than clamped: a file older than the commit keeps no time of its own.
  if(NOT epoch STREQUAL "")
    run(find "${tree}" -exec touch --no-dereference --date=@${epoch} {} +)
  endif()
  # One compressor thread: xz writes another stream with several, and a
  # rebuilder's machine may have any number of cores.
  run(dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "${tree}" "${package}")
  file(REMOVE_RECURSE "${tree}")
endforeach()
