add_library(extrun_crash STATIC
  crash_handoff.cpp crash_handoff.h
  crash_hooks.cpp crash_hooks.h
  fault_record_capture.cpp fault_record_capture.h
  handoff.cpp handoff.h
  uploader_start.cpp uploader_start.h
  uploader_path.cpp uploader_path.h
  stack_reserve.cpp stack_reserve.h
  handoff_settings.h)
target_link_libraries(extrun_crash PUBLIC extrun_common shlwapi)
# Hooks with the same body must stay apart: a synthetic record names its
# hook by a return address into it. And none may leave by a tail call: the
# record's context is the hook's own frame, which must stay on the stack
# while the uploader reads it.
target_compile_options(extrun_crash PRIVATE -fno-ipa-icf -fno-optimize-sibling-calls)
