#!/bin/sh
# usage: posix-thread-model.sh COMPILER [ARG...]
# A compiler and linker launcher: runs the command with the posix thread model's driver of the same
# MinGW-w64 compiler in place of the win32 one (x86_64-w64-mingw32-g++-win32 becomes
# x86_64-w64-mingw32-g++-posix). GoogleTest needs std::mutex, which GCC 12's win32 thread model
# does not have; only the test programs are built this way.
compiler=$1
shift
case "$compiler" in
  *-win32) exec "${compiler%-win32}-posix" "$@" ;;
  *) exec "$compiler" "$@" ;;
esac
