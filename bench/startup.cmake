# Start-up: extrun.exe against loaders that do only the mandated work, and the launcher pinned to
# the test CA against the default one, both running the extension as that CA issued it.
foreach(ext startup_bench_ext startup_bench_ext_ca)
  add_library(${ext} SHARED ${CMAKE_CURRENT_LIST_DIR}/startup_bench_ext.c)
  set_target_properties(${ext} PROPERTIES PREFIX "")
endforeach()
extrun_sign_target(startup_bench_ext "北京泰萨利软件技术有限公司")
extrun_sign_target(startup_bench_ext_ca "北京泰萨利软件技术有限公司" ISSUER "Extrun Test CA")

add_executable(startup_verifying_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
target_compile_definitions(startup_verifying_loader PRIVATE EXTRUN_BENCH_VERIFY)
add_executable(startup_bare_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
add_executable(startup_platform_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
target_compile_definitions(startup_platform_loader PRIVATE EXTRUN_BENCH_VERIFY EXTRUN_BENCH_STARTUP)
add_executable(startup_idle_thread_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
target_compile_definitions(startup_idle_thread_loader PRIVATE EXTRUN_BENCH_VERIFY EXTRUN_BENCH_STARTUP
  EXTRUN_BENCH_IDLE_THREAD=1)
add_executable(startup_two_threads_loader ${CMAKE_CURRENT_LIST_DIR}/startup_minimal_loader.cpp)
target_compile_definitions(startup_two_threads_loader PRIVATE EXTRUN_BENCH_VERIFY EXTRUN_BENCH_STARTUP
  EXTRUN_BENCH_IDLE_THREAD=2)
foreach(loader startup_verifying_loader startup_bare_loader startup_platform_loader
    startup_idle_thread_loader startup_two_threads_loader)
  target_link_libraries(${loader} PRIVATE ole32 shell32 user32 extrun_warnings)
  target_link_options(${loader} PRIVATE -municode)
endforeach()

add_executable(startup_bench ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
target_link_libraries(startup_bench PRIVATE extrun_testsupport psapi)
target_link_options(startup_bench PRIVATE -municode)
add_dependencies(startup_bench extrun extrun_pinned startup_bench_ext startup_bench_ext_ca
  startup_verifying_loader startup_bare_loader startup_platform_loader startup_idle_thread_loader
  startup_two_threads_loader)
