# Cross build for 64-bit Arm on an x86-64 Debian, with Debian's multiarch
# :arm64 development packages and crossbuild-essential-arm64. Tests run
# under qemu-aarch64. Concurrency Kit's arm64 packages cannot be installed
# beside the x86-64 ones: they are unpacked into build/arm64-ck instead
# (README, "Arm servers").
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The :arm64 packages put arm64's C library and loader where the emulator
# finds them by default; with -L /usr/aarch64-linux-gnu (the cross
# compiler's own copy) the programs hang at start.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# pkg-config reads arm64's .pc files, and Concurrency Kit's from where it
# was unpacked, its paths moved there.
get_filename_component(ck_root ${CMAKE_CURRENT_LIST_DIR}/../build/arm64-ck ABSOLUTE)
set(ck_pc ${ck_root}/usr/lib/aarch64-linux-gnu/pkgconfig/ck.pc)
if(EXISTS ${ck_pc})
  file(READ ${ck_pc} pc)
  string(REPLACE "=/usr" "=${ck_root}/usr" pc "${pc}")
  file(WRITE ${ck_root}/pkgconfig/ck.pc "${pc}")
endif()
set(ENV{PKG_CONFIG_LIBDIR}
    "${ck_root}/pkgconfig:/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
