# Install rules and packages. Included at the end of the top-level CMakeLists.txt,
# after tools/ and tests/, so that it sees every program target.
#
# Two components, each packed as .deb and .tar.gz by cpack:
#   device  scanner-upgrade: the device program;
#   host    scanner-upgrade-tools: the host tools that exist in this tree
#           (upgrade-pack, and the status stream reader scanner-status).
# Each also carries a manual page per program, and its copyright and changelog.
# The packages are for the architecture being built: the cross build makes arm64.

include(GNUInstallDirs)

install(TARGETS scanner-upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT device)

set(SCANNER_HOST_PROGRAMS "")
foreach(tool upgrade-pack scanner-status)
    if(TARGET ${tool})
        install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
        list(APPEND SCANNER_HOST_PROGRAMS ${tool})
    endif()
endforeach()

set(SCANNER_PACKAGE_CONTACT "Scanner upgrade maintainers <maintainers@users.noreply.example>"
    CACHE STRING "Maintainer named in the packages")

# The packages' documentation, made at build time by cmake/package-docs, each file
# from one source: copyright from LICENSE, changelog from CHANGELOG.md, the device
# program's page from man/ with the README's status code table, and each host
# tool's page from its own --help through help2man.
set(_scanner_docs ${CMAKE_BINARY_DIR}/docs)
set(_scanner_docs_script ${CMAKE_SOURCE_DIR}/cmake/package-docs)
file(MAKE_DIRECTORY ${_scanner_docs})
# The pages are dated SOURCE_DATE_EPOCH's month when it is set (scripts/package sets it): a
# configure with another value remakes them, or a package would carry the date of an older
# build.
set(_scanner_epoch ${_scanner_docs}/source-date-epoch)
if(EXISTS ${_scanner_epoch})
    file(READ ${_scanner_epoch} _scanner_epoch_was)
endif()
if(NOT EXISTS ${_scanner_epoch} OR NOT "${_scanner_epoch_was}" STREQUAL "$ENV{SOURCE_DATE_EPOCH}")
    file(WRITE ${_scanner_epoch} "$ENV{SOURCE_DATE_EPOCH}")
endif()
add_custom_command(
    OUTPUT ${_scanner_docs}/copyright
    COMMAND ${_scanner_docs_script} copyright ${_scanner_docs}/copyright ${CMAKE_SOURCE_DIR}/LICENSE
            ${PROJECT_NAME} ${SCANNER_PACKAGE_CONTACT}
    DEPENDS ${_scanner_docs_script} ${CMAKE_SOURCE_DIR}/LICENSE VERBATIM)
add_custom_command(
    OUTPUT ${_scanner_docs}/changelog.gz
    COMMAND ${_scanner_docs_script} changelog ${_scanner_docs}/changelog.gz
            ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${PROJECT_NAME} ${SCANNER_PACKAGE_CONTACT}
    DEPENDS ${_scanner_docs_script} ${CMAKE_SOURCE_DIR}/CHANGELOG.md VERBATIM)
add_custom_command(
    OUTPUT ${_scanner_docs}/scanner-upgrade.8.gz
    COMMAND ${_scanner_docs_script} page ${_scanner_docs}/scanner-upgrade.8.gz
            ${CMAKE_SOURCE_DIR}/man/scanner-upgrade.8 ${CMAKE_SOURCE_DIR}/README.md ${PROJECT_VERSION}
    DEPENDS ${_scanner_docs_script} ${CMAKE_SOURCE_DIR}/man/scanner-upgrade.8
            ${CMAKE_SOURCE_DIR}/README.md ${_scanner_epoch} VERBATIM)
set(_scanner_doc_files ${_scanner_docs}/copyright ${_scanner_docs}/changelog.gz)
install(FILES ${_scanner_doc_files} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/scanner-upgrade
        COMPONENT device)
if(SCANNER_HOST_PROGRAMS)
    install(FILES ${_scanner_doc_files}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/scanner-upgrade-tools COMPONENT host)
endif()
install(FILES ${_scanner_docs}/scanner-upgrade.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT device)
list(APPEND _scanner_doc_files ${_scanner_docs}/scanner-upgrade.8.gz)

# The host tools' pages need help2man, and the tools must run here: a cross build
# runs them under its emulator. The instrumented builds make no packages, and a
# sanitizer report from --help should fail a test, not the build.
find_program(SCANNER_HELP2MAN help2man)
set(_scanner_summary_upgrade-pack "build, inspect and check upgrade packages")
set(_scanner_summary_scanner-status "follow the status stream of scanner-upgrade")
if(NOT SCANNER_HELP2MAN)
    message(STATUS "help2man not found: the host tools get no manual pages")
elseif(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(WARNING "no emulator to run the host tools: they get no manual pages")
elseif(NOT SCANNER_SANITIZE AND NOT SCANNER_FUZZ)
    foreach(tool ${SCANNER_HOST_PROGRAMS})
        add_custom_command(
            OUTPUT ${_scanner_docs}/${tool}.1.gz
            COMMAND ${_scanner_docs_script} help ${_scanner_docs}/${tool}.1.gz ${tool} 1
                    ${PROJECT_VERSION} ${_scanner_summary_${tool}} ${CMAKE_CROSSCOMPILING_EMULATOR}
                    $<TARGET_FILE:${tool}>
            DEPENDS ${_scanner_docs_script} ${tool} ${_scanner_epoch} VERBATIM)
        install(FILES ${_scanner_docs}/${tool}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
                COMPONENT host)
        list(APPEND _scanner_doc_files ${_scanner_docs}/${tool}.1.gz)
    endforeach()
endif()
add_custom_target(package-docs ALL DEPENDS ${_scanner_doc_files})

# Debian's name for the target architecture: dpkg --print-architecture would name
# the build machine's, which is wrong when cross-building.
set(_scanner_deb_arches aarch64 arm64 x86_64 amd64 i686 i386 armv7l armhf)
list(FIND _scanner_deb_arches "${CMAKE_SYSTEM_PROCESSOR}" _scanner_arch_index)
if(_scanner_arch_index GREATER_EQUAL 0)
    math(EXPR _scanner_arch_index "${_scanner_arch_index} + 1")
    list(GET _scanner_deb_arches ${_scanner_arch_index} SCANNER_DEB_ARCH)
else()
    set(SCANNER_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_PACKAGE_NAME scanner-upgrade)
set(CPACK_PACKAGE_VENDOR "Scanner upgrade maintainers")
set(CPACK_PACKAGE_CONTACT "${SCANNER_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES TRUE)
# The archives hold the same tree as the .deb (usr/bin/...), to unpack into a root
# file system.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)

set(CPACK_COMPONENTS_ALL device)
if(SCANNER_HOST_PROGRAMS)
    list(APPEND CPACK_COMPONENTS_ALL host)
endif()
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SCANNER_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Both packages come from this one source tree, whose changelog they carry.
set(CPACK_DEBIAN_PACKAGE_SOURCE ${PROJECT_NAME})
# dpkg-shlibdeps names what the programs link against: the C and C++ run-times and
# Qt 5 Core, nothing else.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_DEVICE_PACKAGE_NAME scanner-upgrade)
# lintian wants the lines of the long descriptions within 80 columns.
set(CPACK_DEBIAN_DEVICE_DESCRIPTION
    "Firmware upgrade tool of the document-scanner appliance
The appliance's main application starts scanner-upgrade with an upgrade
package. The program checks and unpacks the package, has the appliance's
tools flash the firmware, and reports every stage on its standard output.")
set(CPACK_ARCHIVE_DEVICE_FILE_NAME scanner-upgrade-${PROJECT_VERSION}-${SCANNER_DEB_ARCH})

set(CPACK_DEBIAN_HOST_PACKAGE_NAME scanner-upgrade-tools)
set(CPACK_DEBIAN_HOST_DESCRIPTION
    "Host tools for the document-scanner appliance's upgrade packages
upgrade-pack builds, inspects, extracts and verifies upgrade packages and
builds firmware archives; scanner-status splits the device program's status
stream into messages and explains each of them.")
# Without lbzip2 upgrade-pack firmware compresses on one core only.
set(CPACK_DEBIAN_HOST_PACKAGE_RECOMMENDS lbzip2)
set(CPACK_ARCHIVE_HOST_FILE_NAME scanner-upgrade-tools-${PROJECT_VERSION}-${SCANNER_DEB_ARCH})

include(CPack)

# Checks what scripts/package produced; skipped until packages exist. A script run
# on the build machine, so never under the emulator; it runs the host tools through
# SCANNER_EMULATOR.
if(BUILD_TESTING)
    add_test(NAME tst_packages
             COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/check-packages ${CPACK_PACKAGE_DIRECTORY}
                     ${SCANNER_DEB_ARCH} ${CMAKE_SYSTEM_PROCESSOR} ${PROJECT_VERSION}
                     $<TARGET_FILE:scanner-upgrade> ${SCANNER_HOST_PROGRAMS})
    # It builds the packages a second time, in another directory.
    set_tests_properties(
        tst_packages
        PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 3600
                   ENVIRONMENT "SCANNER_EMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR};SCANNER_SOURCE_DIR=${CMAKE_SOURCE_DIR};SCANNER_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}")
endif()
