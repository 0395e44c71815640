# Installation ("cmake --install build --prefix P") and the Debian package (cpack, DEB).
#
# Installed layout, relative to the prefix:
#   bin/nembral-launcher                 wrapper: enters the per-user working directory, puts
#                                        the private directory on PATH, runs the real launcher
#   lib/nembral-launcher/nembral-launcher, lib/nembral-launcher/unzip.exe
#                                        the real binaries, private to the package: the launcher
#                                        starts "unzip.exe" by that name through /bin/sh, which
#                                        searches the working directory, then PATH
#   share/applications/nembral-launcher.desktop
#   share/icons/hicolor/NxN/apps/nembral-launcher.png   the window icon at its own size
#   share/man/man1/nembral-launcher.1.gz
#   share/doc/nembral-launcher/copyright, changelog.gz
# Nothing else is installed: the tests, their helpers and the benchmarks stay in the build tree.
include(GNUInstallDirs)

set(NEMBRAL_INSTALL_PRIVATEDIR "lib/nembral-launcher" CACHE STRING
  "Directory, relative to the prefix, for the launcher proper and unzip.exe")
set(NEMBRAL_PACKAGE_MAINTAINER "Nembral Launcher Team <launcher@nembral.example>" CACHE STRING
  "Maintainer field of the Debian package (\"Name <address>\")")

set(_nembral_pkg_src "${CMAKE_SOURCE_DIR}/packaging")
set(_nembral_pkg_out "${CMAKE_BINARY_DIR}/packaging")
set(_nembral_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/nembral-launcher")

# Both link only system libraries, so the installed copies need no run-time search path (the
# toolkit's project setup would give them $ORIGIN ones, which a Debian package should not carry).
set_target_properties(nembral-launcher nembral_unzip_tool PROPERTIES INSTALL_RPATH "")
install(TARGETS nembral-launcher nembral_unzip_tool RUNTIME DESTINATION "${NEMBRAL_INSTALL_PRIVATEDIR}")

# The wrapper finds the private directory relative to where it lies itself, so the installed
# tree can be moved or unpacked anywhere (a staging root, "dpkg -x").
if(IS_ABSOLUTE "${NEMBRAL_INSTALL_PRIVATEDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  message(FATAL_ERROR "NEMBRAL_INSTALL_PRIVATEDIR and CMAKE_INSTALL_BINDIR must be relative to the prefix")
endif()
file(RELATIVE_PATH NEMBRAL_WRAPPER_TO_PRIVATE "/${CMAKE_INSTALL_BINDIR}" "/${NEMBRAL_INSTALL_PRIVATEDIR}")
configure_file("${_nembral_pkg_src}/nembral-launcher.in" "${_nembral_pkg_out}/nembral-launcher" @ONLY)
install(PROGRAMS "${_nembral_pkg_out}/nembral-launcher" DESTINATION "${CMAKE_INSTALL_BINDIR}")

install(FILES "${_nembral_pkg_src}/nembral-launcher.desktop"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/applications")

# The icon theme files icons by their pixel size, so the size is read from the PNG header
# (width and height, big-endian, at bytes 16..23) rather than written down a second time.
set(_nembral_icon "${CMAKE_SOURCE_DIR}/resources/icons/kandu-logo.png")
file(READ "${_nembral_icon}" _nembral_png HEX LIMIT 24)
string(SUBSTRING "${_nembral_png}" 0 16 _nembral_png_magic)
string(SUBSTRING "${_nembral_png}" 32 8 _nembral_png_w)
string(SUBSTRING "${_nembral_png}" 40 8 _nembral_png_h)
math(EXPR _nembral_png_w "0x${_nembral_png_w}")
math(EXPR _nembral_png_h "0x${_nembral_png_h}")
if(NOT _nembral_png_magic STREQUAL "89504e470d0a1a0a" OR NOT _nembral_png_w EQUAL _nembral_png_h)
  message(FATAL_ERROR "${_nembral_icon}: expected a square PNG image for the icon theme")
endif()
set(NEMBRAL_ICON_SIZE "${_nembral_png_w}")
install(FILES "${_nembral_icon}"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${NEMBRAL_ICON_SIZE}x${NEMBRAL_ICON_SIZE}/apps"
  RENAME nembral-launcher.png)

# Manual page and changelog go in compressed, without name or time stamp in the gzip header,
# so that two builds of the same sources give the same files.
configure_file("${_nembral_pkg_src}/nembral-launcher.1.in" "${_nembral_pkg_out}/nembral-launcher.1" @ONLY)
add_custom_command(OUTPUT "${_nembral_pkg_out}/nembral-launcher.1.gz"
  COMMAND gzip -9nc "${_nembral_pkg_out}/nembral-launcher.1" > "${_nembral_pkg_out}/nembral-launcher.1.gz"
  DEPENDS "${_nembral_pkg_out}/nembral-launcher.1"
  VERBATIM)
add_custom_command(OUTPUT "${_nembral_pkg_out}/changelog.gz"
  COMMAND gzip -9nc "${_nembral_pkg_src}/changelog" > "${_nembral_pkg_out}/changelog.gz"
  DEPENDS "${_nembral_pkg_src}/changelog"
  VERBATIM)
add_custom_target(nembral_packaging_files ALL
  DEPENDS "${_nembral_pkg_out}/nembral-launcher.1.gz" "${_nembral_pkg_out}/changelog.gz")
install(FILES "${_nembral_pkg_out}/nembral-launcher.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${_nembral_pkg_src}/copyright" "${_nembral_pkg_out}/changelog.gz" DESTINATION "${_nembral_docdir}")

# --- Debian package ----------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nembral-launcher)
set(CPACK_PACKAGE_VENDOR "Kandu")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${NEMBRAL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "launcher and updater for the Nembral application")
# The extended description as the control file shows it: lines of at most 79 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "The Nembral Launcher keeps an up-to-date copy of Nembral for each user."
  "Started instead of the application, it checks the version that the vendor"
  "publishes, installs or updates Nembral in the user's working directory"
  "(~/.local/share/nembral-launcher) when needed, or asks whether to update,"
  "then starts it and quits.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NEMBRAL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: whatever dpkg-shlibdeps finds the two binaries linked against. The toolkit's
# platform and GIF plug-ins come with libqt6gui6, which that already names.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Downloads verify TLS against the system's CA store unless SSL_CERT_FILE names another.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)

# The package lane's tests (the package preset runs them after its package step, as they read
# the .deb that cpack wrote): what the package holds (scripts/test-package.sh, label contents),
# and the table of roads on its installed launcher (tests/e2e, way deb). Off unless asked for:
# the package build has no other tests.
option(NEMBRAL_PACKAGE_TESTS "Register the Debian package's tests (run after cpack)" OFF)
if(NEMBRAL_PACKAGE_TESTS)
  enable_testing()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _nembral_arch
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(_nembral_deb "${CMAKE_BINARY_DIR}/nembral-launcher_${PROJECT_VERSION}_${_nembral_arch}.deb")
  add_test(NAME package-contents COMMAND bash "${CMAKE_SOURCE_DIR}/scripts/test-package.sh" "${_nembral_deb}")
  set_tests_properties(package-contents PROPERTIES LABELS "package;contents" TIMEOUT 600)
  # The installed launcher downloads from the vendor host it was built with, so its rows run one
  # after the other on that port.
  add_test(NAME e2e-deb
    COMMAND "${NEMBRAL_E2E_PYTHON}" -m pytest -p no:cacheprovider -q -rs "${CMAKE_SOURCE_DIR}/tests/e2e"
            --way deb --deb "${_nembral_deb}" --vendor-host "${NEMBRAL_VENDOR_HOST}")
  set_tests_properties(e2e-deb PROPERTIES LABELS "package;e2e;deb" TIMEOUT 1800 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endif()
