# Compiles the upload page into the binary: its HTML, and the bundled script
# and style (page/dist, see page/build.mjs), which the page names by an
# address that changes with their content (assets/VERSION/page.js), so that
# browsers may keep them without asking again.
#   cmake -DHTML=upload_page.html -DJS=page.js -DCSS=page.css -DOUTPUT=page.cpp
#         -DNAMESPACE=ns -P embed_page.cmake
# Defines kUploadPageHtml, kPageJs, kPageCss (see embed_file.cmake) and
# `extern const char kPageAssetVersion[]` (16 hex digits).
file(SHA256 "${JS}" jsHash)
file(SHA256 "${CSS}" cssHash)
string(SHA256 version "${jsHash}${cssHash}")
string(SUBSTRING "${version}" 0 16 version)
file(READ "${HTML}" html)
foreach(placeholder PAGE_JS PAGE_CSS)
  if(NOT html MATCHES "@${placeholder}@")
    message(FATAL_ERROR "${HTML} does not name @${placeholder}@")
  endif()
endforeach()
string(REPLACE "@PAGE_JS@" "assets/${version}/page.js" html "${html}")
string(REPLACE "@PAGE_CSS@" "assets/${version}/page.css" html "${html}")
get_filename_component(htmlName "${HTML}" NAME)
set(htmlOut "${OUTPUT}.dir/${htmlName}")
file(WRITE "${htmlOut}" "${html}")

set(INPUT "${htmlOut};${JS};${CSS}")
set(SYMBOL "kUploadPageHtml;kPageJs;kPageCss")
set(EXTRA "extern const char kPageAssetVersion[];\nconst char kPageAssetVersion[] = \"${version}\";\n\n")
include("${CMAKE_CURRENT_LIST_DIR}/embed_file.cmake")
