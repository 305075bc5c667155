add_library(extrun_crash STATIC crash_handoff.cpp crash_handoff.h)
target_link_libraries(extrun_crash PUBLIC extrun_common)
