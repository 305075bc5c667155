# The hand-off is judged from outside: each case runs crash_host.exe in a
# throw-away tree with copies of the stand-in FaultSend.exe.
extrun_add_test(crash_handoff_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/handoff_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/uploader_launch_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/crash_host_run.cpp
    ${CMAKE_CURRENT_LIST_DIR}/crash_host_run.h
  DEPENDS FaultSend crash_host)
