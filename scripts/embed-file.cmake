# Writes a C++ source that defines a function returning the bytes of INPUT.
# Usage: cmake -DINPUT=... -DOUTPUT=... -DSYMBOL=... -P embed-file.cmake
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n#include <string_view>\n"
  "namespace zelk::icons {\nnamespace { const unsigned char data[] = {${bytes}}; }\n"
  "std::string_view ${SYMBOL}() { return {reinterpret_cast<const char*>(data), sizeof(data)}; }\n"
  "}  // namespace zelk::icons\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
