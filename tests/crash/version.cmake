# The file version text: in-process against the fixture DLLs, and through
# version_probe.exe where the process's own view of the system matters.
set(version_test_fixtures version_probe version_none
  version_fixed version_commas version_beta version_second_translation
  version_no_file_version version_blank version_no_translation)
extrun_add_test(version_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/version_test.cpp
  LIBS extrun_version
  DEPENDS ${version_test_fixtures})
