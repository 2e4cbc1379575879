#pragma once
// Runs the upload page the way a page script does: create the upload object
// by class name, OnStartPage with the request's scripting context, the
// property puts, storeUploadedFiles, take every item of Form, release the
// object (so the all-or-none clean-up runs), and report. Every host (the
// command line, CGI, the HTTP server) runs this one routine.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/upload_settings.h"
#include "runtime/raised_error.h"
#include "storage/file_record.h"
#include "storage/store.h"
#include "upload/host_interfaces.h"
#include "upload/upload_file.h"

namespace parcelmoor {

struct ErrorReport {
  int32_t number = 0;
  std::string source;
  std::string description;
  static ErrorReport From(const RaisedError& e) { return {e.number(), e.source(), e.description()}; }
};

struct ItemReport {
  std::string name;
  std::vector<std::optional<std::string>> values;  // nullopt is the null entry
  bool multipleValues = false;
  bool isFile = false;
  std::string fileName;
  std::string clientPath;
  int32_t fileSize = 0;
  bool valuesCut = false;  // a value was longer than answers show (host/answer_limits.h) and is cut
};

struct PageResult {
  std::optional<int32_t> result;           // storeUploadedFiles' result; nullopt when it raised
  std::optional<ErrorReport> error;        // what storeUploadedFiles raised
  std::string response;                    // all text written to the host response (filled by the host)
  bool uploadAllFilesOrNone = true;        // read right after storeUploadedFiles
  std::vector<ItemReport> form;            // items in Form order, read after the release
  std::optional<ErrorReport> releaseError; // what the release raised
  // Beyond the script's view, for logs.
  std::optional<ErrorReport> parseFailure; // why parsing of the body stopped, if it did
  bool boundaryMismatch = false;           // the body was refused unread (host/boundary_check.h)
  std::vector<FileRecord> files;           // every file the body carried, as it ended up
  // By index into `files` (empty when none): the file a host deleted after
  // the run because the upload failed and was not handed to the application.
  std::vector<bool> withdrawnFiles;
  // Why the files waiting for their commit could not be scanned (scanner
  // unreachable, too slow, or answering an error): none of them was kept.
  // For the operator (the request log's note); the client is told less.
  std::optional<std::string> scanFailure;
  // What a remote store last said when a request to it failed (its error
  // code and message, or why it could not be reached). For the operator.
  std::optional<std::string> storeFailure;
  // Set by a host whose client may not learn server paths: the answer to
  // the client names stored files relative to this (host/client_paths.h)
  // and leaves out where they waited. Empty: full paths.
  std::string clientPathRoot;

  // Files of `files` left on disk.
  int32_t filesStored() const;
};

// The object is given a HostPartPolicy built from `settings`, which applies
// the file limit; the script properties (UploadDirectory, MaxFileSize,
// DeleteMaxFile, MaxFieldSize, MaxParts, UploadAllFilesOrNone) are put as
// a script would, mirroring the settings.
// Asked once the body has been read, before anything of it is committed,
// with the page as it stands (records with where each file waits, at
// pendingPath, and where it will be, at storedPath); true commits the
// files, false gives them up.
using CommitDecision = std::function<bool(PageResult& provisional)>;

// With `decide`, nothing is committed until it says so. With settings.scan,
// the files are scanned first (host/upload_scan.h): `decide` sees infected
// files already given up, and is not asked when the scan gave no verdict
// (PageResult::scanFailure; nothing is kept).
// The store the settings name: an object store for an s3:// directory (the
// component's directory is then the URL itself, which the store reads back
// into bucket and key), else the local directory.
std::shared_ptr<Store> StoreFor(const UploadSettings& settings);

// With `finished`, the object takes in that file in place of the request's
// body (UploadFile::storeFinishedFile); every other step is the same.
PageResult RunUploadPage(const std::shared_ptr<ScriptingContext>& context, const UploadSettings& settings,
                         const CommitDecision& decide = {}, const FinishedFile* finished = nullptr);

// One JSON object: result, error, response, uploadAllFilesOrNone, form,
// releaseError, then the host's view: status, filesStored, reason and files
// (one record per file), cut as host/answer_limits.h says. Strict UTF-8:
// bytes that are not valid UTF-8 show as U+FFFD; file records carry the
// exact bytes of their names and path in Base64 too.
// With `clientRoot`, stored paths are relative to it and pending paths left
// out (host/client_paths.h): the view a client is given.
std::string PageResultToJson(const PageResult& page, std::string_view clientRoot = {});
// The answer serve and cgi give a web client: as above with stored paths
// relative to page.clientPathRoot, but without the component's own texts
// (result, error, response, uploadAllFilesOrNone, releaseError and each
// record's error), which speak to scripts: `status` and the plain `reason`s
// tell the client, and "component" holds the component's numbers alone
// ({"result", "uploadAllFilesOrNone", "error", "releaseError"}, each error
// its number or null).
std::string PageResultToClientJson(const PageResult& page);
// The same object as store lists it, the local view of the component's Form:
// nothing is cut (the limits the caller set bound it), and beside each name,
// value, file name and client path that is not UTF-8 its bytes in Base64
// ("nameBase64", "valuesBase64" (one entry a value, null for a null one),
// "fileNameBase64", "clientPathBase64"), present only when needed. The page
// must have been run with UploadSettings::wholeFormValues.
std::string PageResultToWholeJson(const PageResult& page);
// Escapes text for a JSON string literal (with the quotes), as above.
std::string JsonString(std::string_view bytes);
// An HTML page listing every item, with the component's notice when it wrote
// one, and the error when one was raised. Everything reflected is escaped.
std::string PageResultToHtml(const PageResult& page);
std::string HtmlEscape(std::string_view text);

}  // namespace parcelmoor
