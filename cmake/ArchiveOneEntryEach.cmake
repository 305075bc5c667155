# Run by cpack once it has made the archives (CPACK_POST_BUILD_SCRIPTS, cmake/Install.cmake).
# An archive made of several install components (the runtime and the uploader) gets each folder
# entry once per component, so bin/ would be listed twice and an unzip tool would ask whether to
# replace it. Each archive is made again from its unpacked tree: one entry a path.
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${archive}.tree)
  file(REMOVE_RECURSE ${tree})
  file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${tree})
  file(GLOB top RELATIVE ${tree} ${tree}/*)
  file(REMOVE ${archive})
  execute_process(COMMAND ${CPACK_EXTRUN_CMAKE_COMMAND} -E tar cf ${archive} --format=zip ${top}
    WORKING_DIRECTORY ${tree} RESULT_VARIABLE code ERROR_VARIABLE error)
  file(REMOVE_RECURSE ${tree})
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "${archive} could not be made again from its files: ${error}")
  endif()
endforeach()
