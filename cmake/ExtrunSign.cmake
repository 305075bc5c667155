# Authenticode signing with osslsigncode and SHA-256 digests: how extrun's own programs are signed
# for release, and what find_package(extrun) gives an extension's author.
#
#   extrun_sign(<target> CERT <chain.pem> KEY <key.pem>
#               [KEY_PASSWORD_FILE <file>] [TIMESTAMP_URL <url>])
#     Signs the target's DLL or program after every link. CERT holds the code-signing
#     certificate and the CAs that issued it (PEM or DER), KEY its private key.

function(extrun_sign target)
  cmake_parse_arguments(S "" "CERT;KEY;KEY_PASSWORD_FILE;TIMESTAMP_URL" "" ${ARGN})
  if(NOT S_CERT OR NOT S_KEY)
    message(FATAL_ERROR "extrun_sign(${target}): CERT and KEY are both needed")
  endif()
  find_program(EXTRUN_OSSLSIGNCODE osslsigncode REQUIRED)
  # The command runs in the build folder; names are taken from where the caller gave them.
  get_filename_component(S_CERT ${S_CERT} ABSOLUTE)
  get_filename_component(S_KEY ${S_KEY} ABSOLUTE)
  set(options)
  if(S_KEY_PASSWORD_FILE)
    get_filename_component(S_KEY_PASSWORD_FILE ${S_KEY_PASSWORD_FILE} ABSOLUTE)
    list(APPEND options -readpass ${S_KEY_PASSWORD_FILE})
  endif()
  if(S_TIMESTAMP_URL)
    list(APPEND options -ts ${S_TIMESTAMP_URL})
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    # osslsigncode will not overwrite; a leftover of a failed run would stop it.
    COMMAND ${CMAKE_COMMAND} -E rm -f ${file}.signed
    COMMAND ${EXTRUN_OSSLSIGNCODE} sign -h sha256 -certs ${S_CERT} -key ${S_KEY} ${options}
            -in ${file} -out ${file}.signed
    COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
    VERBATIM)
endfunction()
