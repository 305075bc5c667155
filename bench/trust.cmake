# One publisher check, warm and in a fresh process, against the bare WinTrust
# pair, and whether any check touched the network.
# Run: wine-run bin/trust_publisher_check.exe [dll] [warm count] [cold count]
add_executable(trust_publisher_check ${CMAKE_CURRENT_LIST_DIR}/trust_publisher_check.cpp)
target_link_libraries(trust_publisher_check PRIVATE extrun_trust extrun_testsupport wintrust)
target_link_options(trust_publisher_check PRIVATE -municode)
add_dependencies(trust_publisher_check ext_record)
