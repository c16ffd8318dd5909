# Install rules and packages. Included at the end of the top-level CMakeLists.txt,
# after tools/ and tests/, so that it sees every program target.
#
# Four components, each packed as .deb and .tar.gz by cpack:
#   device  scanner-upgrade: the device program;
#   host    scanner-upgrade-tools: the host tools that exist in this tree
#           (upgrade-pack, and the status stream reader scanner-status);
#   lib     libscannerstatus1: the status stream library, which scanner-status links;
#   dev     libscannerstatus-dev: what a program needs to build against the library:
#           headers, the unversioned link, a CMake package and a pkg-config file.
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

# The library where Debian keeps its own, in the multiarch directory, whatever the prefix.
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(SCANNER_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
    set(SCANNER_LIBDIR ${CMAKE_INSTALL_LIBDIR})
endif()
get_target_property(SCANNER_STATUS_SOVERSION scannerstatus SOVERSION)
set(SCANNER_STATUS_PACKAGE libscannerstatus${SCANNER_STATUS_SOVERSION})
set(_scanner_cmakedir ${SCANNER_LIBDIR}/cmake/ScannerStatus)
# A shared library is not run: read and write for its owner, read for everyone else.
install(
    TARGETS scannerstatus EXPORT ScannerStatusTargets
    LIBRARY DESTINATION ${SCANNER_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
            PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/tools/statusstream/scannerstatus/statusstream.h
              ${CMAKE_SOURCE_DIR}/tools/statusstream/scannerstatus/statusreader.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/scannerstatus COMPONENT dev)
install(EXPORT ScannerStatusTargets NAMESPACE ScannerStatus:: DESTINATION ${_scanner_cmakedir}
        COMPONENT dev)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(
    ${CMAKE_BINARY_DIR}/ScannerStatusConfigVersion.cmake VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_SOURCE_DIR}/tools/statusstream/ScannerStatusConfig.cmake
              ${CMAKE_BINARY_DIR}/ScannerStatusConfigVersion.cmake
        DESTINATION ${_scanner_cmakedir} COMPONENT dev)
# The pkg-config file finds its prefix from where it lies, so that it also serves from a root
# that the packages were unpacked into (dpkg -x).
file(RELATIVE_PATH SCANNER_PC_PREFIX /usr/${SCANNER_LIBDIR}/pkgconfig /usr)
configure_file(${CMAKE_SOURCE_DIR}/tools/statusstream/scannerstatus.pc.in
               ${CMAKE_BINARY_DIR}/scannerstatus.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/scannerstatus.pc DESTINATION ${SCANNER_LIBDIR}/pkgconfig
        COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/tools/statusstream/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${SCANNER_STATUS_PACKAGE}
        COMPONENT lib)

set(SCANNER_PACKAGE_CONTACT "Scanner upgrade maintainers <maintainers@users.noreply.example>"
    CACHE STRING "Maintainer named in the packages")

# The packages' documentation, made at build time by cmake/package-docs, each file
# from one source: copyright from LICENSE, changelog from CHANGELOG.md, the device
# program's page from man/ with the status code table of docs/status-stream.md, and each host
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
    OUTPUT ${_scanner_docs}/scannerstatus.md.gz
    COMMAND ${_scanner_docs_script} doc ${_scanner_docs}/scannerstatus.md.gz
            ${CMAKE_SOURCE_DIR}/docs/scannerstatus.md
    DEPENDS ${_scanner_docs_script} ${CMAKE_SOURCE_DIR}/docs/scannerstatus.md VERBATIM)
add_custom_command(
    OUTPUT ${_scanner_docs}/scanner-upgrade.8.gz
    COMMAND ${_scanner_docs_script} page ${_scanner_docs}/scanner-upgrade.8.gz
            ${CMAKE_SOURCE_DIR}/man/scanner-upgrade.8 ${CMAKE_SOURCE_DIR}/docs/status-stream.md
            ${PROJECT_VERSION}
    DEPENDS ${_scanner_docs_script} ${CMAKE_SOURCE_DIR}/man/scanner-upgrade.8
            ${CMAKE_SOURCE_DIR}/docs/status-stream.md ${_scanner_epoch} VERBATIM)
set(_scanner_doc_files ${_scanner_docs}/copyright ${_scanner_docs}/changelog.gz)
install(FILES ${_scanner_doc_files} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/scanner-upgrade
        COMPONENT device)
if(SCANNER_HOST_PROGRAMS)
    install(FILES ${_scanner_doc_files}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/scanner-upgrade-tools COMPONENT host)
endif()
install(FILES ${_scanner_doc_files}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${SCANNER_STATUS_PACKAGE} COMPONENT lib)
install(FILES ${_scanner_doc_files} ${_scanner_docs}/scannerstatus.md.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libscannerstatus-dev COMPONENT dev)
install(FILES ${_scanner_docs}/scanner-upgrade.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT device)
list(APPEND _scanner_doc_files ${_scanner_docs}/scanner-upgrade.8.gz
     ${_scanner_docs}/scannerstatus.md.gz)

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

set(CPACK_COMPONENTS_ALL device lib dev)
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
# dpkg-shlibdeps finds the library that scanner-status links in the build, not in a package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/tools/statusstream)
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "${SCANNER_STATUS_PACKAGE} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${SCANNER_STATUS_PACKAGE})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_DESCRIPTION
    "Status stream library for the document-scanner appliance's upgrades
The appliance's main application follows scanner-upgrade through the status
messages on its standard output. This library splits that stream into
messages and tool output, tells each message's code, kind and meaning, and
runs the device program with Qt signals for each message, stage and outcome.")
# The library's shlibs file: a program built against this version runs with any later one of
# the same soname. Debian wants an ldconfig trigger where CPack writes maintainer scripts that
# run ldconfig; the package has both, and lintian overrides (beside the trigger) that say so.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/tools/statusstream/triggers)
set(CPACK_ARCHIVE_LIB_FILE_NAME ${SCANNER_STATUS_PACKAGE}-${PROJECT_VERSION}-${SCANNER_DEB_ARCH})

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libscannerstatus-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${SCANNER_STATUS_PACKAGE} (= ${PROJECT_VERSION}), qtbase5-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "Status stream library for the appliance's upgrades (development files)
Headers, the CMake package ScannerStatus, the pkg-config file scannerstatus
and the documentation of libscannerstatus, which reads the status stream of
the document-scanner appliance's firmware upgrade program.")
set(CPACK_ARCHIVE_DEV_FILE_NAME libscannerstatus-dev-${PROJECT_VERSION}-${SCANNER_DEB_ARCH})

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
