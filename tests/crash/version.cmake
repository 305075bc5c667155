# The file version text, in-process against the fixture DLLs and through
# version_probe.exe where the process's own view of the system matters.
extrun_add_test(version_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/version_test.cpp
  LIBS extrun_version
  DEPENDS version_probe version_second version_commas version_blank version_single
    version_untranslated version_textless)
