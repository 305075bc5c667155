# What a product team takes from a build: `cmake --install <build> --prefix <dir>`, or the same
# tree zipped by cpack as the developer kit, with the runtime beside it. No test, fixture or
# benchmark.
#
# Two install components, one archive each (cpack makes both):
#   devkit   the programs as the build made them with their debug files, the headers, the package
#            library, the CMake package with the toolchain file and an example product, the README
#            and the notices:
#            extrun-<version>-win64-devkit.zip, which holds the whole install.
#   runtime  what a product ships: extrun.exe, the README and the notices of what is linked into
#            it, with the uploader component (the reference FaultSend.exe) beside them:
#            extrun-<version>-win64-runtime.zip.
# The runtime archive takes another component with one line after its install() rules:
#   cpack_add_component(<component> GROUP runtime)

# extrun/extension.h, for an extension's author.
add_library(extrun_extension INTERFACE)
target_include_directories(extrun_extension INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
set_target_properties(extrun_extension PROPERTIES EXPORT_NAME extension)

set(docs README.md THIRD-PARTY-NOTICES.txt)
install(TARGETS extrun extrun-check extrun-pack extrun_package_builder extrun_extension
  EXPORT extrunTargets RUNTIME DESTINATION bin COMPONENT devkit
  ARCHIVE DESTINATION lib COMPONENT devkit)
# The reference crash uploader, a part a product may leave out for its own: built into
# bin/uploader/ (away from the tests' stand-in of the same name), installed beside the launcher,
# where the crash hand-off looks first; in the developer kit, and in the runtime archive as a
# component of its own.
install(TARGETS extrun_faultsend EXPORT extrunTargets RUNTIME DESTINATION bin COMPONENT devkit)
install(TARGETS extrun_faultsend RUNTIME DESTINATION bin COMPONENT uploader)
# The programs' debug information, which a developer's debugger and a symbol store take; no
# user needs it, so it stays out of the runtime.
foreach(program extrun extrun-check extrun-pack extrun_faultsend)
  install(FILES $<TARGET_FILE:${program}>.debug DESTINATION bin COMPONENT devkit)
endforeach()
install(DIRECTORY include/extrun DESTINATION include COMPONENT devkit)
install(FILES ${docs} DESTINATION share/doc/extrun COMPONENT devkit)
install(FILES cmake/mingw-w64-x86_64.cmake DESTINATION share/extrun COMPONENT devkit)
install(DIRECTORY example/ DESTINATION share/extrun/example COMPONENT devkit)
install(EXPORT extrunTargets NAMESPACE extrun:: DESTINATION lib/cmake/extrun COMPONENT devkit)
include(CMakePackageConfigHelpers)
# Any pointer size passes the version check, so that extrunConfig.cmake itself refuses a 32-bit
# project and names the toolchain file, rather than find_package saying only "(64bit)".
write_basic_package_version_file(extrunConfigVersion.cmake COMPATIBILITY SameMajorVersion
  ARCH_INDEPENDENT)
install(FILES cmake/extrunConfig.cmake cmake/ExtrunSign.cmake cmake/ExtrunCheck.cmake
  cmake/ExtrunExtensionInfo.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/extrunConfigVersion.cmake DESTINATION lib/cmake/extrun
  COMPONENT devkit)

install(TARGETS extrun RUNTIME DESTINATION bin COMPONENT runtime)
install(FILES ${docs} DESTINATION share/doc/extrun COMPONENT runtime)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME extrun-${PROJECT_VERSION}-win64)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/ArchiveOneEntryEach.cmake)
set(CPACK_EXTRUN_CMAKE_COMMAND ${CMAKE_COMMAND})
include(CPack)
cpack_add_component(devkit GROUP devkit)
cpack_add_component(runtime GROUP runtime)
cpack_add_component(uploader GROUP runtime)
