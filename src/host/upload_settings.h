#pragma once
// Every setting of an upload that a host applies, in one place: built once
// by the option parser and read where each one acts. Limits are 64-bit byte
// and part counts; the component's 32-bit script properties (MaxFileSize,
// MaxFieldSize, MaxParts, ...) only mirror them, put by the page runner.
//
// Where each acts:
//   maxRequestBytes, minFreeBytes   JudgeRequest, before any body byte is read
//   maxFileBytes, deleteOverLimit,
//   refuseHiddenNames               HostPartPolicy, once per file part
//   allowedTypes                    HostPartPolicy, on each file's first bytes
//   maxFieldBytes, maxParts,
//   maxTotalFieldBytes,
//   skipEmptyFileInputs             the component, through the page runner's puts
//   uploadDirectory, keepPartial    the component, through the page runner's puts
//   trustedProxies                  ClientForLog
//   sync, onExists                  the page runner's LocalStore
//   s3, onExists                    the page runner's S3Store, when uploadDirectory is s3://
//   checksums                       the upload file writer, through the page runner
//   scan                            the page runner, before the commit (host/upload_scan.h)
//   clientPathsRelative             the request pipeline's answer (host/client_paths.h)
//   frameAncestors                  every answer's headers (host/security_headers.h)
//   wholeFormValues                 the page runner's report of the form

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/local_store.h"
#include "storage/s3/s3_settings.h"
#include "host/clamd_scan.h"

namespace parcelmoor {

struct UploadSettings {
  // Where files are stored, exactly as given (the UploadDirectory put): a
  // local directory, or "s3://BUCKET/PREFIX" for an object store.
  std::optional<std::string> uploadDirectory;
  // How the object store is reached, when uploadDirectory is s3://.
  S3Settings s3;
  // The most bytes one file keeps on disk; none: no limit.
  std::optional<int64_t> maxFileBytes;
  // A file over maxFileBytes is deleted instead of cut.
  bool deleteOverLimit = false;
  // Files of an upload that did not arrive whole are kept (the all-or-none
  // rule switched off before processing).
  bool keepPartial = false;
  // The longest value of one text field and the most parts of one body;
  // 0: no limit; none: the component's default. At most 2147483647: the
  // component counts them in 32 bits.
  std::optional<int64_t> maxFieldBytes;
  std::optional<int64_t> maxParts;
  // The most bytes of all text fields' values together; 0: no limit; none:
  // the component's default (none). At most 2147483647, as above.
  std::optional<int64_t> maxTotalFieldBytes;
  // A file input sent without a file (an empty file name) stores nothing and
  // the parts after it are read; off: the upload stops there.
  bool skipEmptyFileInputs = false;
  // A file whose name begins with '.' is refused (serve and cgi: on unless
  // --allow-hidden-names; store: off).
  bool refuseHiddenNames = false;
  // MIME patterns (image/png, image/*, */*; lowercase) a file's content must
  // match, as libmagic tells it from the file's first bytes; empty: any
  // type, and no byte is looked at.
  std::vector<std::string> allowedTypes;
  // A POST announcing more body bytes is answered 413 before any is read.
  std::optional<int64_t> maxRequestBytes;
  // Proxies whose X-Forwarded-For the log believes (addresses as peers show).
  std::vector<std::string> trustedProxies;
  // Stored files and their names are made durable before the page returns
  // (storage/local_store.h): serve and cgi unless --no-sync, store with --sync.
  bool sync = false;
  // What a commit does when a file's name is taken (replace: today's
  // behaviour; keep-both; refuse with 409).
  OnExists onExists = OnExists::kReplace;
  // Each stored file's record gets the SHA-256 of its kept bytes (serve and
  // cgi: on unless --checksum none; store: off unless --checksum sha256).
  bool checksums = false;
  // Every file is scanned by this clamd before it is committed: an infected
  // one is not stored (422), and a scan that gives no verdict keeps nothing
  // of the upload (503). None: no scan.
  std::optional<ClamdTarget> scan;
  // Answers to clients name stored files relative to the upload directory
  // (host/client_paths.h) rather than from the root (serve and cgi: on;
  // store: off, its JSON is for programs that open the files).
  bool clientPathsRelative = false;
  // The frame-ancestors sources of every answer's Content-Security-Policy
  // (host/security_headers.h); empty: 'none', no site may frame the page.
  std::string frameAncestors;
  // An upload whose announced length would leave less free space than this
  // on the upload directory's disk is refused with 507 before its body is
  // read (host/free_space.h); 0: no reserve (serve and cgi: 256 MiB unless
  // --min-free-space says otherwise).
  int64_t minFreeBytes = 0;
  // The page's report keeps every form value whole rather than cutting each
  // to what answers show (host/answer_limits.h): store's local listing,
  // bounded by the field limits alone. serve and cgi: off.
  bool wholeFormValues = false;
};

}  // namespace parcelmoor
