# Cross build for panels with a 64-bit ARM userland (Debian's arm64), with
# Debian's g++-aarch64-linux-gnu, its tests under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TAVRIN_TARGET_TRIPLET aarch64-linux-gnu)
set(TAVRIN_QEMU qemu-aarch64)
# What Debian calls this architecture, for the package name and control file.
set(TAVRIN_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
