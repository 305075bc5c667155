# find_package(extrun [COMPONENTS ...]): extrun::extension (extrun/extension.h), extrun::package
# (the package library and extrun/package.h), the programs extrun::extrun, extrun::extrun-check
# and extrun::extrun-pack, extrun_sign(), extrun_sign_copy(), extrun_add_check(),
# extrun_extension_info() and extrun_debug_file(). Components
# name those targets without the namespace; all of them are always there.
#
# Everything here is for 64-bit Windows programs built by mingw-w64 GCC, as extrun is: a project
# configured for anything else is refused here rather than failing later in the headers or at
# the link. The toolchain file that extrun was built with is installed beside this package.
set(_extrun_components extension package extrun extrun-check extrun-pack)
get_filename_component(_extrun_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 8 OR CMAKE_SYSTEM_PROCESSOR MATCHES "^(ARM|arm|aarch)")
  set(extrun_FOUND FALSE)
  string(CONCAT extrun_NOT_FOUND_MESSAGE "extrun is for 64-bit x86 Windows programs, and this "
    "project builds for ${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR} (pointers of "
    "${CMAKE_SIZEOF_VOID_P} bytes). Configure it with the toolchain file extrun was built with: "
    "-DCMAKE_TOOLCHAIN_FILE=${_extrun_prefix}/share/extrun/mingw-w64-x86_64.cmake")
  return()
endif()
foreach(_extrun_component IN LISTS extrun_FIND_COMPONENTS)
  list(FIND _extrun_components "${_extrun_component}" _extrun_index)
  if(_extrun_index EQUAL -1)
    set(extrun_FOUND FALSE)
    string(REPLACE ";" ", " _extrun_known "${_extrun_components}")
    set(extrun_NOT_FOUND_MESSAGE
      "extrun has no component \"${_extrun_component}\"; its components are ${_extrun_known}")
    return()
  endif()
  set(extrun_${_extrun_component}_FOUND TRUE)
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/extrunTargets.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/ExtrunSign.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/ExtrunCheck.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/ExtrunExtensionInfo.cmake)
