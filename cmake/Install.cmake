# What a product team takes from a build: `cmake --install <build> --prefix <dir>`, or the same
# tree zipped by cpack. The shipped programs as the build made them, the headers, the package
# library, the README and a CMake package for find_package(extrun); no test, fixture or benchmark.

# extrun/extension.h, for an extension's author.
add_library(extrun_extension INTERFACE)
target_include_directories(extrun_extension INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
set_target_properties(extrun_extension PROPERTIES EXPORT_NAME extension)

install(TARGETS extrun extrun-check extrun-pack extrun_package_builder extrun_extension
  EXPORT extrunTargets RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
# The reference crash uploader, a part a product may leave out for its own:
# built into bin/uploader/ (away from the tests' stand-in of the same name),
# installed beside the launcher, where the crash hand-off looks first.
install(TARGETS extrun_faultsend EXPORT extrunTargets RUNTIME DESTINATION bin COMPONENT uploader)
install(DIRECTORY include/extrun DESTINATION include)
install(FILES README.md DESTINATION share/doc/extrun)
install(EXPORT extrunTargets NAMESPACE extrun:: DESTINATION lib/cmake/extrun)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(extrunConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES cmake/extrunConfig.cmake cmake/ExtrunSign.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/extrunConfigVersion.cmake DESTINATION lib/cmake/extrun)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME extrun-${PROJECT_VERSION}-win64)
include(CPack)
