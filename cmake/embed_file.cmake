# Writes a C++ source that holds the bytes of a file as a char array.
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -DSYMBOL=kPage -DNAMESPACE=ns -P embed_file.cmake
# The source defines `extern const char SYMBOL[]` (NUL-terminated) and
# `extern const std::size_t SYMBOLSize` (without the NUL) in NAMESPACE.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Sixteen bytes a line keeps the generated file readable in a debugger.
string(REGEX REPLACE "(('\\\\x..',){16})" "\\1\n  " bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated at build time from ${name}; edit that file instead.\n"
  "#include <cstddef>\n\n"
  "namespace ${NAMESPACE} {\n\n"
  "extern const char ${SYMBOL}[];\n"
  "extern const std::size_t ${SYMBOL}Size;\n"
  "const char ${SYMBOL}[] = {\n  ${bytes}'\\0'};\n"
  "const std::size_t ${SYMBOL}Size = ${size};\n\n"
  "}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
