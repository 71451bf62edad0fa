# The common half of the toolchain files beside it: a Debian cross compiler
# for the triplet TARSK_CROSS_TRIPLET, the target's libraries installed
# through multiarch (/usr/lib/<triplet>, headers in /usr/include) or kept in
# a folder of their own (-DTARSK_CROSS_ROOT=...), and qemu's
# user-mode emulator to run what is built, so that ctest and GoogleTest's
# test discovery run the target's programs here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TARSK_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARSK_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TARSK_CROSS_TRIPLET})
# The compiler checks read this file again in projects of their own: they
# must take the same branch below, since what it sets in the environment
# holds for the whole run.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARSK_CROSS_ROOT)

if(NOT TARSK_CROSS_ROOT)
  # The target's libraries from multiarch packages: the target's .pc files
  # only, never the build machine's. The programs load the multiarch libc,
  # libstdc++ and popt (in /lib/<triplet> and /usr/lib/<triplet>, with the
  # loader in /lib). No -L to the cross compiler's own copy under
  # /usr/<triplet>: its loader is of another build than the multiarch libc
  # that the loader would then find, and the pair hangs in the first
  # thread's creation.
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${TARSK_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
  find_program(TARSK_CROSS_QEMU qemu-${TARSK_CROSS_QEMU_ARCH} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARSK_CROSS_QEMU})
else()
  # popt unpacked and GoogleTest built in the folder TARSK_CROSS_ROOT
  # (scripts/deps-cross.sh ARCH ROOT); the programs run on the cross
  # compiler's loader and libc (-L), with popt found in the folder. /lib
  # first, which -L turns into the cross compiler's: a multiarch libc of
  # the target, where one is installed, must not come before it.
  set(ENV{PKG_CONFIG_LIBDIR} "${TARSK_CROSS_ROOT}/usr/lib/${TARSK_CROSS_TRIPLET}/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TARSK_CROSS_ROOT}")
  list(APPEND CMAKE_PREFIX_PATH "${TARSK_CROSS_ROOT}/usr")
  find_program(TARSK_CROSS_QEMU qemu-${TARSK_CROSS_QEMU_ARCH} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARSK_CROSS_QEMU} -L /usr/${TARSK_CROSS_TRIPLET}
      -E LD_LIBRARY_PATH=/lib:${TARSK_CROSS_ROOT}/usr/lib/${TARSK_CROSS_TRIPLET})
endif()
unset(ENV{PKG_CONFIG_PATH})
