# Run by cpack once the packages exist (CPACK_POST_BUILD_SCRIPTS). Gives the
# debug symbols package what dh_strip gives Debian's own: CMake 3.25 lists
# its files in md5sums by their path in the build tree, makes the .debug
# files executable, and leaves the package without the documentation
# directory that a symbols package shares with the one it belongs to.
# Called while the packages still sit in cpack's own directory.
list(FILTER CPACK_PACKAGE_FILES INCLUDE REGEX "/${CPACK_PACKAGE_NAME}-dbgsym_[^/]*\\.ddeb$")
list(LENGTH CPACK_PACKAGE_FILES count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made no single symbols package: ${CPACK_PACKAGE_FILES}")
endif()
set(ddeb "${CPACK_PACKAGE_FILES}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed ERROR_VARIABLE err)
  if(failed)
    message(FATAL_ERROR "${ARGN} failed: ${err}")
  endif()
endfunction()

set(tree "${ddeb}.tree")
file(REMOVE_RECURSE "${tree}")
run(dpkg-deb --raw-extract "${ddeb}" "${tree}")
file(GLOB_RECURSE debug_files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/lib/debug/*")
list(SORT debug_files)
set(md5sums "")
foreach(file IN LISTS debug_files)
  file(CHMOD "${tree}/${file}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(MD5 "${tree}/${file}" sum)
  string(APPEND md5sums "${sum}  ${file}\n")
endforeach()
file(WRITE "${tree}/DEBIAN/md5sums" "${md5sums}")
file(CHMOD "${tree}/DEBIAN/md5sums" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# Its copyright and changelog are those of the package it depends on, exactly.
file(MAKE_DIRECTORY "${tree}/usr/share/doc")
file(CREATE_LINK "${CPACK_PACKAGE_NAME}" "${tree}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym" SYMBOLIC)
run(dpkg-deb --root-owner-group --build "${tree}" "${ddeb}")
file(REMOVE_RECURSE "${tree}")
