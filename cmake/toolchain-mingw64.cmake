# MinGW-w64 cross toolchain for x86-64 Windows. Only 64-bit: the Wine we test under runs no
# 32-bit programs, and a 32-bit exe there silently does nothing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_scanfw_triple x86_64-w64-mingw32)
# The win32 thread model: its C++ runtime uses Windows' own primitives, so what ships links no
# threading library (the posix model's libstdc++ and libgcc reach winpthreads through their
# exception handling, even in a program that starts no thread). GoogleTest needs std::mutex, which
# GCC 12 has only in the posix model: its programs are built with that model's driver
# (SCANFW_POSIX_THREAD_MODEL, see posix-thread-model.sh).
set(CMAKE_C_COMPILER ${_scanfw_triple}-gcc-win32)
set(CMAKE_CXX_COMPILER ${_scanfw_triple}-g++-win32)
set(SCANFW_POSIX_THREAD_MODEL ${CMAKE_CURRENT_LIST_DIR}/posix-thread-model.sh)
set(CMAKE_RC_COMPILER ${_scanfw_triple}-windres)
# The message compiler, for the message table of the images' digests (firmware/).
set(SCANFW_MC_COMPILER ${_scanfw_triple}-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/${_scanfw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Fully static: no libstdc++/libgcc/winpthread DLLs next to the exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
