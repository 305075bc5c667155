extrun_add_test(crash_handoff_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/handoff_test.cpp
  DEPENDS FaultSend crash_host)
