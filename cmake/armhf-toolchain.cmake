# Cross build for 32-bit ARM (armhf) with Debian's cross toolchain and the multiarch armhf
# builds of the Android platform libraries. Tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Multiarch keeps the armhf libraries under /usr/lib/arm-linux-gnueabihf; never pick up the
# host's copies of the same names.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake /usr/lib/x86_64-linux-gnu/android)

# Under qemu-arm the host kernel hands out 64-bit directory offsets and inode numbers, which
# make the 32-bit readdir(), nftw() and stat() fail with EOVERFLOW (a real 32-bit kernel
# would not). Large-file interfaces keep them working; no platform header used here passes
# off_t across a library built without them.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
# g++ 12 at -O2 reports out-of-bounds memmoves inside libstdc++'s inlined std::vector::insert
# of empty ranges (a known false positive); keep the warning, but do not fail the build on it.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-error=array-bounds")

# libbacktrace needs 7z.so, whose armhf package cannot sit beside the host one, so it is
# unpacked into a private directory (scripts/armhf.sh does that).
if(NOT TONVALE_ARMHF_SYSROOT)
    if(DEFINED ENV{TONVALE_ARMHF_SYSROOT})
        set(TONVALE_ARMHF_SYSROOT "$ENV{TONVALE_ARMHF_SYSROOT}")
    else()
        get_filename_component(TONVALE_ARMHF_SYSROOT
            "${CMAKE_CURRENT_LIST_DIR}/../build/armhf-sysroot" ABSOLUTE)
    endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TONVALE_ARMHF_SYSROOT)

set(_armhf_libs "${TONVALE_ARMHF_SYSROOT}/usr/lib/p7zip:/usr/lib/arm-linux-gnueabihf/android")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_armhf_libs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_armhf_libs}")

# ctest runs target binaries through this. The multiarch armhf libraries pull in libc6:armhf,
# a newer glibc than the cross toolchain's; -L alone would load the cross ld.so with the
# multiarch libc.so.6 (pthread_create then crashes), so the cross runtime comes first.
set(TONVALE_ARMHF_LD_LIBRARY_PATH "/usr/arm-linux-gnueabihf/lib:${_armhf_libs}")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf
    -E "LD_LIBRARY_PATH=${TONVALE_ARMHF_LD_LIBRARY_PATH}")
