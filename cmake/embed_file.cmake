# Writes a C++ source that holds the bytes of files as char arrays.
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -DSYMBOL=kPage -DNAMESPACE=ns -P embed_file.cmake
# INPUT and SYMBOL may be lists of equal length (one array per file). For
# each, the source defines `extern const char SYMBOL[]` (NUL-terminated) and
# `extern const std::size_t SYMBOLSize` (without the NUL) in NAMESPACE.
# EXTRA, when set, is C++ text placed in the namespace after the arrays.
# Included by embed_page.cmake with these variables set.
list(LENGTH INPUT inputCount)
list(LENGTH SYMBOL symbolCount)
if(NOT inputCount EQUAL symbolCount)
  message(FATAL_ERROR "embed_file.cmake: ${inputCount} inputs for ${symbolCount} symbols")
endif()
set(arrays "")
set(names "")
math(EXPR last "${inputCount} - 1")
foreach(i RANGE ${last})
  list(GET INPUT ${i} input)
  list(GET SYMBOL ${i} symbol)
  file(READ "${input}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  # Sixteen bytes a line keeps the generated file readable in a debugger.
  string(REGEX REPLACE "(('\\\\x..',){16})" "\\1\n  " bytes "${bytes}")
  get_filename_component(name "${input}" NAME)
  string(APPEND names " ${name}")
  string(APPEND arrays
    "extern const char ${symbol}[];\n"
    "extern const std::size_t ${symbol}Size;\n"
    "const char ${symbol}[] = {\n  ${bytes}'\\0'};\n"
    "const std::size_t ${symbol}Size = ${size};\n\n")
endforeach()
file(WRITE "${OUTPUT}.tmp"
  "// Generated at build time from${names}; edit those files instead.\n"
  "#include <cstddef>\n\n"
  "namespace ${NAMESPACE} {\n\n"
  "${arrays}${EXTRA}"
  "}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
