# Run by CPack before it packs a .deb: Debian ships man pages compressed
# with gzip -9n (no name, no time stamp, so the bytes are reproducible).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man[1-9]/*.[1-9]")
if(NOT pages)
  message(FATAL_ERROR "no man pages under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
