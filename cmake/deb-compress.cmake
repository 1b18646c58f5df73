# Run by CPack on the staged files before it makes the .deb: Debian wants the
# manual pages and the changelog gzipped, without a name or time stamp inside
# (gzip -9n), so that the same sources give the same package.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

function(gzip_staged file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endfunction()

file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
set(pages ${staged})
list(FILTER pages INCLUDE REGEX "/man/man1/[^/]+\\.1$")
foreach(page IN LISTS pages)
  gzip_staged("${page}")
endforeach()

set(copyright ${staged})
list(FILTER copyright INCLUDE REGEX "/doc/talvorn/copyright$")
if(NOT copyright)
  message(FATAL_ERROR "no share/doc/talvorn/copyright among the staged files")
endif()
get_filename_component(docdir "${copyright}" DIRECTORY)
file(COPY "${CPACK_TALVORN_DEBIAN_CHANGELOG}" DESTINATION "${docdir}")
gzip_staged("${docdir}/changelog.Debian")
