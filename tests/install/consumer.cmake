# A product team's afternoon: the install and its zip hold exactly what ships; consumer/, built on
# the install alone, gets its extension called from its package, as extrun-check foretells.
set(work ${BUILD}/consumer-test)
set(tree ${BUILD}/wineprefix/drive_c/wistmere)
file(REMOVE_RECURSE ${work} ${tree})
file(MAKE_DIRECTORY ${tree})

macro(run expected)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${tree} RESULT_VARIABLE code
    OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT code STREQUAL "${expected}")
    message(FATAL_ERROR "${ARGN}\nexit code ${code}, not ${expected}:\n${out}")
  endif()
endmacro()

run(0 ${CMAKE_COMMAND} --install ${BUILD} --prefix ${work}/prefix)
run(0 ${CMAKE_CPACK_COMMAND} --config ${BUILD}/CPackConfig.cmake -B ${work})
file(ARCHIVE_EXTRACT INPUT ${work}/extrun-${VERSION}-win64.zip DESTINATION ${work})
set(shipped bin/FaultSend.exe bin/extrun-check.exe bin/extrun-pack.exe bin/extrun.exe include/extrun/extension.h
  include/extrun/package.h lib/cmake/extrun/ExtrunSign.cmake lib/cmake/extrun/extrunConfig.cmake
  lib/cmake/extrun/extrunConfigVersion.cmake lib/cmake/extrun/extrunTargets-release.cmake
  lib/cmake/extrun/extrunTargets.cmake lib/libextrun-package.a share/doc/extrun/README.md)
run(0 diff -r ${work}/prefix ${work}/extrun-${VERSION}-win64)
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${work}/prefix ${work}/prefix/*)
list(SORT files)
if(NOT files STREQUAL shipped)
  message(FATAL_ERROR "the install holds ${files}\nnot ${shipped}")
endif()
foreach(program extrun extrun-check extrun-pack uploader/FaultSend)
  get_filename_component(name ${program} NAME)
  run(0 ${CMAKE_COMMAND} -E compare_files ${work}/prefix/bin/${name}.exe ${BUILD}/bin/${program}.exe)
endforeach()

run(0 ${CMAKE_COMMAND} --install ${BUILD} --prefix ${work}/uploader --component uploader)
if(NOT EXISTS ${work}/uploader/bin/FaultSend.exe)
  message(FATAL_ERROR "the install component uploader holds no bin/FaultSend.exe")
endif()

run(0 ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${work}/build -G Ninja
  -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_LIST_DIR}/../../cmake/mingw-w64-x86_64.cmake
  -DCMAKE_PREFIX_PATH=${work}/prefix -DSIGNING_CERT=${CERT} -DSIGNING_KEY=${KEY})
run(0 ${CMAKE_COMMAND} --build ${work}/build)
run(0 ${CMAKE_COMMAND} --install ${work}/build --prefix ${tree})
run(0 osslsigncode verify -CAfile ${CERT} -in ${tree}/ext/hello.dll)
if(NOT out MATCHES "Message digest algorithm  : SHA256\n")
  message(FATAL_ERROR "extrun_sign signed without SHA-256 digests:\n${out}")
endif()

run(0 ${BUILD}/wine-run C:\\wistmere\\Wistmere.exe)
set(packed "${out}")
run(0 iconv -f UTF-16LE -t UTF-8 received.txt)
if(NOT out STREQUAL packed)
  message(FATAL_ERROR "the extension received ${out}\nnot ${packed}")
endif()

foreach(entry Run RunFromC)
  run(0 ${BUILD}/wine-run C:\\wistmere\\bin\\extrun-check.exe --dll=ext\\hello.dll --entry=${entry})
endforeach()
run(1 ${BUILD}/wine-run C:\\wistmere\\bin\\extrun-check.exe --dll=ext\\hello.dll --entry=Plain)
if(NOT out MATCHES "\nentry: \"Plain\" not exported; \"_Z5PlainPKw\" is a C\\+\\+ name for it: declare the \
entry extern \"C\"\nverdict: no export Plain\n")  # CMake drops the CRs
  message(FATAL_ERROR "extrun-check does not name the C++ export:\n${out}")
endif()
