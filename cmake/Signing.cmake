# Authenticode signing with throw-away certificates.
#
# Extensions are only loaded when signed under an accepted publisher name, and
# the check tolerates an untrusted root, so a self-signed code-signing
# certificate carrying such a name is enough for tests and the demo. Each
# certificate and its private key are made by openssl in this build folder
# the first time a target needs them; no key exists anywhere else.
#
#   extrun_sign_target(<target> "<signer name>" [ISSUER "<CA name>"])
#     Signs the target's DLL or EXE after every link, with extrun_sign, under any
#     name: the tests' own fixtures carry refused names on purpose.
#   extrun_signing_certificate("<signer name>" <prefix> [ISSUER "<CA name>"])
#     For files made by custom commands: sets <prefix>_CERT and <prefix>_KEY
#     (PEM paths), <prefix>_CHAIN (what a signature carries: the certificate,
#     then its CA's), <prefix>_TARGET (the target that makes them) and
#     <prefix>_SIGN, a command to complete with "-in <file> -out <signed file>"
#     (the output must not exist yet).
#   extrun_signing_ca("<CA name>" <prefix>)
#     A throw-away certificate authority: sets <prefix>_CERT, <prefix>_KEY and
#     <prefix>_TARGET.
#
# A signing certificate is an end-entity certificate (CA:FALSE, for code
# signing only), as a real one is; a CA's is a CA's (CA:TRUE, for signing
# certificates only). Without ISSUER a signing certificate is self-signed.
# With it, the CA of that name issues it, and a signature carries the
# certificate and then the CA's, as a publisher's own private CA would have it.
#
# The signer name becomes the certificate's common name exactly as given
# (UTF-8 in CMake, so Chinese names work; letter case and blanks are kept).

include(${CMAKE_CURRENT_LIST_DIR}/ExtrunSign.cmake)
find_program(EXTRUN_OPENSSL openssl)
find_program(EXTRUN_OSSLSIGNCODE osslsigncode)
set(EXTRUN_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)

# The subject "/CN=<name>" for openssl's -subj, which reads '/' as a
# separator, '+' as a multi-value joint and '\' as an escape; they are escaped
# so that the name is taken literally.
function(extrun_signing_subject name out)
  string(REPLACE "\\" "\\\\" subject "${name}")
  string(REPLACE "/" "\\/" subject "${subject}")
  string(REPLACE "+" "\\+" subject "${subject}")
  set(${out} "/CN=${subject}" PARENT_SCOPE)
endfunction()

function(extrun_signing_ca name prefix)
  if(NOT EXTRUN_OPENSSL)
    message(FATAL_ERROR "Signing needs openssl on the build machine")
  endif()
  string(MD5 id "CA ${name}")
  string(SUBSTRING "${id}" 0 12 id)
  set(dir ${EXTRUN_SIGNING_DIR}/${id})
  set(target extrun_signer_${id})
  extrun_signing_subject("${name}" subject)
  if(NOT TARGET ${target})
    add_custom_command(OUTPUT ${dir}/cert.pem ${dir}/key.pem
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${EXTRUN_OPENSSL} genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048
              -out ${dir}/key.pem
      COMMAND ${EXTRUN_OPENSSL} req -x509 -key ${dir}/key.pem -days 3650 -utf8 -subj "${subject}"
              -addext "basicConstraints=critical,CA:TRUE"
              -addext "keyUsage=critical,keyCertSign"
              -out ${dir}/cert.pem
      COMMENT "Making a throw-away certificate authority \"${name}\""
      VERBATIM)
    add_custom_target(${target} DEPENDS ${dir}/cert.pem ${dir}/key.pem)
    set_property(GLOBAL APPEND PROPERTY EXTRUN_BUILD_MADE_FILES ${dir}/cert.pem ${dir}/key.pem)
  endif()
  set(${prefix}_CERT ${dir}/cert.pem PARENT_SCOPE)
  set(${prefix}_KEY ${dir}/key.pem PARENT_SCOPE)
  set(${prefix}_TARGET ${target} PARENT_SCOPE)
endfunction()

function(extrun_signing_certificate signer prefix)
  cmake_parse_arguments(ARG "" "ISSUER" "" ${ARGN})
  if(NOT EXTRUN_OPENSSL OR NOT EXTRUN_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing needs openssl and osslsigncode on the build machine")
  endif()
  if(DEFINED ARG_ISSUER)
    string(MD5 id "${signer} issued by ${ARG_ISSUER}")
  else()
    string(MD5 id "${signer}")
  endif()
  string(SUBSTRING "${id}" 0 12 id)
  set(dir ${EXTRUN_SIGNING_DIR}/${id})
  set(target extrun_signer_${id})
  extrun_signing_subject("${signer}" subject)
  # What a signature carries: the certificate alone, or it and then its CA's.
  set(chain ${dir}/cert.pem)
  set(outputs ${dir}/cert.pem ${dir}/key.pem)
  set(issue)
  set(make_chain)
  set(issuer_files)
  if(DEFINED ARG_ISSUER)
    extrun_signing_ca("${ARG_ISSUER}" issuer)
    set(chain ${dir}/chain.pem)
    list(APPEND outputs ${chain})
    set(issue -CA ${issuer_CERT} -CAkey ${issuer_KEY})
    set(make_chain COMMAND sh -c "cat \"$0\" \"$1\" > \"$2\"" ${dir}/cert.pem ${issuer_CERT}
        ${chain})
    set(issuer_files ${issuer_CERT} ${issuer_TARGET})
  endif()
  if(NOT TARGET ${target})
    add_custom_command(OUTPUT ${outputs}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${EXTRUN_OPENSSL} genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048
              -out ${dir}/key.pem
      COMMAND ${EXTRUN_OPENSSL} req -x509 -key ${dir}/key.pem ${issue} -days 3650 -utf8
              -subj "${subject}"
              -addext "basicConstraints=critical,CA:FALSE"
              -addext "extendedKeyUsage=codeSigning"
              -addext "keyUsage=critical,digitalSignature"
              -out ${dir}/cert.pem
      ${make_chain}
      DEPENDS ${issuer_files}
      COMMENT "Making a throw-away code-signing certificate for \"${signer}\""
      VERBATIM)
    add_custom_target(${target} DEPENDS ${outputs})
    set_property(GLOBAL APPEND PROPERTY EXTRUN_BUILD_MADE_FILES ${outputs})
  endif()
  set(${prefix}_CERT ${dir}/cert.pem PARENT_SCOPE)
  set(${prefix}_KEY ${dir}/key.pem PARENT_SCOPE)
  set(${prefix}_CHAIN ${chain} PARENT_SCOPE)
  set(${prefix}_TARGET ${target} PARENT_SCOPE)
  # No time-stamping server: signing never touches the network.
  set(${prefix}_SIGN ${EXTRUN_OSSLSIGNCODE} sign -h sha256 -certs ${chain} -key ${dir}/key.pem
      PARENT_SCOPE)
endfunction()

function(extrun_sign_target target signer)
  extrun_signing_certificate("${signer}" cert ${ARGN})
  add_dependencies(${target} ${cert_TARGET})
  extrun_sign(${target} CERT ${cert_CHAIN} KEY ${cert_KEY} ANY_NAME)
endfunction()
