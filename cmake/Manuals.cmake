# The manual pages: hand-written man(7) in docs/man/, the project's version
# put in, compressed as Debian wants them (gzip -9n: no name, no time stamp,
# so the package is the same on every build) and installed in man1.
set(TAVRIN_MAN_PAGES)
foreach(program tavrin-programmer tavrin-cli tavrin-virtual-controller tavrin-image-tool)
  if(TARGET ${program})
    list(APPEND TAVRIN_MAN_PAGES ${program})
  endif()
endforeach()

set(TAVRIN_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(TAVRIN_MAN_OUTPUTS)
foreach(page ${TAVRIN_MAN_PAGES})
  set(source ${CMAKE_SOURCE_DIR}/docs/man/${page}.1)
  set(page_file ${TAVRIN_MAN_DIR}/${page}.1)
  # Made at build time, so an edited page needs no new configure run.
  add_custom_command(
    OUTPUT ${page_file}.gz
    COMMAND ${CMAKE_COMMAND} -DIN=${source} -DOUT=${page_file} -DVERSION=${PROJECT_VERSION}
            -P ${CMAKE_SOURCE_DIR}/cmake/ManualPage.cmake
    COMMAND gzip -9nf ${page_file}
    DEPENDS ${source} ${CMAKE_SOURCE_DIR}/cmake/ManualPage.cmake
    COMMENT "Manual page ${page}(1)"
    VERBATIM)
  list(APPEND TAVRIN_MAN_OUTPUTS ${page_file}.gz)
endforeach()
add_custom_target(tavrin_manuals ALL DEPENDS ${TAVRIN_MAN_OUTPUTS})
install(FILES ${TAVRIN_MAN_OUTPUTS} DESTINATION share/man/man1)
