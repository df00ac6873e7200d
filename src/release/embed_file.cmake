# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=NAME -DHEADER=dir/name.hpp -P embed_file.cmake
# Writes the bytes of INPUT as the array NAME (and NAME_SIZE) into a C++ file,
# so that data files are part of the program rather than read at run time.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include \"${HEADER}\"\n\n"
  "const unsigned char ${SYMBOL}[] = {\n${bytes}};\n"
  "const std::size_t ${SYMBOL}_SIZE = ${size};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
