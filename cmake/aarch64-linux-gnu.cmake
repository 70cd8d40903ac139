# Cross build for panels with a 64-bit ARM userland (Debian's arm64), with
# Debian's g++-aarch64-linux-gnu. Tests run under qemu-aarch64 against the
# cross compiler's own sysroot, so no arm64 libraries are needed on the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TAVRIN_TARGET_TRIPLET aarch64-linux-gnu)
set(TAVRIN_SYSROOT /usr/${TAVRIN_TARGET_TRIPLET} CACHE PATH
    "Root holding the target's C library, used by the emulator to load test programs")

set(CMAKE_C_COMPILER ${TAVRIN_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TAVRIN_TARGET_TRIPLET}-g++)
# Named rather than guessed: the needed-libraries check and the debug
# symbols package must read and split the ARM binary with the ARM tools.
find_program(CMAKE_READELF ${TAVRIN_TARGET_TRIPLET}-readelf REQUIRED)
find_program(CMAKE_STRIP ${TAVRIN_TARGET_TRIPLET}-strip REQUIRED)
find_program(CMAKE_OBJCOPY ${TAVRIN_TARGET_TRIPLET}-objcopy REQUIRED)

# qemu-user-static's binary works with or without binfmt_misc registered.
find_program(TAVRIN_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(TAVRIN_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVRIN_QEMU_AARCH64} -L ${TAVRIN_SYSROOT})
endif()

set(CMAKE_FIND_ROOT_PATH ${TAVRIN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# What Debian calls this architecture, for the package name and control file.
set(TAVRIN_DEB_ARCHITECTURE arm64)
