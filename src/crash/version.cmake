add_library(extrun_version STATIC file_version.cpp file_version.h)
target_link_libraries(extrun_version PUBLIC extrun_common)
