# Cross build for the panel: 32-bit ARM, hard-float, glibc, with Debian's
# g++-arm-linux-gnueabihf, its tests under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TAVRIN_TARGET_TRIPLET arm-linux-gnueabihf)
set(TAVRIN_QEMU qemu-arm)
# What Debian calls this architecture, for the package name and control file.
set(TAVRIN_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
