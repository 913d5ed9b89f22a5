# What `cmake --install` puts beside the programs, and the packages made of it
# all: `cmake --build build --target package` writes
# build/tavrin-programmer_<version>_<arch>.deb on Linux; in the Windows build
# it writes the installer tavrin-programmer-<version>-win64-setup.exe, the
# portable tavrin-programmer-<version>-win64.zip and SHA256SUMS of both. The
# packages carry every install rule of the project, the tools' and any other
# program's included.

set(TAVRIN_PACKAGE_NAME tavrin-programmer)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
  return()
endif()

set(TAVRIN_DOC_DIR share/doc/${TAVRIN_PACKAGE_NAME})

include(${CMAKE_CURRENT_LIST_DIR}/Manuals.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/Completions.cmake)

# The sounds, where the program looks when the working directory has none.
install(FILES ${CMAKE_SOURCE_DIR}/voice/update_is_ready.wav ${CMAKE_SOURCE_DIR}/voice/update_failed.wav
        DESTINATION share/${TAVRIN_PACKAGE_NAME}/voice)
# The licence travels in the Debian form of the copyright file.
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
              ${CMAKE_SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES
        DESTINATION ${TAVRIN_DOC_DIR})
# The README links into docs/.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${TAVRIN_DOC_DIR}/docs
        FILES_MATCHING PATTERN "*.md")

if(TAVRIN_BUILD_GUI)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tavrin-programmer.desktop DESTINATION share/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tavrin-programmer.svg
          DESTINATION share/icons/hicolor/scalable/apps)
  # Rendered once from the SVG (rsvg-convert -w 48 -h 48) and kept in the
  # repository, so the build needs no SVG renderer.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tavrin-programmer-48.png
          DESTINATION share/icons/hicolor/48x48/apps RENAME tavrin-programmer.png)
endif()
# Under the prefix, not CMAKE_INSTALL_LIBDIR: udev reads /usr/lib/udev/rules.d.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-tavrin-programmer.rules DESTINATION lib/udev/rules.d)

set(TAVRIN_PACKAGE_MAINTAINER "Tavrin Programmer developers"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TAVRIN_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT ${TAVRIN_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAVRIN_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Programmer for LED and lighting controllers
Tavrin Programmer finds the serial port on which a controller answers,
identifies the controller and writes a firmware image (.sbin) or a data map
(.lbin) into it, frame by frame. It is one small Qt window.
.
The package also carries the virtual controller, which plays a controller on
a pseudo-terminal, and the image tool, which makes and checks image files:
both for trying the programmer without a controller at a service bench.
A udev rule keeps ModemManager away from the controllers' USB serial ports.")
if(TARGET tavrin-cli)
  string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "\n.\ntavrin-cli does the same from a terminal, for scripts and production lines.")
endif()
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
