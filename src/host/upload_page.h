#pragma once
// The upload page: a note, a multiple-file input and a submit button, with a
// script and a style sheet compiled in beside it (bundled from page/). With
// the script, the Dashboard of Uppy takes the file input's place and each
// file is sent in a request of its own with its own progress, cancel, retry
// and answer; without it the page is a plain form post. It posts to its own
// address, so the plain form works at "/" under `serve` and at a CGI
// script's address alike; the script and style are served by `serve`.
//
// Stable element ids, relied on by browser tests: #upload-form, #note,
// #files (the plain file input), #uploader (the Dashboard), #submit,
// #refusals (files the page would not add, named), #limits, #result
// (data-state: "uploading", "done" or "failed") and #result-files, the one
// list of chosen files: an li.file per file with .file-name, .size
// (data-bytes), progress.file-progress, .outcome (data-outcome on the li),
// .reason, and when there is one, details.detail (the component's notice)
// and .application-answer (an application's answer under --forward).

#include <string>
#include <string_view>

namespace parcelmoor {

// The page's HTML, naming its script and style sheet by PageAssetPath.
std::string_view UploadPageHtml();

// Tells the page's script, in the served page, where resumable uploads are
// taken: #upload-form gets data-resumable-endpoint="ENDPOINT". A page
// without that attribute has no resumable uploads to use. Give ENDPOINT
// relative to the page ("files/"), so that it holds under any path prefix a
// proxy serves the page at.
void AnnounceResumableEndpoint(std::string& pageHtml, std::string_view endpoint);
// Tells the page's script that an application answers uploads
// (data-application="yes"): an answer that is not the server's report is
// then the application's, not a proxy's.
void AnnounceApplication(std::string& pageHtml);

// An asset's bytes as they are and gzip-compressed (made at build time).
struct PageAssetBytes {
  std::string_view plain;
  std::string_view gzip;
};

// The bundled script (text/javascript) and style sheet (text/css).
PageAssetBytes UploadPageScript();
PageAssetBytes UploadPageStyle();

// "/assets/VERSION/" where VERSION (16 hex digits) changes whenever the
// script or the style sheet does, so their answers may be kept for good.
std::string_view PageAssetPath();

}  // namespace parcelmoor
