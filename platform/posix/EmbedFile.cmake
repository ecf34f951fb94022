# Turns a binary file into a C++ source that defines two functions answering its
# bytes and their count, so that the library carries the file and needs none at
# run time. Usage: cmake -DINPUT=file -DOUTPUT=file.cpp -DFUNCTION=Name -P EmbedFile.cmake
foreach(var INPUT OUTPUT FUNCTION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "EmbedFile.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# Sixteen bytes a line keeps the generated file readable in a diff.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by EmbedFile.cmake; do not edit.\n"
"#include <cstddef>\n\n"
"namespace Velmora {\n\n"
"namespace {\n"
"const unsigned char Bytes[${size} + 1] = {\n    ${bytes}\n    0x00};\n"
"}  // namespace\n\n"
"const unsigned char* ${FUNCTION}Data() { return Bytes; }\n"
"std::size_t ${FUNCTION}Size() { return ${size}; }\n\n"
"}  // namespace Velmora\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
