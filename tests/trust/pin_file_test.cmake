# Pin files through cmake/PublisherPins.cmake as configuring reads them: each
# malformed one stops with its file, line and fault; a well-formed one
# becomes a table of its keys, comments, blanks and letter case aside.
#   cmake -DDIR=<scratch folder> -P pin_file_test.cmake
set(pin 4946aee596d0a721d8eb137ff813d186bf66d30ae4c6fd55a02d499eba9dbe33)
string(SUBSTRING ${pin} 1 -1 short)
string(TOUPPER ${pin} upper)

# A cmake of its own for each file, as a malformed one ends the run; what it
# said and wrote must hold `expected`.
function(expect name text expected)
  file(WRITE ${DIR}/${name}.txt "${text}")
  file(REMOVE ${DIR}/${name}.cpp)
  execute_process(COMMAND ${CMAKE_COMMAND} -DPINS=${DIR}/${name}.txt -DOUT=${DIR}/${name}.cpp
                          -P ${CMAKE_CURRENT_LIST_DIR}/../../cmake/PublisherPins.cmake
                  ERROR_VARIABLE said)
  if(EXISTS ${DIR}/${name}.cpp)
    file(READ ${DIR}/${name}.cpp table)
    string(APPEND said "${table}")
  endif()
  string(REGEX REPLACE "[ \n]+" " " said "${said}")
  string(FIND "${said}" "${expected}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "${name}: expected \"${expected}\" in: ${said}")
  endif()
endfunction()

expect(letter "${pin}x\n" "letter.txt:1: 'x' is not a hex digit")
expect(short "# a key\n\n${short}\n" "short.txt:3: 63 hex digits, a pin has 64")
expect(prefixed "0x${short}\n" "prefixed.txt:1: 'x' is not a hex digit")
expect(bracket "\n[${pin}]\n" "bracket.txt:2: '[' is not a hex digit")
expect(empty "# keys to come\n\n" "empty.txt: holds no pin")
# Two keys, the same one twice: the first ends where the second begins.
expect(good "# keys\r\n\r\n  ${upper}  # current\r\n${pin}# again" "0xbe,0x33,}, {0x49,0x46,")
