# A CTest test of an extension as the launcher will take it: extrun-check, run on the built and
# signed DLL in a throw-away product tree.
#
#   extrun_add_check(<target> ENTRY <name>)
#     Adds the test extrun_check.<target>. It puts extrun.exe and extrun-check.exe in <tree>/bin,
#     the target's file in <tree>/ext, and runs extrun-check --dll=ext\<file> --entry=<name> there
#     (through CMAKE_CROSSCOMPILING_EMULATOR, or Wine, when cross-compiling). It passes only when
#     the verdict is "call <name>": the signature, the signer's name, the image, its imports and
#     the export all as the launcher needs them.
#
# The test runs this file as a script:
#   cmake -DCHECK=<extrun-check.exe> -DLAUNCHER=<extrun.exe> -DDLL=<file> -DENTRY=<name>
#         -DTREE=<folder> [-DEMULATOR=<program>] -P ExtrunCheck.cmake

set(EXTRUN_CHECK_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(extrun_add_check target)
  cmake_parse_arguments(C "" "ENTRY" "" ${ARGN})
  if(NOT C_ENTRY OR C_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "extrun_add_check(${target}): give ENTRY <exported name>, and nothing else")
  endif()
  set(emulator "")
  if(CMAKE_CROSSCOMPILING)
    set(emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    if(NOT emulator)
      find_program(EXTRUN_WINE wine)
      if(NOT EXTRUN_WINE)
        message(FATAL_ERROR "extrun_add_check(${target}): a cross-compiled check runs under Wine, "
          "which is not on the build machine; set CMAKE_CROSSCOMPILING_EMULATOR to what runs a "
          "Windows program here")
      endif()
      set(emulator ${EXTRUN_WINE})
    endif()
  endif()
  string(REPLACE ";" "\\;" emulator "${emulator}")
  add_test(NAME extrun_check.${target}
    COMMAND ${CMAKE_COMMAND} -DCHECK=$<TARGET_FILE:extrun::extrun-check>
      -DLAUNCHER=$<TARGET_FILE:extrun::extrun> -DDLL=$<TARGET_FILE:${target}> -DENTRY=${C_ENTRY}
      -DTREE=${CMAKE_CURRENT_BINARY_DIR}/extrun_check.${target} -DEMULATOR=${emulator}
      -P ${EXTRUN_CHECK_SCRIPT})
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  file(REMOVE_RECURSE ${TREE})
  file(MAKE_DIRECTORY ${TREE}/bin ${TREE}/ext)
  file(COPY ${CHECK} ${LAUNCHER} DESTINATION ${TREE}/bin)
  file(COPY ${DLL} DESTINATION ${TREE}/ext)
  get_filename_component(check ${CHECK} NAME)
  get_filename_component(dll ${DLL} NAME)
  execute_process(COMMAND ${EMULATOR} ${TREE}/bin/${check} --dll=ext\\${dll} --entry=${ENTRY}
    WORKING_DIRECTORY ${TREE} RESULT_VARIABLE code OUTPUT_VARIABLE output ERROR_VARIABLE output)
  message("${output}")
  string(REPLACE "\r" "" output "${output}")
  if(NOT output MATCHES "\nverdict: call ${ENTRY}\n")
    message(FATAL_ERROR "the launcher would not call ${ENTRY} in ${dll} (exit code ${code})")
  endif()
endif()
