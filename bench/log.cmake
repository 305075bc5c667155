# The shared log: disabled statement cost, enabled records per second, and
# four log_writer processes on one file. Run: wine-run bin/log_bench.exe [records]
add_executable(log_bench ${CMAKE_CURRENT_LIST_DIR}/log_bench.cpp)
target_link_libraries(log_bench PRIVATE extrun_log extrun_testsupport)
target_link_options(log_bench PRIVATE -municode)
add_dependencies(log_bench log_writer)
