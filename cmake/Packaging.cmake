# The Debian package: `cpack -G DEB` in a build folder (scripts/package.sh makes a Release one and checks the
# result with lintian). The package installs under /usr: the executable, the desktop entry, the icon, the
# control interface's description, the manual page and, in share/doc/ebbcast, the copyright file and the
# Debian changelog.
#
# The package's Debian revision is the build number: the environment variable EBBCAST_BUILD_NUMBER when the
# build folder is configured, 1 without it.

set(EBBCAST_PACKAGE_RELEASE "$ENV{EBBCAST_BUILD_NUMBER}")
if(EBBCAST_PACKAGE_RELEASE STREQUAL "")
    set(EBBCAST_PACKAGE_RELEASE 1)
endif()
if(NOT EBBCAST_PACKAGE_RELEASE MATCHES "^[0-9][0-9A-Za-z.+~]*$")
    message(FATAL_ERROR "EBBCAST_BUILD_NUMBER must be a Debian revision, such as 42 (is \"${EBBCAST_PACKAGE_RELEASE}\")")
endif()
set(EBBCAST_PACKAGE_VERSION "${PROJECT_VERSION}-${EBBCAST_PACKAGE_RELEASE}")
set(EBBCAST_PACKAGE_MAINTAINER "Ebbcast developers <dev@ebbcast.invalid>")
set(EBBCAST_PACKAGE_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/ebbcast")

# The Debian changelog, one entry for this build, compressed as Debian wants it (gzip -9n). Its date is the
# configuration's time, or SOURCE_DATE_EPOCH when that is set (reproducible packages).
find_program(EBBCAST_GZIP gzip REQUIRED)
string(TIMESTAMP EBBCAST_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ebbcast_changelog "${PROJECT_BINARY_DIR}/packaging/changelog.Debian")
configure_file("${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in" "${ebbcast_changelog}" @ONLY)
add_custom_command(
    OUTPUT "${ebbcast_changelog}.gz"
    COMMAND "${EBBCAST_GZIP}" -9nkf "${ebbcast_changelog}"
    DEPENDS "${ebbcast_changelog}"
    COMMENT "Compressing the Debian changelog"
    VERBATIM)
add_custom_target(ebbcast_package_changelog ALL DEPENDS "${ebbcast_changelog}.gz")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" "${ebbcast_changelog}.gz"
        DESTINATION "${EBBCAST_PACKAGE_DOC_DIR}")
# What lintian says that does not apply to a package made outside the Debian archive.
install(FILES "${PROJECT_SOURCE_DIR}/packaging/lintian-overrides" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
        RENAME ebbcast)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ebbcast)
set(CPACK_PACKAGE_VENDOR "The Ebbcast developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${EBBCAST_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "screen, microphone and system sound recorder for meetings")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME ebbcast)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${EBBCAST_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${EBBCAST_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Lines of at most 80 characters, as Debian wants them (CPack does not wrap them).
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Ebbcast records what happens on a desktop during a session, such as a\n"
    "meeting: the screen, the microphone and the computer's own sound. Each\n"
    "session goes into a folder of its own, with the audio also cut into chunks\n"
    "and a JSON document for the session and each chunk, ready for transcription.\n"
    "\n"
    "It runs in the system tray, or headless without a display. From the command\n"
    "line it records a session, repairs what a crash left, uploads sessions to\n"
    "Google Drive, finishes their transcripts and controls the running\n"
    "application.")
# The shared libraries come from dpkg-shlibdeps; what is loaded at run time is named here: libsecret (the
# Secret Service, through QtKeychain), xdg-open (the sign-in page), Qt's X11 platform plugin (the tray) and
# the English speech model of the offline gateway.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsecret-1-0, xdg-utils, qt6-qpa-plugins, pocketsphinx-en-us")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS gnome-keyring)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
