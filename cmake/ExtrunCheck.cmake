# A CTest test of an extension as the launcher will take it: extrun-check, run on the built and
# signed DLL in a throw-away product tree.
#
#   extrun_add_check(<target> ENTRY <name>... [FILES <folder> <file or target>...]...)
#     Adds the test extrun_check.<target>.<name> for each entry. It puts extrun.exe and
#     extrun-check.exe in <tree>/bin, the target's file in <tree>/ext, each FILES file (or the
#     file of a target named there) in <folder> of the tree, and runs extrun-check
#     --dll=ext\<file> --entry=<name> there (through CMAKE_CROSSCOMPILING_EMULATOR, or Wine,
#     when cross-compiling). It passes only when the verdict is "call <name>": the signature,
#     the signer's name, the image, its imports and the export all as the launcher needs them.
#     <folder> is relative to the tree: bin, the launcher's folder, where the loader finds the
#     DLLs an extension imports; ext, beside the extension; . for the install folder. Another
#     call for the same target adds more entries, each with its own FILES.
#
# The test runs this file as a script:
#   cmake -DCHECK=<extrun-check.exe> -DLAUNCHER=<extrun.exe> -DDLL=<file> -DENTRY=<name>
#         -DTREE=<folder> [-DFILES=<folder>|<file>;...] [-DEMULATOR=<program>]
#         -P ExtrunCheck.cmake

set(EXTRUN_CHECK_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(extrun_add_check target)
  set(usage "extrun_add_check(${target} ENTRY <exported name>... [FILES <folder> <file>...]...)")
  set(entries)
  set(files)
  set(keyword "")
  set(folder "")
  foreach(arg IN LISTS ARGN)
    if(arg STREQUAL "ENTRY" OR arg STREQUAL "FILES")
      if(keyword STREQUAL "FILES" AND folder STREQUAL "")
        message(FATAL_ERROR "${usage}: FILES without a folder")
      endif()
      set(keyword ${arg})
      set(folder "")
    elseif(keyword STREQUAL "ENTRY")
      list(APPEND entries "${arg}")
    elseif(keyword STREQUAL "FILES" AND folder STREQUAL "")
      string(REPLACE "\\" "/" folder "${arg}")
      if(IS_ABSOLUTE "${folder}" OR folder MATCHES "(^|/)\\.\\.(/|$)")
        message(FATAL_ERROR "${usage}: FILES ${arg}: the folder is one inside the check's "
          "tree (bin, ext, .), not an absolute path or one going out of it")
      endif()
    elseif(keyword STREQUAL "FILES")
      if(TARGET "${arg}")
        set(file "$<TARGET_FILE:${arg}>")
      else()
        get_filename_component(file "${arg}" ABSOLUTE)
      endif()
      list(APPEND files "${folder}|${file}")
    else()
      message(FATAL_ERROR "${usage}: unknown argument \"${arg}\"")
    endif()
  endforeach()
  if(NOT entries OR (keyword STREQUAL "FILES" AND folder STREQUAL ""))
    message(FATAL_ERROR "${usage}: give at least one ENTRY, and a folder after each FILES")
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
  string(REPLACE ";" "\\;" files "${files}")
  foreach(entry IN LISTS entries)
    set(name extrun_check.${target}.${entry})
    if(TEST ${name})
      message(FATAL_ERROR "${usage}: ${entry} is checked already, by the test ${name}")
    endif()
    add_test(NAME ${name}
      COMMAND ${CMAKE_COMMAND} -DCHECK=$<TARGET_FILE:extrun::extrun-check>
        -DLAUNCHER=$<TARGET_FILE:extrun::extrun> -DDLL=$<TARGET_FILE:${target}> -DENTRY=${entry}
        -DTREE=${CMAKE_CURRENT_BINARY_DIR}/${name} -DFILES=${files} -DEMULATOR=${emulator}
        -P ${EXTRUN_CHECK_SCRIPT})
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  file(REMOVE_RECURSE ${TREE})
  file(MAKE_DIRECTORY ${TREE}/bin ${TREE}/ext)
  file(COPY ${CHECK} ${LAUNCHER} DESTINATION ${TREE}/bin)
  file(COPY ${DLL} DESTINATION ${TREE}/ext)
  get_filename_component(check ${CHECK} NAME)
  get_filename_component(dll ${DLL} NAME)
  set(held "bin\\extrun.exe, bin\\${check}, ext\\${dll}")
  foreach(pair IN LISTS FILES)
    string(FIND "${pair}" "|" bar)
    string(SUBSTRING "${pair}" 0 ${bar} folder)
    math(EXPR bar "${bar} + 1")
    string(SUBSTRING "${pair}" ${bar} -1 file)
    file(COPY ${file} DESTINATION ${TREE}/${folder})
    get_filename_component(name ${file} NAME)
    string(REPLACE "/" "\\" folder "${folder}\\")
    string(REGEX REPLACE "^\\.\\\\" "" folder "${folder}")
    string(APPEND held ", ${folder}${name}")
  endforeach()
  # extrun-check describes this tree, not the product: no main program, no uploader in it.
  message("tree: ${TREE}, made for this check alone: ${held}; no product program and no "
    "FaultSend.exe, so the product: and uploader: lines say none")
  execute_process(COMMAND ${EMULATOR} ${TREE}/bin/${check} --dll=ext\\${dll} --entry=${ENTRY}
    WORKING_DIRECTORY ${TREE} RESULT_VARIABLE code OUTPUT_VARIABLE output ERROR_VARIABLE output)
  message("${output}")
  string(REPLACE "\r" "" output "${output}")
  if(NOT output MATCHES "\nverdict: call ${ENTRY}\n")
    message(FATAL_ERROR "the launcher would not call ${ENTRY} in ${dll} (exit code ${code})")
  endif()
endif()
