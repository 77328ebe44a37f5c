# The Debian package (scripts/package.sh builds it with CPack's DEB generator): the program,
# its desktop entry, icon and manual (installed above), the man page, the systemd unit, the
# copyright file and the changelog. Dependencies are read from the binary by dpkg-shlibdeps.

set(VELMORA_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VELMORA_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)
set(VELMORA_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/velmora-nvr)

# The unit starts the installed program.
set(VELMORA_UNIT_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/velmora-nvr)
configure_file(${VELMORA_PACKAGING_DIR}/velmora-nvr.service.in ${VELMORA_PACKAGING_OUT}/velmora-nvr.service @ONLY)
# Debian 12 keeps the units of packages in /lib/systemd/system; an installation under another
# prefix puts the unit below that prefix (systemd also reads /usr/local/lib/systemd/system).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VELMORA_UNIT_DIR /lib/systemd/system)
else()
  set(VELMORA_UNIT_DIR lib/systemd/system)
endif()
install(FILES ${VELMORA_PACKAGING_OUT}/velmora-nvr.service DESTINATION ${VELMORA_UNIT_DIR})

# The man page and the changelog compressed as Debian wants them: gzip -9n, no name or time
# stamp inside, so that two builds give the same bytes.
find_program(VELMORA_GZIP gzip REQUIRED)
set(velmora_gzipped)
foreach(pair "docs/velmora-nvr.1|velmora-nvr.1.gz" "packaging/changelog|changelog.Debian.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  add_custom_command(OUTPUT ${VELMORA_PACKAGING_OUT}/${target}
    COMMAND sh -c "${VELMORA_GZIP} -9n -c '${PROJECT_SOURCE_DIR}/${source}' > '${VELMORA_PACKAGING_OUT}/${target}'"
    DEPENDS ${PROJECT_SOURCE_DIR}/${source}
    COMMENT "Compressing ${source}"
    VERBATIM)
  list(APPEND velmora_gzipped ${VELMORA_PACKAGING_OUT}/${target})
endforeach()
add_custom_target(velmora_package_docs ALL DEPENDS ${velmora_gzipped})
install(FILES ${VELMORA_PACKAGING_OUT}/velmora-nvr.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${VELMORA_PACKAGING_DIR}/copyright ${VELMORA_PACKAGING_OUT}/changelog.Debian.gz
        DESTINATION ${VELMORA_PACKAGE_DOCDIR})

# The package's version: the project's, with "~pre<n>" for a pre-release (sorts before the
# release), then the Debian revision.
set(VELMORA_DEB_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
if(PROJECT_VERSION_TWEAK GREATER 0)
  string(APPEND VELMORA_DEB_VERSION "~pre${PROJECT_VERSION_TWEAK}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora-nvr)
set(CPACK_PACKAGE_VERSION ${VELMORA_DEB_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmora NVR maintainers")
set(CPACK_PACKAGE_CONTACT "Velmora NVR maintainers <maintainers@users.noreply.c-seed-510f070b.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The unit's absolute destination is taken into the package as it stands.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries the binary links: what the window loads at run time (the platform
# plugins and the SVG icon engine), and adduser for the service's user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
# The first line is the synopsis; CPack indents the others and writes an empty one as " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "network video recorder for IP cameras
Velmora NVR keeps a tree of IP cameras and video servers, shows their live
images, records them into hourly files, detects motion, deletes old
recordings by age and disk fullness, plays recordings back on a timeline,
exports AVI or JPEG files, finds cameras on the local network and serves its
devices, newest images and recordings over HTTP.

It runs with a window on a desktop, or headless as the systemd service
velmora-nvr.service under the system user velmora.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VELMORA_PACKAGING_DIR}/postinst ${VELMORA_PACKAGING_DIR}/prerm ${VELMORA_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
