# Makes a program target into one that ships.
#
#   extrun_release_program(<target> "<file description>" [SIZE_BUDGET <bytes>])
#
# The program gets the manifest and a version resource built from the
# project's version and the build's company and product names (see the top
# CMakeLists.txt), a debug identifier with its debug information in
# <file>.debug beside it and no symbols in itself (extrun_debug_file) and,
# when a certificate is configured below, an Authenticode signature after
# every link. The binary
# rules test (tests/release) checks every program made here, its size against
# SIZE_BUDGET where one is given.
#
# Release signing, off unless both the certificate and the key are given:
#   -DEXTRUN_SIGNING_CERT=<file> -DEXTRUN_SIGNING_KEY=<file>
#   [-DEXTRUN_SIGNING_KEY_PASSWORD_FILE=<file>] [-DEXTRUN_SIGNING_TIMESTAMP_URL=<url>]

set(EXTRUN_SIGNING_CERT "" CACHE FILEPATH
  "Code-signing certificate with its chain (PEM or DER) for the shipped programs; empty: unsigned")
set(EXTRUN_SIGNING_KEY "" CACHE FILEPATH "The certificate's private key (PEM or DER)")
set(EXTRUN_SIGNING_KEY_PASSWORD_FILE "" CACHE FILEPATH "A file holding the key's password, if it has one")
set(EXTRUN_SIGNING_TIMESTAMP_URL "" CACHE STRING "An RFC 3161 time-stamping server; empty: no time stamp")

include(${CMAKE_CURRENT_LIST_DIR}/ExtrunSign.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/ExtrunExtensionInfo.cmake)

# A signing key that is half given, or given but not there, would leave the programs unsigned
# or stop the build in the generator: both are refused here, naming the variable.
if(EXTRUN_SIGNING_CERT OR EXTRUN_SIGNING_KEY)
  set(files EXTRUN_SIGNING_CERT EXTRUN_SIGNING_KEY)
  if(EXTRUN_SIGNING_KEY_PASSWORD_FILE)
    list(APPEND files EXTRUN_SIGNING_KEY_PASSWORD_FILE)
  endif()
  foreach(variable IN LISTS files)
    if(NOT EXISTS "${${variable}}" OR IS_DIRECTORY "${${variable}}")
      message(FATAL_ERROR "${variable} names no file (\"${${variable}}\"): release signing "
        "needs EXTRUN_SIGNING_CERT and EXTRUN_SIGNING_KEY, both files")
    endif()
  endforeach()
endif()

# <var>: <text> as the inside of an RC string literal.
function(extrun_rc_text var text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

function(extrun_release_program target description)
  cmake_parse_arguments(P "" "SIZE_BUDGET" "" ${ARGN})
  if(NOT P_SIZE_BUDGET)
    set(P_SIZE_BUDGET 0)
  endif()
  extrun_rc_text(EXTRUN_PROGRAM_COMPANY "${EXTRUN_COMPANY_NAME}")
  extrun_rc_text(EXTRUN_PROGRAM_PRODUCT "${EXTRUN_PRODUCT_NAME}")
  extrun_rc_text(EXTRUN_PROGRAM_COPYRIGHT "${EXTRUN_LEGAL_COPYRIGHT}")
  extrun_rc_text(EXTRUN_PROGRAM_DESCRIPTION "${description}")
  get_target_property(output ${target} OUTPUT_NAME)
  if(NOT output)
    set(output ${target})
  endif()
  set(EXTRUN_PROGRAM_INTERNAL_NAME ${output})
  set(EXTRUN_PROGRAM_FILE_NAME ${output}${CMAKE_EXECUTABLE_SUFFIX})
  string(REPLACE "." "," EXTRUN_PROGRAM_VERSION_COMMAS ${PROJECT_VERSION})
  set(EXTRUN_PROGRAM_MANIFEST ${PROJECT_SOURCE_DIR}/cmake/program.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres reads the manifest as data, which no dependency scan sees.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${EXTRUN_PROGRAM_MANIFEST})

  extrun_debug_file(${target})
  set_target_properties(${target} PROPERTIES
    EXTRUN_FILE_NAME ${EXTRUN_PROGRAM_FILE_NAME} EXTRUN_DESCRIPTION "${description}"
    EXTRUN_SIZE_BUDGET ${P_SIZE_BUDGET})
  set_property(GLOBAL APPEND PROPERTY EXTRUN_RELEASE_PROGRAMS ${target})

  if(EXTRUN_SIGNING_CERT AND EXTRUN_SIGNING_KEY)
    # The programs are not loaded by a launcher, so their signer may bear any name.
    extrun_sign(${target} CERT ${EXTRUN_SIGNING_CERT} KEY ${EXTRUN_SIGNING_KEY}
      KEY_PASSWORD_FILE "${EXTRUN_SIGNING_KEY_PASSWORD_FILE}"
      TIMESTAMP_URL "${EXTRUN_SIGNING_TIMESTAMP_URL}" ANY_NAME)
  endif()
endfunction()
