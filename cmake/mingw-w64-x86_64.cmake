# Cross-builds for 64-bit Windows with Debian's mingw-w64 toolchain, posix-threads
# variant (std::thread and std::mutex need it). The Windows dependencies live in
# the prefix that scripts/build-windows-deps.sh prints; pass it as
#   -DQR_WIN_DEPS_PREFIX=<prefix>   (or set the environment variable of that name).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QR_MINGW_TRIPLE}-windres)

if(NOT QR_WIN_DEPS_PREFIX AND DEFINED ENV{QR_WIN_DEPS_PREFIX})
  set(QR_WIN_DEPS_PREFIX $ENV{QR_WIN_DEPS_PREFIX})
endif()
# try_compile projects read this file again; hand them the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QR_WIN_DEPS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${QR_MINGW_TRIPLE} ${QR_WIN_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program is linked statically (C and C++ runtimes, winpthread and the
# dependencies), so quillrade.exe runs with nothing beside it but system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
