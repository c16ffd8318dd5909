# Cross build for the appliance (AArch64 Linux) on a Debian host:
#
#   scripts/install-deps --arch arm64
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# The compiler is Debian's g++-aarch64-linux-gnu; Qt is Debian's multiarch
# qtbase5-dev:arm64 under /usr/lib/aarch64-linux-gnu, while moc stays the host's
# (/usr/lib/qt5/bin, from qtbase5-dev-tools). Built programs run on the host under
# qemu-user, which ctest puts in front of every test; the arm64 C library and Qt
# that qemu's loader needs are the multiarch ones, found through the host's
# /etc/ld.so.conf.d, so no QEMU_LD_PREFIX is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries, headers and CMake packages come from the cross tree and the multiarch
# directories; programs (moc) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# qemu-user before 9 (Debian 12's qemu-user-static is 7.2) rejects clone() with
# CLONE_PIDFD, which Qt 5.15 uses for every QProcess on kernels with pidfd support:
# the program under test could then start neither tar nor any flashing tool.
find_program(SCANNER_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(SCANNER_QEMU_AARCH64)
    execute_process(COMMAND ${SCANNER_QEMU_AARCH64} --version OUTPUT_VARIABLE _scanner_qemu_version
                    ERROR_QUIET)
    string(REGEX MATCH "version ([0-9]+)" _scanner_qemu_version "${_scanner_qemu_version}")
    if(CMAKE_MATCH_1 LESS 9)
        message(WARNING "${SCANNER_QEMU_AARCH64} is older than qemu 9: tests that start "
                        "processes will fail under it (scripts/install-deps --arch arm64 "
                        "installs a newer one)")
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SCANNER_QEMU_AARCH64})
else()
    message(WARNING "no qemu-aarch64 found: the tests cannot run on this host")
endif()
