# Installation and the Debian binary package.
#
#   cmake --install <build-dir> [--prefix <prefix>]
#       installs <prefix>/sbin/mervex (it must run as root, like the other
#       firewall tools), <prefix>/share/man/man8/mervex.8.gz, the bash
#       completion and the copyright file
#   cpack -G DEB            (run in the build directory)
#       builds mervex_<version>_<arch>.deb, installing into /usr

include(GNUInstallDirs)

install(TARGETS mervex RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# The manual page carries the project's version; it is compressed at build
# time the way Debian ships manual pages: maximum compression, no file name
# and no time stamp in the header, so the same source always gives the same
# bytes.
find_program(MERVEX_GZIP gzip REQUIRED)
set(mervex_man_dir ${PROJECT_BINARY_DIR}/man)
configure_file(${PROJECT_SOURCE_DIR}/man/mervex.8.in ${mervex_man_dir}/mervex.8 @ONLY)
set(mervex_man_page ${mervex_man_dir}/mervex.8.gz)
add_custom_command(
  OUTPUT ${mervex_man_page}
  COMMAND ${MERVEX_GZIP} -9nkf ${mervex_man_dir}/mervex.8
  DEPENDS ${mervex_man_dir}/mervex.8
  COMMENT "Compressing the manual page mervex(8)"
  VERBATIM)
add_custom_target(mervex_man ALL DEPENDS ${mervex_man_page})
install(FILES ${mervex_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# Completion of the options, and of backup archives after --file and
# --check, loaded on demand by bash-completion.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/mervex
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(MERVEX_PACKAGE_MAINTAINER "mervex maintainers <mervex@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# Documentation directory: a changelog entry for this version (dated by
# SOURCE_DATE_EPOCH when it is set, so that a package can be rebuilt
# byte for byte) and the licence in Debian's machine-readable copyright
# format (the same MIT licence as LICENSE).
string(TIMESTAMP mervex_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(mervex_changelog ${PROJECT_BINARY_DIR}/doc/changelog)
file(CONFIGURE OUTPUT ${mervex_changelog} @ONLY CONTENT
"mervex (@PROJECT_VERSION@) unstable; urgency=medium

  * mervex @PROJECT_VERSION@.

 -- @MERVEX_PACKAGE_MAINTAINER@  @mervex_changelog_date@
")
add_custom_command(
  OUTPUT ${mervex_changelog}.gz
  COMMAND ${MERVEX_GZIP} -9nkf ${mervex_changelog}
  DEPENDS ${mervex_changelog}
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(mervex_changelog ALL DEPENDS ${mervex_changelog}.gz)
install(FILES ${mervex_changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian binary package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mervex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${MERVEX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MERVEX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Shared library dependencies come from dpkg-shlibdeps. mervex also runs the
# system tar (with gzip) for every extraction and packing; the lowest
# versions named are of the same age as the oldest Boost the build accepts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tar (>= 1.30), gzip (>= 1.9)")

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "convert host firewall rules from configuration format 1.0 to 1.1")
set(CPACK_PACKAGE_DESCRIPTION
    "mervex reads a full backup of the host firewall installed under
/opt/varno-firewall (a gzip-compressed tar archive), merges its two legacy
rule files of format 1.0, cfgSystemRule and cfgNetworkFlowRule, into one
ordered list, and writes it as the unified rule file cfgRule of format 1.1
and as the Suricata rule file cfg.rules. Both files are packed into a new
archive beside the backup.

Each conversion is locked against concurrent runs, refuses legacy rules it
cannot express, never overwrites an existing file and leaves nothing behind
when it fails.")

include(CPack)
