# 32-bit ARM Linux, hard-float.
set(SERVO_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SERVO_QEMU qemu-arm)
# GCC notes that GCC 7.1 changed how some arguments pass on ARM; nothing here
# links with code built by an older GCC.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
