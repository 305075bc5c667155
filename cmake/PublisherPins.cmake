# Publisher key pins compiled into the launcher.
#
# A pin file holds one pin a line: 64 hex digits, the SHA-256 of a DER-encoded
# SubjectPublicKeyInfo, as
#   openssl x509 -in cert.pem -pubkey -noout | openssl pkey -pubin -outform DER | sha256sum
# prints it. Blank lines and lines starting with '#' are skipped; a '#'
# comment may follow a pin. Anything else stops the build, naming the file,
# the line and what is wrong with it, as does a file without any pin.
#
#   extrun_publisher_pins_source(<pin file or empty> <output .cpp> [<table name>])
#     Writes the table (none when the file is empty) as C++ source; the
#     output is only touched when its text changes.
#
# As a script, for pin files made while building:
#   cmake -DPINS=<pin file> -DOUT=<output .cpp> [-DTABLE=<name>] -P PublisherPins.cmake

function(extrun_read_publisher_pins file out)
  set(pins "")
  if(NOT file STREQUAL "")
    if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
      message(FATAL_ERROR "${file}: no such pin file")
    endif()
    file(READ "${file}" text)
    string(REPLACE "\r" "" text "${text}")
    # Taken apart by hand rather than as a CMake list, which would split at
    # ';' and fold '[' ... ']': each is reported as what it is.
    set(number 0)
    while(NOT text STREQUAL "")
      math(EXPR number "${number} + 1")
      string(FIND "${text}" "\n" end)
      if(end EQUAL -1)
        set(line "${text}")
        set(text "")
      else()
        string(SUBSTRING "${text}" 0 ${end} line)
        math(EXPR end "${end} + 1")
        string(SUBSTRING "${text}" ${end} -1 text)
      endif()
      string(STRIP "${line}" line)
      if(line STREQUAL "" OR line MATCHES "^#")
        continue()
      endif()
      string(REGEX REPLACE "[ \t]*#.*$" "" pin "${line}")
      string(LENGTH "${pin}" length)
      if(pin MATCHES "[^0-9A-Fa-f]")
        string(REGEX MATCH "[^0-9A-Fa-f]" bad "${pin}")
        message(FATAL_ERROR "${file}:${number}: '${bad}' is not a hex digit "
          "(a pin is 64 hex digits, optionally followed by a # comment)")
      endif()
      if(NOT length EQUAL 64)
        message(FATAL_ERROR "${file}:${number}: ${length} hex digits, a pin has 64")
      endif()
      string(TOLOWER "${pin}" pin)
      list(APPEND pins "${pin}")
    endwhile()
    # A pinned build that pins nothing would quietly trust names alone again.
    if(pins STREQUAL "")
      message(FATAL_ERROR "${file}: holds no pin")
    endif()
  endif()
  set(${out} "${pins}" PARENT_SCOPE)
endfunction()

function(extrun_publisher_pins_source file output)
  set(table "trust::kPublisherPins")
  if(ARGC GREATER 2)
    set(table "${ARGV2}")
  endif()
  extrun_read_publisher_pins("${file}" pins)
  list(LENGTH pins count)
  set(keys "")
  foreach(pin IN LISTS pins)
    string(REGEX REPLACE "(..)" "0x\\1," bytes "${pin}")
    string(APPEND keys "    {${bytes}},\n")
  endforeach()
  if(file STREQUAL "")
    set(from "no pin file: names alone decide")
  else()
    set(from "from ${file}")
  endif()
  set(text "// Made by cmake/PublisherPins.cmake ${from}.\n#include \"trust/publisher_pins.h\"\n\n")
  # A table of another name than the launcher's own needs its own
  # declaration to be seen outside the file.
  if(NOT table MATCHES "::")
    string(APPEND text "extern const trust::PublisherPins ${table};\n")
  endif()
  if(count EQUAL 0)
    string(APPEND text "const trust::PublisherPins ${table} = {nullptr, 0};\n")
  else()
    string(APPEND text "namespace {\nconst trust::PublisherKey kKeys[] = {\n${keys}};\n}  // namespace\n\n"
      "const trust::PublisherPins ${table} = {kKeys, ${count}};\n")
  endif()
  file(CONFIGURE OUTPUT "${output}" CONTENT "${text}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED PINS OR NOT DEFINED OUT)
    message(FATAL_ERROR "usage: cmake -DPINS=<pin file> -DOUT=<output .cpp> [-DTABLE=<name>] -P ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  if(NOT DEFINED TABLE)
    set(TABLE "trust::kPublisherPins")
  endif()
  extrun_publisher_pins_source("${PINS}" "${OUT}" "${TABLE}")
endif()
