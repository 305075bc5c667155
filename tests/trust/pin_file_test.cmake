# Pin files through cmake/PublisherPins.cmake as configuring reads them: each
# malformed one stops with its file, line and fault; a well-formed one
# becomes a table of its keys, comments, blanks and letter case aside.
#   cmake -DDIR=<scratch folder> -P pin_file_test.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/PublisherPins.cmake)
set(pin 4946aee596d0a721d8eb137ff813d186bf66d30ae4c6fd55a02d499eba9dbe33)
string(SUBSTRING ${pin} 1 -1 short)
string(TOUPPER ${pin} upper)
file(MAKE_DIRECTORY ${DIR})
set(failures 0)

# Each case runs in a cmake of its own, as a malformed file ends the run.
function(expect name text expected)
  file(WRITE ${DIR}/${name}.txt "${text}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DPINS=${DIR}/${name}.txt -DOUT=${DIR}/${name}.cpp
                          -P ${CMAKE_CURRENT_LIST_DIR}/../../cmake/PublisherPins.cmake
                  RESULT_VARIABLE result ERROR_VARIABLE said)
  string(REGEX REPLACE "[ \n]+" " " said "${said}")
  if(expected STREQUAL "")
    file(READ ${DIR}/${name}.cpp said)
    set(expected "{kKeys, 2}")
  endif()
  string(FIND "${said}" "${expected}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "${name}: expected \"${expected}\" in: ${said}")
  endif()
endfunction()

expect(letter "${pin}x\n" "letter.txt:1: 'x' is not a hex digit")
expect(short "# a key\n\n${short}\n" "short.txt:3: 63 hex digits, a pin has 64")
expect(prefixed "0x${short}\n" "prefixed.txt:1: 'x' is not a hex digit")
expect(two "${pin} ${pin}\n" "two.txt:1: ' ' is not a hex digit")
expect(semicolon "${pin};\n" "semicolon.txt:1: ';' is not a hex digit")
expect(bracket "\n[${pin}]\n" "bracket.txt:2: '[' is not a hex digit")
expect(empty "# keys to come\n\n" "empty.txt: holds no pin")
expect(good "# keys\r\n\r\n  ${upper}  # current\r\n${pin}# again" "")
file(READ ${DIR}/good.cpp table)
string(FIND "${table}" "{0x49,0x46,0xae,0xe5," at)
if(at EQUAL -1)
  message(SEND_ERROR "good: the key's bytes are not in: ${table}")
endif()
