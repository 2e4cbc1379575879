#pragma once
// The upload page: a text field, a multiple-file input and a submit button.
// With scripts it uploads in the background, shows a progress bar and then
// the result without leaving the page; without scripts it is a plain form
// post. It posts to its own address, so it works at "/" under `serve` and at
// a CGI script's address alike.
//
// Stable element ids, relied on by browser tests: #upload-form, #note,
// #files, #submit, #progress (a <progress>, 0..100), #progress-text,
// #result (data-state: "uploading", "done" or "failed"), #result-status,
// #result-items (the table of items), #result-notice, #result-error.

#include <string_view>

namespace parcelmoor {

std::string_view UploadPageHtml();

}  // namespace parcelmoor
