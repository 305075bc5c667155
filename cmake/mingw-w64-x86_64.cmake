# 64-bit Windows with mingw-w64 (posix threads), the C++ run-time linked statically, so the
# programs import only system DLLs. From Linux it cross-compiles with Debian's programs; in
# MSYS2's MINGW64 shell on Windows it builds natively with MSYS2's, and the tests then run as
# they are, with no emulator.
if(CMAKE_HOST_WIN32)
  # MSYS2 names its programs both with the target in front and plainly.
  find_program(EXTRUN_MINGW_CC NAMES x86_64-w64-mingw32-gcc gcc REQUIRED)
  find_program(EXTRUN_MINGW_CXX NAMES x86_64-w64-mingw32-g++ g++ REQUIRED)
  find_program(EXTRUN_MINGW_RC NAMES x86_64-w64-mingw32-windres windres REQUIRED)
  set(CMAKE_C_COMPILER ${EXTRUN_MINGW_CC})
  set(CMAKE_CXX_COMPILER ${EXTRUN_MINGW_CXX})
  set(CMAKE_RC_COMPILER ${EXTRUN_MINGW_RC})
else()
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)

  set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
  set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
  set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

  set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
endif()

# Every program and DLL also carries a CodeView debug identifier (a hash of the linked file), by
# which a debugger or a crash service matches a minidump's module to its symbols.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--build-id")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--build-id")
