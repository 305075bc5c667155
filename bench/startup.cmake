# Start-up: extrun.exe against loaders that do only the mandated work.
add_library(startup_bench_ext SHARED ${CMAKE_CURRENT_LIST_DIR}/startup_bench_ext.c)
set_target_properties(startup_bench_ext PROPERTIES PREFIX "")
extrun_sign_target(startup_bench_ext "北京泰萨利软件技术有限公司")

add_executable(startup_verifying_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
target_compile_definitions(startup_verifying_loader PRIVATE EXTRUN_BENCH_VERIFY)
add_executable(startup_bare_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
add_executable(startup_platform_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
target_compile_definitions(startup_platform_loader PRIVATE EXTRUN_BENCH_VERIFY EXTRUN_BENCH_STARTUP)
add_executable(startup_idle_thread_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
target_compile_definitions(startup_idle_thread_loader PRIVATE EXTRUN_BENCH_VERIFY EXTRUN_BENCH_STARTUP
  EXTRUN_BENCH_IDLE_THREAD)
foreach(loader startup_verifying_loader startup_bare_loader startup_platform_loader
    startup_idle_thread_loader)
  target_link_libraries(${loader} PRIVATE ole32 shell32 user32 extrun_warnings)
  target_link_options(${loader} PRIVATE -municode)
endforeach()

add_executable(startup_bench ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
target_link_libraries(startup_bench PRIVATE extrun_testsupport psapi)
target_link_options(startup_bench PRIVATE -municode)
add_dependencies(startup_bench extrun startup_bench_ext startup_verifying_loader startup_bare_loader
  startup_platform_loader startup_idle_thread_loader)
