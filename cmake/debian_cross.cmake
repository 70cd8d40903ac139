# What every cross build for a panel shares, with Debian's cross compiler for
# TAVRIN_TARGET_TRIPLET: tests run under the user-mode emulator TAVRIN_QEMU
# against the cross compiler's own sysroot, so no target libraries are needed
# on the host. Included by the toolchain files, which name the target.
set(CMAKE_SYSTEM_NAME Linux)

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
find_program(TAVRIN_QEMU_USER NAMES ${TAVRIN_QEMU}-static ${TAVRIN_QEMU})
if(TAVRIN_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVRIN_QEMU_USER} -L ${TAVRIN_SYSROOT})
endif()

set(CMAKE_FIND_ROOT_PATH ${TAVRIN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
