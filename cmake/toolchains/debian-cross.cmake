# Shared by the per-target toolchain files, which set SERVO_TRIPLET (Debian's
# name of the cross compiler), CMAKE_SYSTEM_PROCESSOR and SERVO_QEMU.
set(CMAKE_SYSTEM_NAME Linux)

find_program(SERVO_CROSS_CC ${SERVO_TRIPLET}-gcc)
find_program(SERVO_CROSS_CXX ${SERVO_TRIPLET}-g++)
if(NOT SERVO_CROSS_CC OR NOT SERVO_CROSS_CXX)
  message(FATAL_ERROR "${SERVO_TRIPLET}-g++ not found: install g++-${SERVO_TRIPLET} (scripts/deps.sh does)")
endif()
set(CMAKE_C_COMPILER ${SERVO_CROSS_CC})
set(CMAKE_CXX_COMPILER ${SERVO_CROSS_CXX})

# pkg-config sees the target's .pc files only: the host's libsystemd would not link.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${SERVO_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Libraries and packages of the target only: the host's GoogleTest would not link.
set(CMAKE_FIND_ROOT_PATH /usr/${SERVO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs run under qemu-user, unless the build was given an emulator:
# an empty one on a host that runs the target's programs itself. The runtime
# libraries come from Debian's multiarch packages (libc6:ARCH, libstdc++6:ARCH).
# try_compile projects read this file too: they get the build's choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CMAKE_CROSSCOMPILING_EMULATOR)
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(SERVO_QEMU_PROGRAM ${SERVO_QEMU})
  if(NOT SERVO_QEMU_PROGRAM)
    message(FATAL_ERROR "${SERVO_QEMU} not found: install qemu-user (scripts/deps.sh does), "
                        "or give -DCMAKE_CROSSCOMPILING_EMULATOR= on a host that runs ${CMAKE_SYSTEM_PROCESSOR} programs")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SERVO_QEMU_PROGRAM} CACHE STRING
      "Runs the target's programs here; empty where the host runs them itself")
endif()
