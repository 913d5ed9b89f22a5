# The Windows release, made by the Windows build: a 64-bit installer (NSIS)
# and a portable zip. Both hold the same tree: every program of the build at
# the top (TAVRIN_INSTALL_BINDIR), voice\ beside them, the README, the licence
# and the documents the README links to.

install(FILES ${CMAKE_SOURCE_DIR}/voice/update_is_ready.wav ${CMAKE_SOURCE_DIR}/voice/update_failed.wav
        DESTINATION ${TAVRIN_INSTALL_BINDIR}/voice)
# The notices of the code of others compiled into the programs go with them.
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
              ${CMAKE_SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION docs FILES_MATCHING PATTERN "*.md" PATTERN "*.png"
        PATTERN "man" EXCLUDE)

set(TAVRIN_PACKAGE_TITLE "Tavrin Programmer")
# The key of the uninstall entry under
# HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall.
set(TAVRIN_UNINSTALL_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\${TAVRIN_PACKAGE_TITLE}")

# Values reach the NSIS script exactly as written here.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME ${TAVRIN_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tavrin Programmer developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Programmer for LED and lighting controllers")
# The zip's name; the installer's gets -setup (CPackWindowsOptions.cmake).
set(CPACK_PACKAGE_FILE_NAME ${TAVRIN_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# The zip holds the tree itself, not a folder around it.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackWindowsOptions.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/Sha256Sums.cmake)

set(CPACK_PACKAGE_INSTALL_DIRECTORY ${TAVRIN_PACKAGE_TITLE})
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY ${TAVRIN_PACKAGE_TITLE})
set(CPACK_PACKAGE_EXECUTABLES tavrin-programmer ${TAVRIN_PACKAGE_TITLE})
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ${TAVRIN_INSTALL_BINDIR})
set(CPACK_NSIS_PACKAGE_NAME "${TAVRIN_PACKAGE_TITLE} ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "${TAVRIN_PACKAGE_TITLE} ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME tavrin-programmer.exe)
set(CPACK_NSIS_MUI_ICON ${CMAKE_SOURCE_DIR}/src/ui/win32/tavrin-programmer.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_SOURCE_DIR}/src/ui/win32/tavrin-programmer.ico)
# A 64-bit installer: NSIS builds a 32-bit one unless told otherwise, and
# that one would see the 32-bit Program Files and registry. The 64-bit
# process sees the 64-bit view anyway; SetRegView says so where the
# installer and the uninstaller start writing.
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DEFINES "  Target amd64-unicode")
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS "SetRegView 64")
# Deployment tools take QuietUninstallString to remove it without questions.
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS
    "  WriteRegStr SHCTX \"${TAVRIN_UNINSTALL_KEY}\" \"QuietUninstallString\" '\"$INSTDIR\\Uninstall.exe\" /S'")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "  SetRegView 64")
# An upgrade first removes the version before it (silently under /S), so no
# file or Start-menu folder of the old one is left behind.
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# NSIS.template.in beside this file: the installer that touches only its own
# files (a folder of its own inside a folder of another product's, the PATH
# left alone).
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})

# The product's own face: its branding line (NSIS.template.in: the package's
# name and version), pictures drawn from its icon at build time, and a finish
# page that offers to start it (never under /S).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(TAVRIN_INSTALLER_PICTURES ${CMAKE_BINARY_DIR}/installer)
add_custom_command(
  OUTPUT ${TAVRIN_INSTALLER_PICTURES}/welcome.bmp ${TAVRIN_INSTALLER_PICTURES}/header.bmp
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make-installer-pictures.py
          ${TAVRIN_INSTALLER_PICTURES}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-installer-pictures.py
          ${CMAKE_SOURCE_DIR}/scripts/make-windows-icon.py
  COMMENT "Drawing the installer's pictures from the program's icon")
add_custom_target(installer-pictures ALL
  DEPENDS ${TAVRIN_INSTALLER_PICTURES}/welcome.bmp ${TAVRIN_INSTALLER_PICTURES}/header.bmp)
set(CPACK_NSIS_MUI_WELCOMEFINISHPAGE_BITMAP ${TAVRIN_INSTALLER_PICTURES}/welcome.bmp)
set(CPACK_NSIS_MUI_UNWELCOMEFINISHPAGE_BITMAP ${TAVRIN_INSTALLER_PICTURES}/welcome.bmp)
set(CPACK_NSIS_MUI_HEADERIMAGE ${TAVRIN_INSTALLER_PICTURES}/header.bmp)
set(CPACK_NSIS_MUI_FINISHPAGE_RUN tavrin-programmer.exe)
include(CPack)
