# Cross build for the 32-bit ARM boards (Debian armhf, ARMv7-A).
# The find-root modes stay at their defaults: the multiarch armhf GoogleTest
# lives beside the host libraries, and an ONLY mode would hide it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER   arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Tests whose command is a target run through qemu; children they exec rely on binfmt.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
