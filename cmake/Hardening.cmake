# What mingw-w64 can give a Windows program against memory corruption, for
# every target made after this file is included: the shipped programs, the
# libraries they are made of and the tests that run that code.
#
# - The loader may place the image anywhere in the 64-bit address space and
#   never runs its data (DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT). ld 2.40
#   sets these by default; they are stated so an older ld cannot drop them.
# - TERMINAL_SERVER_AWARE: on a terminal server the program sees the real
#   Windows folder, not the per-user copy and INI-file mapping that the
#   system lays over programs that do not declare it.
# - Stack guards in every function with a local array or an address-taken
#   local, and checked copies and fills where the compiler knows the size.
#   The guard and the failure handlers are src/common/stack_guard.cpp,
#   linked into every program and DLL ahead of the toolchain's libssp, whose
#   own would import advapi32.
# Control Flow Guard and CET shadow-stack compatibility need a linker that
# emits their tables; ld 2.40 does not.

add_library(extrun_stack_guard STATIC ${PROJECT_SOURCE_DIR}/src/common/stack_guard.cpp)
target_link_libraries(extrun_stack_guard PRIVATE extrun_warnings)

add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-fstack-protector-strong>)
# mingw-w64's headers fortify only with optimisation on, as Release builds are.
add_compile_definitions($<$<COMPILE_LANGUAGE:C,CXX>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:--dynamicbase,--high-entropy-va,--nxcompat,--tsaware
  # The checked copies (__memcpy_chk...) come from libssp, which the driver
  # links after everything else when told of the stack protector.
  -fstack-protector-strong
  # The guard and the failure handlers come from the first library that has
  # them, ours, even when no object before it needs them yet.
  LINKER:--undefined=__stack_chk_guard)
link_libraries(extrun_stack_guard)
