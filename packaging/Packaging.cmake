# Install rules and the Debian package. `cmake --install` lays out the binary, the manual page,
# the systemd unit with its account and folders, the bash completion and the docs under the
# prefix; `cpack -G DEB` (or the "deb" workflow preset) packs the same tree.
include(GNUInstallDirs)

set(DROVN_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Where the service unit goes, relative to the prefix unless absolute")
set(DROVN_PACKAGE_MAINTAINER "drovn maintainers <maintainers@drovn.example>" CACHE STRING
    "The Maintainer field of the Debian package")

set(packaging_dir ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(packaging_out ${CMAKE_CURRENT_BINARY_DIR}/packaging)

# Manual pages and changelogs are installed compressed, as Debian expects; -n keeps the name
# and time out of the archive, so the same source gives the same bytes.
find_program(DROVN_GZIP gzip REQUIRED)
set(compressed)
foreach(doc drovn.1 changelog)
  add_custom_command(OUTPUT ${packaging_out}/${doc}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${packaging_out}
    COMMAND ${DROVN_GZIP} -9nc ${packaging_dir}/${doc} > ${packaging_out}/${doc}.gz
    DEPENDS ${packaging_dir}/${doc}
    VERBATIM)
  list(APPEND compressed ${packaging_out}/${doc}.gz)
endforeach()
# Built with the server, so that building the drovn target alone is enough to install.
add_custom_target(drovn_docs DEPENDS ${compressed})
add_dependencies(drovn drovn_docs)

configure_file(${packaging_dir}/drovn.service.in ${packaging_out}/drovn.service @ONLY)

# Full RELRO for the installed server: its relocations are resolved at start and then made
# read-only, so a stray write cannot redirect a library call.
target_link_options(drovn PRIVATE -Wl,-z,relro,-z,now)

install(TARGETS drovn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${packaging_out}/drovn.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${packaging_out}/drovn.service DESTINATION ${DROVN_SYSTEMD_UNITDIR})
install(FILES ${packaging_dir}/drovn.sysusers DESTINATION lib/sysusers.d RENAME drovn.conf)
install(FILES ${packaging_dir}/drovn.tmpfiles DESTINATION lib/tmpfiles.d RENAME drovn.conf)
install(FILES ${packaging_dir}/drovn.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME drovn)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${packaging_dir}/copyright
              ${packaging_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drovn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_CONTACT ${DROVN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small FTP server with an operator console")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "drovn serves one directory to FTP clients over the classic command set,\n"
  "with active and passive data connections, two named accounts and an\n"
  "anonymous account, and at most 50 clients at once. On a terminal it shows\n"
  "its log in an operator console where the service is started, stopped and\n"
  "configured; as a system service it prints the log to the journal.")
# The package installs where the build was configured to, so that the unit starts the binary
# it ships; the "deb" preset configures /usr.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DROVN_PACKAGE_MAINTAINER})
# The dependencies come from the libraries the binary links, not from a list kept by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# OpenSSL is loaded at run time, only for TLS: the shared-library scan does not see it, and a
# server without it runs all the same.
if(DROVN_HAVE_TLS)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libssl3 (>= 3.0)")
endif()
# Creates the service's account and folders at install; starts and enables nothing.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging_dir}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
