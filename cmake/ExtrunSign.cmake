# Authenticode signing with osslsigncode and SHA-256 digests: how extrun's own programs are signed
# for release, and what find_package(extrun) gives a product for its extensions and programs.
#
#   extrun_sign(<target> (CERT <chain> KEY <key> | PKCS12 <file>)
#               [KEY_PASSWORD_FILE <file> | KEY_PASSWORD_ENV <variable>]
#               [TIMESTAMP_URL <url>] [ANY_NAME])
#     Signs the target's DLL or program after every link, and again when the certificate or key
#     file changes. CERT holds the code-signing certificate and the CAs that issued it (PEM or
#     DER), KEY its private key; or PKCS12 holds them all. The key's password comes from a file,
#     or from an environment variable read when the build signs, as a CI secret is given.
#     Before signing, the signing certificate's name (its subject's common name) is compared
#     with the 23 names the launcher accepts: a name it would refuse fails the build, naming the
#     nearest accepted name. ANY_NAME leaves that out, for a file no launcher checks by name
#     (a product's own programs, extrun.exe itself).
#   extrun_sign_copy(<name> <program target> <the options above but ANY_NAME>)
#     A signed copy of a program that is not built here, such as the installed extrun::extrun,
#     made by the target <name> as ${CMAKE_CURRENT_BINARY_DIR}/<name>/<the program's file name>,
#     which the target's EXTRUN_SIGNED_FILE property names. Its signer's name is not checked.
#
# A signing that fails, or a name that is refused, leaves no unsigned file where the signed one
# belongs (with any generator, Ninja among them), so every later build tries again and fails
# until the cause is mended, and nothing unsigned is installed.
#
# The build runs this file as a script:
#   cmake -DIN=<file> -DOUT=<file> -DOSSLSIGNCODE=<program> -DOPENSSL=<program>
#         (-DCERT=<chain> -DKEY=<key> | -DPKCS12=<file>) [-DPASSWORD_FILE=<file>]
#         [-DPASSWORD_ENV=<variable>] [-DTIMESTAMP_URL=<url>] [-DCHECK_NAME=ON] -P ExtrunSign.cmake

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_policy(VERSION 3.25)
endif()

# The publisher names extrun.exe accepts, as its publisher check compares them (UTF-8 here).
set(EXTRUN_ACCEPTED_SIGNERS
  "北京泰萨利软件技术有限公司"
  "珠海泰萨利办公软件有限公司"
  "广州凡蒂罗网络技术有限公司"
  "凡蒂罗互动娱乐有限公司"
  "成都凯尔莫拉信息技术有限公司"
  "凯尔莫拉科技有限公司"
  "武汉萨文信息科技有限公司"
  "托布里斯克软件有限公司"
  "莫尔万数字技术有限公司"
  "昆洛网络科技有限公司"
  "里斯塔维尔软件有限公司"
  "法斯科恩信息技术有限公司"
  "德雷利克科技有限公司"
  "布伦霍尔德网络有限公司"
  "辛德鲁软件有限公司"
  "哈弗林数码科技有限公司"
  "加尔维克数字办公有限公司"
  "奥斯卡鲁软件有限公司"
  "泽姆普罗科技公司"
  "Tessaly Software Technology Co., Ltd."
  "Vantiro Interactive Entertainment Co., Ltd."
  "Kelmora Information Technology Co., Limited"
  "Galwick Digital Office Systems Co., Ltd.")
set(EXTRUN_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# The options shared by extrun_sign and extrun_sign_copy: <prefix>_COMMAND, the command that
# signs IN into OUT (to be completed with -DIN=... -DOUT=... -P), and <prefix>_FILES, what it
# reads, on which the signature depends.
function(_extrun_sign_command prefix caller check)
  cmake_parse_arguments(S "ANY_NAME" "CERT;KEY;PKCS12;KEY_PASSWORD_FILE;KEY_PASSWORD_ENV;TIMESTAMP_URL"
    "" ${ARGN})
  if(S_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${caller}: unknown arguments ${S_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ((S_CERT AND S_KEY AND NOT S_PKCS12) OR (S_PKCS12 AND NOT S_CERT AND NOT S_KEY)))
    message(FATAL_ERROR "${caller}: give CERT and KEY, or PKCS12")
  endif()
  if(S_KEY_PASSWORD_FILE AND S_KEY_PASSWORD_ENV)
    message(FATAL_ERROR "${caller}: give KEY_PASSWORD_FILE or KEY_PASSWORD_ENV, not both")
  endif()
  find_program(EXTRUN_OSSLSIGNCODE osslsigncode)
  find_program(EXTRUN_OPENSSL openssl)
  if(NOT EXTRUN_OSSLSIGNCODE)
    message(FATAL_ERROR "${caller}: signing needs osslsigncode on the build machine")
  endif()
  if(check AND NOT S_ANY_NAME AND NOT EXTRUN_OPENSSL)
    message(FATAL_ERROR "${caller}: the signer's name is checked with openssl, which is not on "
      "the build machine; install it, or give ANY_NAME for a file the launcher does not load")
  endif()
  set(command ${CMAKE_COMMAND} -DOSSLSIGNCODE=${EXTRUN_OSSLSIGNCODE} -DOPENSSL=${EXTRUN_OPENSSL})
  set(files)
  # The command runs in the build folder; names are taken from where the caller gave them.
  foreach(option CERT KEY PKCS12 KEY_PASSWORD_FILE)
    if(S_${option})
      get_filename_component(file "${S_${option}}" ABSOLUTE)
      # A file no rule of this build makes must be there now: the build would otherwise stop
      # in the generator, saying only that the file is missing and no rule makes it. A rule of
      # another folder than the caller's says so in EXTRUN_BUILD_MADE_FILES.
      get_source_file_property(generated ${file} GENERATED)
      get_property(made GLOBAL PROPERTY EXTRUN_BUILD_MADE_FILES)
      if(NOT EXISTS ${file} AND NOT generated AND NOT file IN_LIST made)
        message(FATAL_ERROR "${caller}: ${option} ${file}: no such file")
      endif()
      string(REPLACE KEY_PASSWORD_FILE PASSWORD_FILE name ${option})
      list(APPEND command -D${name}=${file})
      list(APPEND files ${file})
    endif()
  endforeach()
  if(S_KEY_PASSWORD_ENV)
    list(APPEND command -DPASSWORD_ENV=${S_KEY_PASSWORD_ENV})
  endif()
  if(S_TIMESTAMP_URL)
    list(APPEND command -DTIMESTAMP_URL=${S_TIMESTAMP_URL})
  endif()
  if(check AND NOT S_ANY_NAME)
    list(APPEND command -DCHECK_NAME=ON)
  endif()
  set(${prefix}_COMMAND ${command} PARENT_SCOPE)
  set(${prefix}_FILES ${files} PARENT_SCOPE)
endfunction()

function(extrun_sign target)
  _extrun_sign_command(sign "extrun_sign(${target})" ON ${ARGN})
  # Whatever changes the file after the link must come before the signature (extrun_debug_file
  # asks for this property).
  set_target_properties(${target} PROPERTIES EXTRUN_SIGNED ON)
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${sign_COMMAND} -DIN=${file} -DOUT=${file} -P ${EXTRUN_SIGN_SCRIPT}
    VERBATIM)
  # A new certificate or key links the target again, and so signs it again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${sign_FILES})
endfunction()

function(extrun_sign_copy name program)
  _extrun_sign_command(sign "extrun_sign_copy(${name})" OFF ${ARGN})
  get_target_property(location ${program} LOCATION)
  get_filename_component(file_name ${location} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name}/${file_name})
  add_custom_command(OUTPUT ${out}
    COMMAND ${sign_COMMAND} -DIN=${location} -DOUT=${out} -P ${EXTRUN_SIGN_SCRIPT}
    DEPENDS ${location} ${sign_FILES} ${EXTRUN_SIGN_SCRIPT}
    COMMENT "Signing a copy of ${file_name}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${out})
  set_target_properties(${name} PROPERTIES EXTRUN_SIGNED_FILE ${out})
endfunction()

# What follows runs when the build signs a file.

# <out>: the characters of UTF-8 `text` as a list of their bytes in hex, as "e5 8c 97", so that
# they can be compared and counted one by one; a stray continuation byte is left out.
function(_extrun_characters text out)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\1 " hex "${hex}")
  string(REGEX MATCHALL "[0-7c-f][0-9a-f] ([89ab][0-9a-f] )*" characters "${hex}")
  list(TRANSFORM characters STRIP)
  set(${out} "${characters}" PARENT_SCOPE)
endfunction()

# <out>: how many characters must be added, removed or changed to make `a` into `b`.
function(_extrun_edit_distance a b out)
  _extrun_characters("${a}" a)
  _extrun_characters("${b}" b)
  list(LENGTH b columns)
  set(row)
  foreach(j RANGE ${columns})
    list(APPEND row ${j})
  endforeach()
  set(i 0)
  foreach(x IN LISTS a)
    math(EXPR i "${i} + 1")
    set(next ${i})
    set(j 0)
    foreach(y IN LISTS b)
      list(GET row ${j} diagonal)
      math(EXPR j "${j} + 1")
      list(GET row ${j} above)
      list(GET next -1 left)
      math(EXPR best "${above} + 1")
      math(EXPR other "${left} + 1")
      if(other LESS best)
        set(best ${other})
      endif()
      if(NOT x STREQUAL y)
        math(EXPR diagonal "${diagonal} + 1")
      endif()
      if(diagonal LESS best)
        set(best ${diagonal})
      endif()
      list(APPEND next ${best})
    endforeach()
    set(row ${next})
  endforeach()
  list(GET row -1 distance)
  set(${out} ${distance} PARENT_SCOPE)
endfunction()

# <out>: `text` read back as the bytes it was made of, when it is what openssl req makes of UTF-8
# without -utf8 (each byte taken for a character of its own, U+0080 to U+00FF); else empty.
function(_extrun_unmangled text out)
  set(${out} "" PARENT_SCOPE)
  _extrun_characters("${text}" characters)
  # Only characters up to U+00FF, and among them C1 controls, which no real name holds but
  # every Chinese character read so becomes.
  if(NOT characters MATCHES "c2 [89]" OR characters MATCHES "(^|;)([d-f]|c[4-9a-f])")
    return()
  endif()
  set(bytes "")
  foreach(character IN LISTS characters)
    if(character MATCHES "^c([23]) (.)(.)$")
      # C2 xx is U+00xx, C3 xx is U+00xx + 0x40.
      math(EXPR value "0x${CMAKE_MATCH_2}${CMAKE_MATCH_3} + (${CMAKE_MATCH_1} - 2) * 64")
    else()
      math(EXPR value "0x${character}")
    endif()
    string(ASCII ${value} byte)
    string(APPEND bytes "${byte}")
  endforeach()
  set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

# <out>: which files the signing reads and where the key's password comes from, for a message
# that a CI log alone makes plain.
function(_extrun_signing_inputs out)
  if(PKCS12)
    set(text "the PKCS#12 file ${PKCS12}")
  else()
    set(text "the certificate ${CERT} and the key ${KEY}")
  endif()
  if(PASSWORD_FILE)
    string(APPEND text " with the password in the file ${PASSWORD_FILE}")
  elseif(PASSWORD_ENV)
    string(APPEND text " with the password in the environment variable ${PASSWORD_ENV}")
  else()
    string(APPEND text " without a password")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Runs openssl with `arguments`; <out> gets what it printed. Fails the signing where openssl does.
function(_extrun_openssl out)
  execute_process(COMMAND ${OPENSSL} ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE text
    ERROR_VARIABLE error)
  if(NOT code EQUAL 0)
    _extrun_signing_inputs(inputs)
    _extrun_sign_failed("openssl ${ARGV1} could not read ${inputs} (a wrong password, or not \
that kind of file):\n${error}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The signing certificate's name, as CertGetNameStringW shows it: the subject's common name,
# else its organisational unit, else its organisation. The certificate is the one whose public
# key is the private key's, as osslsigncode picks it (a PKCS#12 file marks it as the key's); the
# first one where none is.
function(_extrun_signer_name out)
  set(pass)
  if(PASSWORD_FILE)
    set(pass -passin file:${PASSWORD_FILE})
  elseif(PASSWORD_ENV)
    set(pass -passin env:${PASSWORD_ENV})
  endif()
  set(candidate ${OUT}.signer.pem)
  set(public "")
  if(PKCS12)
    _extrun_openssl(certificates pkcs12 -in ${PKCS12} -nokeys -clcerts ${pass})
  else()
    file(READ ${CERT} certificates)
    if(NOT certificates MATCHES "-----BEGIN CERTIFICATE-----")
      _extrun_openssl(certificates x509 -inform DER -in ${CERT})
    endif()
    _extrun_openssl(public pkey -in ${KEY} -pubout ${pass})
  endif()
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]*-----END CERTIFICATE-----" certificates
    "${certificates}")
  set(signer "")
  foreach(certificate IN LISTS certificates)
    file(WRITE ${candidate} "${certificate}\n")
    _extrun_openssl(key x509 -in ${candidate} -noout -pubkey)
    if(signer STREQUAL "" OR key STREQUAL public)
      _extrun_openssl(signer x509 -in ${candidate} -noout -subject -nameopt utf8,sep_multiline)
      if(key STREQUAL public)
        break()
      endif()
    endif()
  endforeach()
  file(REMOVE ${candidate})
  foreach(attribute CN OU O)
    if(signer MATCHES "\n    ${attribute}=([^\n]*)")
      set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  _extrun_sign_failed("the signing certificate has no name (no CN, OU or O in its subject)")
endfunction()

# Ends the signing: the output is removed, so that no unsigned file stands where a signed one
# belongs and the next build makes and signs it again.
function(_extrun_sign_failed why)
  file(REMOVE ${OUT} ${OUT}.signed ${OUT}.password ${OUT}.signer.pem)
  message(FATAL_ERROR "extrun_sign: ${OUT} not signed, and removed: ${why}")
endfunction()

function(_extrun_check_signer_name)
  _extrun_signer_name(name)
  list(FIND EXTRUN_ACCEPTED_SIGNERS "${name}" index)
  if(index GREATER -1)
    return()
  endif()
  set(why "the launcher accepts no signer named \"${name}\"")
  _extrun_unmangled("${name}" bytes)
  if(NOT bytes STREQUAL "")
    string(APPEND why ". The name is UTF-8 taken a byte at a time, as openssl req makes it "
      "without -utf8; read as UTF-8 it is \"${bytes}\": make the certificate again with "
      "openssl req -utf8")
    set(name "${bytes}")
  endif()
  set(nearest "")
  foreach(accepted IN LISTS EXTRUN_ACCEPTED_SIGNERS)
    _extrun_edit_distance("${name}" "${accepted}" distance)
    if(nearest STREQUAL "" OR distance LESS best)
      set(nearest "${accepted}")
      set(best ${distance})
    endif()
  endforeach()
  if(best EQUAL 0)
    string(APPEND why ". It is the accepted \"${nearest}\"")
  else()
    string(APPEND why ". The nearest accepted name is \"${nearest}\", ${best} characters away")
  endif()
  _extrun_sign_failed("${why} (extrun-check --signers lists all 23; ANY_NAME signs a file \
the launcher does not load under any name)")
endfunction()

function(_extrun_sign_file)
  if(PASSWORD_ENV AND NOT DEFINED ENV{${PASSWORD_ENV}})
    _extrun_signing_inputs(inputs)
    _extrun_sign_failed("the environment variable ${PASSWORD_ENV}, which holds the key's \
password, is not set (signing with ${inputs})")
  endif()
  if(CHECK_NAME)
    _extrun_check_signer_name()
  endif()
  set(options)
  if(PKCS12)
    list(APPEND options -pkcs12 ${PKCS12})
  else()
    list(APPEND options -certs ${CERT} -key ${KEY})
  endif()
  if(PASSWORD_FILE)
    list(APPEND options -readpass ${PASSWORD_FILE})
  elseif(PASSWORD_ENV)
    # osslsigncode takes a password on its command line, where every user of the machine could
    # read it, or from a file: one only its owner can read, gone once the signing is done.
    file(WRITE ${OUT}.password "")
    file(CHMOD ${OUT}.password PERMISSIONS OWNER_READ OWNER_WRITE)
    file(APPEND ${OUT}.password "$ENV{${PASSWORD_ENV}}")
    list(APPEND options -readpass ${OUT}.password)
  endif()
  if(TIMESTAMP_URL)
    list(APPEND options -ts ${TIMESTAMP_URL})
  endif()
  # osslsigncode will not overwrite; a leftover of a failed run would stop it.
  file(REMOVE ${OUT}.signed)
  execute_process(COMMAND ${OSSLSIGNCODE} sign -h sha256 ${options} -in ${IN} -out ${OUT}.signed
    RESULT_VARIABLE code OUTPUT_VARIABLE output ERROR_VARIABLE output)
  file(REMOVE ${OUT}.password)
  if(NOT code EQUAL 0)
    _extrun_signing_inputs(inputs)
    _extrun_sign_failed("osslsigncode could not sign with ${inputs}:\n${output}")
  endif()
  file(RENAME ${OUT}.signed ${OUT})
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  _extrun_sign_file()
endif()
