# Toolchain for the whole tree (platform, driver, tests, tool) as a 32-bit x86
# Linux program, with the host's gcc and its multilib packages (g++-multilib).
# Pointers are then 32 bits wide, as on the driver's kernel, and every address
# the driver hands the controller is the pointer itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
# 32-bit libraries are in lib32 (multilib) or the i386 multiarch folder; the
# host's 64-bit libraries must not be picked up.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
