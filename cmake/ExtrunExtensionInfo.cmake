# What a crash report needs from an extension: a version resource, which names its dumps and
# says which build faulted, and a debug identifier with the debug information kept apart, so a
# debugger or a crash service finds the symbols of exactly that build.
#
#   extrun_extension_info(<target> VERSION <a.b.c.d> PRODUCT <name> COMPANY <name>
#                         [DESCRIPTION <text>] [COPYRIGHT <text>])
#     Gives the target a version resource: the fixed file and product version, and the strings
#     CompanyName, FileDescription (the product's name unless given), FileVersion, InternalName,
#     OriginalFilename, ProductName, ProductVersion and LegalCopyright (when given); texts in
#     UTF-8. Then, as extrun_debug_file below. Call it before extrun_sign: the file is signed
#     once it is stripped.
#   extrun_debug_file(<target>)
#     Compiles the target's own sources with -g and links it with a CodeView debug identifier
#     (ld's --build-id: a hash of the linked file); after every link the debug information goes
#     to <file>.debug beside it, and the file itself is stripped and names <file>.debug in a
#     debug link. The target's EXTRUN_DEBUG_FILE property names that file, for install(FILES).
#     Its identifier is the one the stripped file carries, and what a minidump records for the
#     module. Code linked in from static libraries has line information only where those were
#     compiled with -g too.

function(extrun_debug_file target)
  get_target_property(signed ${target} EXTRUN_SIGNED)
  if(signed)
    message(FATAL_ERROR "extrun_debug_file(${target}): call it before extrun_sign, which signs "
      "the file as the link left it; stripping it afterwards would break the signature")
  endif()
  if(NOT CMAKE_OBJCOPY)
    find_program(CMAKE_OBJCOPY x86_64-w64-mingw32-objcopy)
  endif()
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "extrun_debug_file(${target}): no objcopy of the mingw-w64 binutils "
      "(x86_64-w64-mingw32-objcopy) on the build machine")
  endif()
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-g>)
  target_link_options(${target} PRIVATE LINKER:--build-id)
  set(file $<TARGET_FILE:${target}>)
  # objcopy stamps the time of the copy into the PE header of what it writes, the debug file
  # too (whose checksum the debug link holds), unless SOURCE_DATE_EPOCH says otherwise; 0 is
  # what the link wrote (--no-insert-timestamp), so the same sources still give the same bytes.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
      ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
      ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${file}.debug ${file}
    VERBATIM)
  set_target_properties(${target} PROPERTIES EXTRUN_DEBUG_FILE ${file}.debug)
endfunction()

function(extrun_extension_info target)
  cmake_parse_arguments(I "" "VERSION;PRODUCT;COMPANY;DESCRIPTION;COPYRIGHT" "" ${ARGN})
  set(usage "extrun_extension_info(${target} VERSION <a.b.c.d> PRODUCT <name> COMPANY <name> \
[DESCRIPTION <text>] [COPYRIGHT <text>])")
  if(I_UNPARSED_ARGUMENTS OR NOT I_VERSION OR NOT I_PRODUCT OR NOT I_COMPANY)
    message(FATAL_ERROR "${usage}: VERSION, PRODUCT and COMPANY are needed")
  endif()
  if(NOT I_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "${usage}: VERSION ${I_VERSION} is not one to four numbers with dots")
  endif()
  string(REPLACE "." ";" parts ${I_VERSION})
  foreach(part IN LISTS parts)
    if(part GREATER 65535)
      message(FATAL_ERROR "${usage}: VERSION ${I_VERSION}: each number is at most 65535")
    endif()
  endforeach()
  list(LENGTH parts count)
  while(count LESS 4)
    list(APPEND parts 0)
    math(EXPR count "${count} + 1")
  endwhile()
  string(REPLACE ";" "." version "${parts}")
  string(REPLACE ";" "," commas "${parts}")
  if(NOT I_DESCRIPTION)
    set(I_DESCRIPTION "${I_PRODUCT}")
  endif()
  get_target_property(type ${target} TYPE)
  set(file_type VFT_DLL)
  if(type STREQUAL "EXECUTABLE")
    set(file_type VFT_APP)
  endif()

  set(strings "")
  foreach(pair "CompanyName|${I_COMPANY}" "FileDescription|${I_DESCRIPTION}"
      "FileVersion|${version}" "InternalName|$<TARGET_FILE_BASE_NAME:${target}>"
      "LegalCopyright|${I_COPYRIGHT}" "OriginalFilename|$<TARGET_FILE_NAME:${target}>"
      "ProductName|${I_PRODUCT}" "ProductVersion|${version}")
    string(FIND "${pair}" "|" bar)
    string(SUBSTRING "${pair}" 0 ${bar} key)
    math(EXPR bar "${bar} + 1")
    string(SUBSTRING "${pair}" ${bar} -1 value)
    if(NOT value STREQUAL "")
      # The inside of an RC string literal.
      string(REPLACE "\\" "\\\\" value "${value}")
      string(REPLACE "\"" "\"\"" value "${value}")
      string(APPEND strings "            VALUE \"${key}\", \"${value}\"\n")
    endif()
  endforeach()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.version.rc)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/${target}.version.rc.obj)
  file(GENERATE OUTPUT ${rc} CONTENT "#pragma code_page(65001)
#include <winver.h>

1 VERSIONINFO
FILEVERSION ${commas}
PRODUCTVERSION ${commas}
FILEFLAGSMASK VS_FFI_FILEFLAGSMASK
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE ${file_type}
FILESUBTYPE VFT2_UNKNOWN
BEGIN
    BLOCK \"StringFileInfo\"
    BEGIN
        BLOCK \"040904b0\"
        BEGIN
${strings}        END
    END
    BLOCK \"VarFileInfo\"
    BEGIN
        VALUE \"Translation\", 0x409, 1200
    END
END
")
  # Compiled by windres itself, so that a project need not enable the RC language for it.
  set(windres ${CMAKE_RC_COMPILER})
  if(NOT windres)
    find_program(EXTRUN_WINDRES x86_64-w64-mingw32-windres)
    set(windres ${EXTRUN_WINDRES})
  endif()
  if(NOT windres)
    message(FATAL_ERROR "${usage}: no windres of the mingw-w64 binutils on the build machine")
  endif()
  add_custom_command(OUTPUT ${object}
    COMMAND ${windres} -O coff -i ${rc} -o ${object}
    DEPENDS ${rc}
    COMMENT "Version resource of ${target}: ${version}"
    VERBATIM)
  target_sources(${target} PRIVATE ${object})
  set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  extrun_debug_file(${target})
endfunction()
