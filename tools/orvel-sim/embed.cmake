# Writes the bytes of INPUT as a C++ array named NAME into OUTPUT, so that
# a file (the tour) is part of the program and needs nothing at run time.
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" length)
if(length EQUAL 0)
  message(FATAL_ERROR "${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "((0x..,){20})" "\\1\n  " bytes "${bytes}")
get_filename_component(source "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${source} by embed.cmake at build time; do not edit.\n"
  "#pragma once\n\n"
  "inline constexpr unsigned char ${NAME}[] = {\n  ${bytes}\n};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
