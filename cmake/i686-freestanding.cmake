# Toolchain for freestanding 32-bit x86 (i686, ELF) with clang: the driver
# image as a small kernel loads it, or a bare-metal kernel built around it.
#
#   cmake -S . -B build/target -DCMAKE_TOOLCHAIN_FILE=cmake/i686-freestanding.cmake
#
# Every compile flag of the image lives here. The code gets the compiler's own
# stdint.h and stddef.h (through the stand-ins in freestanding/) and no other
# library header; no exceptions, no RTTI, no thread-safe statics (they call
# the C++ runtime), no unwind tables, no SSE or x87 code (a kernel need not
# save those registers around the driver), no stack protector (it calls a
# runtime function). Global constructors and exit-time destructors are
# errors: a kernel's loader runs no initialisers.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TORVELIN_FREESTANDING_TARGET i686-unknown-none-elf)
find_program(TORVELIN_CLANG NAMES clang clang-14 REQUIRED)
find_program(TORVELIN_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_C_COMPILER ${TORVELIN_CLANG})
set(CMAKE_CXX_COMPILER ${TORVELIN_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${TORVELIN_FREESTANDING_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${TORVELIN_FREESTANDING_TARGET})
# Nothing is linked into an executable: objects are combined with `ld -r`.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# The linker that combines the image: binutils' ld knows 32-bit x86 ELF.
find_program(TORVELIN_IMAGE_LINKER NAMES ld.lld ld.lld-14 ld REQUIRED)

set(TORVELIN_FREESTANDING_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/freestanding)
set(_torvelin_freestanding_flags
    "-march=i686 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics \
-fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-pic \
-mgeneral-regs-only -nostdlibinc -nostdinc++ -isystem ${TORVELIN_FREESTANDING_INCLUDE} \
-Wglobal-constructors -Wexit-time-destructors")
set(CMAKE_C_FLAGS_INIT "${_torvelin_freestanding_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_torvelin_freestanding_flags}")
unset(_torvelin_freestanding_flags)

# Only the compiler's and the project's own headers and files.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A release image is optimised for speed as the kernel's other code would be,
# without the larger code of -O3.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a release image")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a release image")
