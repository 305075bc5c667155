# Authenticode signing with throw-away certificates.
#
# Extensions are only loaded when signed under an accepted publisher name, and
# the check tolerates an untrusted root, so a self-signed code-signing
# certificate carrying such a name is enough for tests and the demo. Each
# certificate and its private key are made by openssl in this build folder
# the first time a target needs them; no key exists anywhere else.
#
#   extrun_sign_target(<target> "<signer name>")
#     Signs the target's DLL or EXE after every link.
#   extrun_signing_certificate("<signer name>" <prefix>)
#     For files made by custom commands: sets <prefix>_CERT and <prefix>_KEY
#     (PEM paths), <prefix>_TARGET (the target that makes them) and
#     <prefix>_SIGN, a command to complete with "-in <file> -out <signed file>"
#     (the output must not exist yet).
#
# The signer name becomes the certificate's common name exactly as given
# (UTF-8 in CMake, so Chinese names work; letter case and blanks are kept).

find_program(EXTRUN_OPENSSL openssl)
find_program(EXTRUN_OSSLSIGNCODE osslsigncode)
set(EXTRUN_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)

function(extrun_signing_certificate signer prefix)
  if(NOT EXTRUN_OPENSSL OR NOT EXTRUN_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing needs openssl and osslsigncode on the build machine")
  endif()
  string(MD5 id "${signer}")
  string(SUBSTRING "${id}" 0 12 id)
  set(dir ${EXTRUN_SIGNING_DIR}/${id})
  set(target extrun_signer_${id})
  # openssl's -subj reads '/' as a separator, '+' as a multi-value joint and
  # '\' as an escape; escape them so that the name is taken literally.
  string(REPLACE "\\" "\\\\" subject "${signer}")
  string(REPLACE "/" "\\/" subject "${subject}")
  string(REPLACE "+" "\\+" subject "${subject}")
  if(NOT TARGET ${target})
    add_custom_command(OUTPUT ${dir}/cert.pem ${dir}/key.pem
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${EXTRUN_OPENSSL} genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048
              -out ${dir}/key.pem
      COMMAND ${EXTRUN_OPENSSL} req -x509 -key ${dir}/key.pem -days 3650 -utf8
              -subj "/CN=${subject}"
              -addext "extendedKeyUsage=codeSigning"
              -addext "keyUsage=critical,digitalSignature"
              -out ${dir}/cert.pem
      COMMENT "Making a throw-away code-signing certificate for \"${signer}\""
      VERBATIM)
    add_custom_target(${target} DEPENDS ${dir}/cert.pem ${dir}/key.pem)
  endif()
  set(${prefix}_CERT ${dir}/cert.pem PARENT_SCOPE)
  set(${prefix}_KEY ${dir}/key.pem PARENT_SCOPE)
  set(${prefix}_TARGET ${target} PARENT_SCOPE)
  # No time-stamping server: signing never touches the network.
  set(${prefix}_SIGN ${EXTRUN_OSSLSIGNCODE} sign -h sha256 -certs ${dir}/cert.pem -key ${dir}/key.pem
      PARENT_SCOPE)
endfunction()

function(extrun_sign_target target signer)
  extrun_signing_certificate("${signer}" cert)
  add_dependencies(${target} ${cert_TARGET})
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    # osslsigncode will not overwrite; a leftover of a failed run would stop it.
    COMMAND ${CMAKE_COMMAND} -E rm -f ${file}.signed
    COMMAND ${cert_SIGN} -in ${file} -out ${file}.signed
    COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
    VERBATIM)
endfunction()
