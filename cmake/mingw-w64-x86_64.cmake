# Cross-compiles for 64-bit Windows with mingw-w64 (posix threads) and links
# the C++ run-time statically, so the programs import only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every program and DLL also carries a CodeView debug identifier (a hash of the linked file), by
# which a debugger or a crash service matches a minidump's module to its symbols.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--build-id")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--build-id")
