# `cmake --build <tree> --target dist` writes tavrin-<version>.tar.gz into the
# build tree: the committed tree at HEAD, and the commit's time, from which a
# build without git stamps its packages as the checkout does. Only a git
# checkout has a commit to make it of.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/.git)
  return()
endif()
find_program(TAVRIN_GIT git)
if(NOT TAVRIN_GIT)
  message(STATUS "no git: no dist target")
  return()
endif()
add_custom_target(dist
  COMMAND ${CMAKE_COMMAND} -DGIT=${TAVRIN_GIT} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DNAME=tavrin-${TAVRIN_VERSION} -DOUTPUT_DIR=${PROJECT_BINARY_DIR}
          -P ${CMAKE_CURRENT_LIST_DIR}/make_tarball.cmake
  VERBATIM)
