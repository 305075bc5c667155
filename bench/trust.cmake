# One publisher check, warm and in a fresh process, against the bare WinTrust
# pair, and whether any check touched the network; as this build checks
# (trust_publisher_check) and with the test CA's key pinned
# (trust_publisher_check_pinned, which checks a DLL that CA issued).
# Run: wine-run bin/trust_publisher_check[_pinned].exe [dll] [warm count] [cold count]
foreach(variant trust_publisher_check trust_publisher_check_pinned)
  add_executable(${variant} ${CMAKE_CURRENT_LIST_DIR}/trust_publisher_check.cpp)
  target_link_libraries(${variant} PRIVATE extrun_trust extrun_testsupport wintrust)
  target_link_options(${variant} PRIVATE -municode)
endforeach()
target_link_libraries(trust_publisher_check_pinned PRIVATE extrun_pinned_table)
add_dependencies(trust_publisher_check ext_record)
add_dependencies(trust_publisher_check_pinned ext_record_ca)
