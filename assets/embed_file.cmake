# Turns a binary file into a C++ source defining its bytes, so the program
# carries its assets instead of reading them at run time.
#   cmake -DINPUT=file -DOUTPUT=source.cpp -DSYMBOL=name -DHEADER=include/path.h -P embed_file.cmake
# defines `const unsigned char name[]` and `const unsigned int name_size`,
# declared extern in HEADER.
foreach(variable INPUT OUTPUT SYMBOL HEADER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "embed_file.cmake needs -D${variable}=...")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
if(hex_length EQUAL 0)
  message(FATAL_ERROR "embed_file.cmake: ${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(input_name "${INPUT}" NAME)

# Written under a temporary name and moved, so an interrupted build never
# leaves half a source behind.
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${input_name} by embed_file.cmake; edits are lost.
#include \"${HEADER}\"

const unsigned char ${SYMBOL}[] = {
    ${bytes}
};
const unsigned int ${SYMBOL}_size = sizeof(${SYMBOL});
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
