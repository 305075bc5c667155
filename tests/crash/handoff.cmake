extrun_add_test(crash_handoff_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/handoff_test.cpp
  LIBS extrun_crash
  DEPENDS FaultSend crash_host)
