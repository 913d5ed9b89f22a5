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

# The day this version was released: the changelog's and the software
# centre's release date.
set(TAVRIN_RELEASE_DATE 2026-12-09)
set(TAVRIN_HOMEPAGE "https://github.com/tavrin/programmer" CACHE STRING
    "The project's homepage, as software centres show it")
set(TAVRIN_SCREENSHOT_URL
    "https://raw.githubusercontent.com/tavrin/programmer/main/docs/images/window.png"
    CACHE STRING "Where software centres fetch the screenshot (docs/images/window.png)")

include(${CMAKE_CURRENT_LIST_DIR}/Manuals.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/Completions.cmake)

# The sounds, where the program looks when the working directory has none.
install(FILES ${CMAKE_SOURCE_DIR}/voice/update_is_ready.wav ${CMAKE_SOURCE_DIR}/voice/update_failed.wav
        DESTINATION share/${TAVRIN_PACKAGE_NAME}/voice)
# The licence travels in the Debian form of the copyright file, the notices
# beside it, the manual pages' sources as manual pages: the installed READMEs
# link to them where they lie there.
set(TAVRIN_PACKAGE_DOCS ${CMAKE_BINARY_DIR}/package-docs)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/README.md)
file(READ ${CMAKE_SOURCE_DIR}/README.md readme)
string(REPLACE "](LICENSE)" "](copyright)" readme "${readme}")
string(REPLACE "](packaging/THIRD-PARTY-NOTICES)" "](THIRD-PARTY-NOTICES)" readme "${readme}")
file(WRITE ${TAVRIN_PACKAGE_DOCS}/README.md "${readme}")
file(READ ${CMAKE_SOURCE_DIR}/docs/README.md readme)
string(REPLACE "[`man/`](man/)" "`docs/man/` in the source tree" readme "${readme}")
file(WRITE ${TAVRIN_PACKAGE_DOCS}/docs/README.md "${readme}")
install(FILES ${TAVRIN_PACKAGE_DOCS}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
              ${CMAKE_SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES
        DESTINATION ${TAVRIN_DOC_DIR})
install(FILES ${TAVRIN_PACKAGE_DOCS}/docs/README.md DESTINATION ${TAVRIN_DOC_DIR}/docs)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${TAVRIN_DOC_DIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "man" EXCLUDE
                       PATTERN "README.md" EXCLUDE)

if(TAVRIN_BUILD_GUI)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tavrin-programmer.desktop DESTINATION share/applications)
  # The software centre's entry, with this version as its newest release.
  set(RELEASE_DATE ${TAVRIN_RELEASE_DATE})
  set(HOMEPAGE ${TAVRIN_HOMEPAGE})
  set(SCREENSHOT_URL ${TAVRIN_SCREENSHOT_URL})
  set(VERSION ${PROJECT_VERSION})
  configure_file(${CMAKE_SOURCE_DIR}/packaging/io.github.tavrin.programmer.metainfo.xml.in
                 ${CMAKE_BINARY_DIR}/packaging/io.github.tavrin.programmer.metainfo.xml @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/io.github.tavrin.programmer.metainfo.xml
          DESTINATION share/metainfo)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tavrin-programmer.svg
          DESTINATION share/icons/hicolor/scalable/apps)
  # Rendered once from the SVG (rsvg-convert -w 48 -h 48) and kept in the
  # repository, so the build needs no SVG renderer.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tavrin-programmer-48.png
          DESTINATION share/icons/hicolor/48x48/apps RENAME tavrin-programmer.png)
endif()
# Under the prefix, not CMAKE_INSTALL_LIBDIR: udev reads /usr/lib/udev/rules.d.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-tavrin-programmer.rules DESTINATION lib/udev/rules.d)

set(TAVRIN_MAINTAINER_DEFAULT "Tavrin Programmer developers <developers@tavrin-programmer.org>")
set(TAVRIN_PACKAGE_MAINTAINER ${TAVRIN_MAINTAINER_DEFAULT}
    CACHE STRING "The Maintainer field of the Debian package: name <address>")
# Debian wants an address; a build tree from before kept the bare name.
if(NOT TAVRIN_PACKAGE_MAINTAINER MATCHES "<[^>@]+@[^>]+>$")
  set(TAVRIN_PACKAGE_MAINTAINER ${TAVRIN_MAINTAINER_DEFAULT} CACHE STRING
      "The Maintainer field of the Debian package: name <address>" FORCE)
endif()

# A native package's changelog (Debian Policy 12.7), one entry: this version.
execute_process(COMMAND date -u -R -d "${TAVRIN_RELEASE_DATE} 00:00:00 UTC"
                OUTPUT_VARIABLE TAVRIN_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VERSION ${PROJECT_VERSION})
set(MAINTAINER ${TAVRIN_PACKAGE_MAINTAINER})
set(CHANGELOG_DATE ${TAVRIN_CHANGELOG_DATE})
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(tavrin_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${TAVRIN_DOC_DIR})

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
