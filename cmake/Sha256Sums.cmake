# Run by cpack after each generator, before the package is copied out:
# SHA256SUMS beside the packages, in the form `sha256sum -c` reads. Each run
# puts in the line of its own package and keeps the other's of the same
# release; lines of an earlier version, whose files are not part of this
# release, go.
set(sums_file ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS)
set(lines "")
if(EXISTS ${sums_file})
  file(STRINGS ${sums_file} lines)
endif()
string(REPLACE "." "\\." release "  ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-")
list(FILTER lines INCLUDE REGEX "^[0-9a-f]+${release}")
foreach(package ${CPACK_PACKAGE_FILES})
  get_filename_component(name ${package} NAME)
  file(SHA256 ${package} hash)
  list(FILTER lines EXCLUDE REGEX "  ${name}$")
  list(APPEND lines "${hash}  ${name}")
endforeach()
list(SORT lines COMPARE STRING)
list(JOIN lines "\n" text)
file(WRITE ${sums_file} "${text}\n")
