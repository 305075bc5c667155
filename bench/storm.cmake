# Fault storm: random mixes of faults and disturbances against the crash hand-off, judged by its
# rules. Run by hand (scripts/bench storm), never in the test run.
add_executable(fault_storm_host WIN32 ${CMAKE_CURRENT_LIST_DIR}/fault_storm_host.cpp)
target_link_libraries(fault_storm_host PRIVATE extrun_crash extrun_testsupport dbghelp)
target_link_options(fault_storm_host PRIVATE -municode)
add_executable(fault_storm ${CMAKE_CURRENT_LIST_DIR}/fault_storm.cpp)
target_link_libraries(fault_storm PRIVATE extrun_testsupport)
target_link_options(fault_storm PRIVATE -municode)
add_dependencies(fault_storm fault_storm_host FaultSend)
