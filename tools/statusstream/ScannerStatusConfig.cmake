# The CMake package of libscannerstatus: find_package(ScannerStatus) gives the target
# ScannerStatus::ScannerStatus, which brings its headers and Qt 5 Core with it.
include(CMakeFindDependencyMacro)
find_dependency(Qt5 5.12 COMPONENTS Core)
include(${CMAKE_CURRENT_LIST_DIR}/ScannerStatusTargets.cmake)
