# Compiles the upload page into the binary: its HTML, and the bundled script
# and style (page/dist, see page/build.mjs), which the page names by an
# address that changes with their content (assets/VERSION/page.js), so that
# browsers may keep them without asking again.
#   cmake -DHTML=upload_page.html -DJS=page.js -DCSS=page.css -DOUTPUT=page.cpp
#         -DNAMESPACE=ns -P embed_page.cmake
# Defines kUploadPageHtml, kPageJs, kPageCss, their gzip-compressed copies
# kPageJsGzip and kPageCssGzip (see embed_file.cmake), and
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

# Compressed once here, so that serving them costs no work per request.
foreach(asset JS CSS)
  get_filename_component(assetName "${${asset}}" NAME)
  set(${asset}_GZIP "${OUTPUT}.dir/${assetName}.gz")
  file(ARCHIVE_CREATE OUTPUT "${${asset}_GZIP}" PATHS "${${asset}}" FORMAT raw COMPRESSION GZip
       COMPRESSION_LEVEL 9)
endforeach()

set(INPUT "${htmlOut};${JS};${CSS};${JS_GZIP};${CSS_GZIP}")
set(SYMBOL "kUploadPageHtml;kPageJs;kPageCss;kPageJsGzip;kPageCssGzip")
set(EXTRA "extern const char kPageAssetVersion[];\nconst char kPageAssetVersion[] = \"${version}\";\n\n")
include("${CMAKE_CURRENT_LIST_DIR}/embed_file.cmake")
