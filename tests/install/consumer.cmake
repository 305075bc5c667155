# A product team's afternoon: the install and its two zips hold exactly what ships, each path
# once; the example product and consumer/, built on the install alone with its toolchain file,
# get version resources and debug files, sign with PKCS#12, pass extrun_add_check and run as
# extrun-check foretells; a project that is no 64-bit Windows build is refused, a signing key
# that is not there fails at configure and a wrong password at the build, naming the file and the
# variable, and a signer name the launcher refuses fails every build until it is mended.
set(work ${BUILD}/consumer-test)
set(prefix ${work}/prefix)
set(tree ${BUILD}/wineprefix/drive_c/wistmere)
file(REMOVE_RECURSE ${work} ${tree})
file(MAKE_DIRECTORY ${tree} ${work}/build)

macro(run expected)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${tree} RESULT_VARIABLE code
    OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(REGEX REPLACE "[ \r\n]+" " " flat "${out}")  # CMake wraps its messages
  if(NOT code STREQUAL "${expected}")
    message(FATAL_ERROR "${ARGN}\nexit code ${code}, not ${expected}:\n${out}")
  endif()
endmacro()
function(expect regex)
  if(NOT flat MATCHES "${regex}")
    message(FATAL_ERROR "no \"${regex}\" in:\n${out}")
  endif()
endfunction()

run(0 ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
run(0 ${CMAKE_CPACK_COMMAND} --config ${BUILD}/CPackConfig.cmake -B ${work})
set(runtime bin/FaultSend.exe bin/extrun.exe share/doc/extrun/README.md
  share/doc/extrun/THIRD-PARTY-NOTICES.txt)
set(devkit ${runtime} bin/extrun-check.exe bin/extrun-pack.exe bin/extrun.exe.debug
  bin/extrun-check.exe.debug bin/extrun-pack.exe.debug bin/FaultSend.exe.debug
  include/extrun/extension.h include/extrun/package.h lib/cmake/extrun/ExtrunCheck.cmake
  lib/cmake/extrun/ExtrunExtensionInfo.cmake lib/cmake/extrun/ExtrunSign.cmake
  lib/cmake/extrun/extrunConfig.cmake lib/cmake/extrun/extrunConfigVersion.cmake
  lib/cmake/extrun/extrunTargets-release.cmake lib/cmake/extrun/extrunTargets.cmake
  lib/libextrun-package.a share/extrun/example/CMakeLists.txt share/extrun/example/extension.cpp
  share/extrun/example/product.cpp share/extrun/mingw-w64-x86_64.cmake)
foreach(kit devkit runtime)
  run(0 ${CMAKE_COMMAND} -E tar tf ${work}/extrun-${VERSION}-win64-${kit}.zip)
  string(REGEX MATCHALL "[^\n]+" entries "${out}")
  set(once ${entries})
  list(REMOVE_DUPLICATES once)
  if(NOT once STREQUAL entries)
    message(FATAL_ERROR "the ${kit} archive lists a path twice:\n${out}")
  endif()
  file(ARCHIVE_EXTRACT INPUT ${work}/extrun-${VERSION}-win64-${kit}.zip DESTINATION ${work}/${kit})
  set(${kit}_tree ${work}/${kit}/extrun-${VERSION}-win64)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${${kit}_tree} ${${kit}_tree}/*)
  list(SORT files)
  list(SORT ${kit})
  if(NOT files STREQUAL ${kit})
    message(FATAL_ERROR "the ${kit} archive holds ${files}\nnot ${${kit}}")
  endif()
endforeach()
run(0 diff -r ${prefix} ${devkit_tree})
foreach(program extrun extrun-check extrun-pack uploader/FaultSend)
  get_filename_component(name ${program} NAME)
  run(0 ${CMAKE_COMMAND} -E compare_files ${prefix}/bin/${name}.exe ${BUILD}/bin/${program}.exe)
endforeach()
run(0 ${CMAKE_COMMAND} -E compare_files ${prefix}/bin/extrun.exe ${runtime_tree}/bin/extrun.exe)
file(STRINGS ${prefix}/share/doc/extrun/THIRD-PARTY-NOTICES.txt notices LIMIT_COUNT 1)
file(GLOB programs RELATIVE ${prefix}/bin ${prefix}/bin/*.exe)
foreach(program IN LISTS programs)
  if(NOT notices MATCHES "${program}")
    message(FATAL_ERROR "the notices do not cover ${program}: ${notices}")
  endif()
endforeach()
# The program that links the package library brings the stack guard's run-time.
run(0 x86_64-w64-mingw32-nm -g --defined-only ${prefix}/lib/libextrun-package.a)
if(out MATCHES " (__stack_chk_fail|__stack_chk_guard|__[a-z_]*chk[a-z_]*)\n")
  message(FATAL_ERROR "the package library defines ${CMAKE_MATCH_1}")
endif()

set(consumer -S ${CMAKE_CURRENT_LIST_DIR}/consumer -G Ninja -DCMAKE_PREFIX_PATH=${prefix}
  -DEXAMPLE=${prefix}/share/extrun/example)
run(1 ${CMAKE_COMMAND} ${consumer} -B ${work}/native)
expect("extrun is for 64-bit x86 Windows programs, and this project builds for Linux")
# A 32-bit Windows project (in C: there is no 32-bit C++ compiler here).
file(WRITE ${work}/win32/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)\n"
  "project(win32 LANGUAGES C)\nfind_package(extrun 1.0 REQUIRED)\n")
run(1 ${CMAKE_COMMAND} -S ${work}/win32 -B ${work}/win32/build -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=i686-w64-mingw32-gcc-posix)
expect("this project builds for Windows .*\\(pointers of 4 bytes\\)")

set(ENV{WISTMERE_KEY_PASSWORD} "throw-away")
run(0 ${OPENSSL} pkcs12 -export -in ${CERT} -inkey ${KEY} -out ${work}/wistmere.p12
  -passout env:WISTMERE_KEY_PASSWORD)
set(configure ${CMAKE_COMMAND} ${consumer} -B ${work}/build
  -DCMAKE_TOOLCHAIN_FILE=${prefix}/share/extrun/mingw-w64-x86_64.cmake
  -DSIGNING_PASSWORD_ENV=WISTMERE_KEY_PASSWORD -DCMAKE_CROSSCOMPILING_EMULATOR=${BUILD}/wine-run)
# Signing keys that are not there stop the configure step, which names them.
run(1 ${configure} -DSIGNING_PKCS12=${work}/missing.p12)
expect("SIGNING_PKCS12 names no PKCS#12 file \\(\"${work}/missing.p12\"\\)")
run(1 ${configure} -DSIGNING_PKCS12=${work}/wistmere.p12)
expect("extrun_sign\\(entries\\): CERT ${work}/build/signer.pem: no such file")
file(COPY_FILE ${CERT} ${work}/build/signer.pem)
file(COPY_FILE ${KEY} ${work}/build/signer.key)
run(0 ${configure})
# So does a release signing of extrun's own programs with half a key.
run(1 ${CMAKE_COMMAND} -DEXTRUN_SIGNING_CERT=${CERT} -DEXTRUN_SIGNING_KEY=${work}/missing.pem
  -P ${CMAKE_CURRENT_LIST_DIR}/../../cmake/ReleaseProgram.cmake)
expect("EXTRUN_SIGNING_KEY names no file \\(\"${work}/missing.pem\"\\)")
# A wrong password in CI: the failure names the file and the variable.
set(ENV{WISTMERE_KEY_PASSWORD} "wrong")
run(1 ${CMAKE_COMMAND} --build ${work}/build --target hello)
expect("hello.dll not signed, and removed: openssl pkcs12 could not read the PKCS#12 file \
${work}/wistmere.p12 with the password in the environment variable WISTMERE_KEY_PASSWORD")
set(ENV{WISTMERE_KEY_PASSWORD} "throw-away")
run(0 ${CMAKE_COMMAND} --build ${work}/build)
run(8 ${CMAKE_CTEST_COMMAND} --test-dir ${work}/build --output-on-failure)
expect("extrun_check.entries.Plain \\.+\\*+Failed .* tree: [^ ]*extrun_check.entries.Plain, made \
for this check alone: bin.extrun.exe, bin.extrun-check.exe, ext.entries.dll; no product program \
and no FaultSend.exe, so the product: and uploader: lines say none launcher: [^ ]*extrun\\.exe \
\\(there\\) .* entry: \"Plain\" not exported; \"_Z5PlainPKw\" is a C\\+\\+ name for it: declare \
the entry extern \"C\" imports: system DLLs only exit code: 0 \\(with --exitcode=1: 14\\) verdict: \
no export Plain ")
# Several entries of one DLL, in one call and in two, and a DLL of its own in the launcher's folder.
foreach(check hello.Run entries.RunFromC withdep.Run withdep.Stop)
  expect("extrun_check.${check} \\.+ +Passed")
endforeach()
# Version resources, and debug files beside the DLLs, matched to them by their CodeView record.
run(0 x86_64-w64-mingw32-windres -i ${work}/build/withdep.dll -O rc)
expect("FILEVERSION 2, 7, 0, 0 .* VALUE \"CompanyName\", \"Wistmere \"\"Co\"\"\" .* \
VALUE \"OriginalFilename\", \"withdep.dll\" VALUE \"ProductName\", L\"Wistmere \\\\x5317\\\\x4eac\"")
# Every DLL the toolchain file links has a CodeView record, even without a debug file.
run(0 x86_64-w64-mingw32-objdump -p ${work}/build/entries.dll)
expect("\\(format RSDS signature [0-9a-f]+ age 1")
foreach(file example/hello.dll withdep.dll)
  run(0 x86_64-w64-mingw32-objdump -h -p ${work}/build/${file})
  if(flat MATCHES "\\.debug_")
    message(FATAL_ERROR "${file}: debug sections left in it:\n${out}")
  endif()
  expect("CodeView [0-9a-f]+ [0-9a-f]+ [0-9a-f]+ \\(format RSDS signature [0-9a-f]+ age 1")
  string(REGEX MATCH "RSDS signature ([0-9a-f]+)" id "${flat}")
  run(0 x86_64-w64-mingw32-objdump -p ${work}/build/${file}.debug)
  expect("format ${id} age 1")
endforeach()
run(0 ${CMAKE_COMMAND} --install ${work}/build --prefix ${tree})
foreach(signed ext/hello.dll bin/extrun.exe)
  run(0 osslsigncode verify -CAfile ${CERT} -in ${tree}/${signed})
  expect("Message digest algorithm : SHA256 ")
endforeach()

run(0 ${BUILD}/wine-run C:\\wistmere\\Wistmere.exe)
set(packed "${out}")
run(0 iconv -f UTF-16LE -t UTF-8 received.txt)
if(NOT out STREQUAL packed)
  message(FATAL_ERROR "the extension received ${out}\nnot ${packed}")
endif()
run(0 ${BUILD}/wine-run C:\\wistmere\\bin\\extrun-check.exe --dll=ext\\entries.dll --entry=RunFromC)

file(GLOB_RECURSE passwords ${work}/build/*.password)
if(passwords)
  message(FATAL_ERROR "the key's password is left in ${passwords}")
endif()

# A new certificate signs again; made without -utf8, its name is refused and no DLL is left, at
# this build and the next, and with a name near an accepted one, until a certificate with an
# accepted name takes its place.
set(certificate ${OPENSSL} req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30
  -keyout ${work}/build/signer.key -out ${work}/build/signer.pem -subj)
run(0 ${certificate} "/CN=北京泰萨利软件技术有限公司")
foreach(build mangled again near)
  if(build STREQUAL "near")
    run(0 ${certificate} "/CN=Tessaly Software Technology Co, Ltd" -utf8)
  endif()
  run(1 ${CMAKE_COMMAND} --build ${work}/build)
  if(build STREQUAL "near")
    expect("no signer named \"Tessaly Software Technology Co, Ltd\"\\. The nearest accepted \
name is \"Tessaly Software Technology Co\\., Ltd\\.\", 2 characters away")
    # The launcher's copy is signed under any name: it is no extension.
    run(0 ${CMAKE_COMMAND} --build ${work}/build --target launcher)
  else()
    expect("entries.dll not signed, and removed: .* make the certificate again with openssl req \
-utf8\\. It is the accepted \"北京泰萨利软件技术有限公司\"")
  endif()
  if(EXISTS ${work}/build/entries.dll)
    message(FATAL_ERROR "an unsigned entries.dll is left after the ${build} build")
  endif()
endforeach()
run(0 ${certificate} "/O=Tessaly/CN=Kelmora Information Technology Co., Limited" -utf8)
run(0 ${CMAKE_COMMAND} --build ${work}/build)
run(0 osslsigncode verify -CAfile ${work}/build/signer.pem -in ${work}/build/entries.dll)
expect("Subject: /O=Tessaly/CN=Kelmora Information Technology Co., Limited")
