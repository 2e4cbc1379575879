#include "host/page_runner.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <mutex>
#include <utility>

#include "host/answer_limits.h"
#include "runtime/dispatch.h"
#include "component/registration.h"
#include "host/host_part_policy.h"
#include "upload/upload_file.h"
#include "storage/s3/s3_names.h"
#include "storage/store_for_location.h"
#include "host/upload_scan.h"

namespace parcelmoor {
namespace {

ErrorReport ReportCurrentException() { return ErrorReport::From(CurrentExceptionAsRaisedError()); }

// Dispatch identifiers of the members read from every item and its values,
// looked up by name once, as a script engine keeps them for a loop.
struct ItemMemberIds {
  DispId name, isMultipleValues, isElementFile, getFileName, getCompleteFilePath, getFileSize;
  DispId count, item;
};

ItemMemberIds LookUpItemMembers(const ObjectRef& item, const ObjectRef& values) {
  return {GetIDOfName(item, "Name"),        GetIDOfName(item, "isMultipleValues"),
          GetIDOfName(item, "isElementFile"), GetIDOfName(item, "getFileName"),
          GetIDOfName(item, "getCompleteFilePath"), GetIDOfName(item, "getFileSize"),
          GetIDOfName(values, "Count"),     GetIDOfName(values, "Item")};
}

ItemReport DescribeItem(const ObjectRef& item, std::optional<ItemMemberIds>& ids, bool whole) {
  constexpr InvokeKind kMethod = InvokeKind::kMethod;
  // The item's default member is its Value.
  ObjectRef values = Invoke(item, kDispIdValue, kMethod).asObject();
  if (!ids) ids = LookUpItemMembers(item, values);

  ItemReport report;
  report.name = Invoke(item, ids->name, kMethod).asText();
  const int32_t count = Invoke(values, ids->count, InvokeKind::kPropertyGet).asInteger();
  for (int32_t i = 1; i <= count; ++i) {
    Variant v = Invoke(values, ids->item, kMethod, {Variant(i)});
    if (v.isNull()) {
      report.values.emplace_back(std::nullopt);
    } else {
      std::string text = v.asText();
      // A host's report never holds a whole body; store's local listing does.
      if (!whole) report.valuesCut = CutForAnswer(text) || report.valuesCut;
      report.values.emplace_back(std::move(text));
    }
  }
  report.multipleValues = Invoke(item, ids->isMultipleValues, kMethod).asBoolean() != 0;
  report.isFile = Invoke(item, ids->isElementFile, kMethod).asBoolean() != 0;
  report.fileName = Invoke(item, ids->getFileName, kMethod).asText();
  report.clientPath = Invoke(item, ids->getCompleteFilePath, kMethod).asText();
  report.fileSize = Invoke(item, ids->getFileSize, kMethod).asInteger();
  return report;
}

// The 32-bit MaxFileSize only mirrors the 64-bit limit for a script that
// reads it back; the part policy applies the limit itself. A limit past 32
// bits leaves the property at its default, which reads as the largest a
// script can hold.
void PutMaxFileSize(const ObjectRef& upload, int64_t bytes) {
  if (std::in_range<int32_t>(bytes)) {
    CallByName(upload, "MaxFileSize", InvokeKind::kPropertyPut, {Variant(static_cast<int32_t>(bytes))});
  }
}

// The component counts these in 32 bits; the settings never hold more.
Variant Int32Put(int64_t value) {
  return Variant(static_cast<int32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max())));
}

// The puts a page script would make, in the order it would make them.
void PutSettings(const ObjectRef& upload, const UploadSettings& settings) {
  if (settings.uploadDirectory) {
    CallByName(upload, "UploadDirectory", InvokeKind::kPropertyPut, {Variant(*settings.uploadDirectory)});
  }
  if (settings.maxFileBytes) PutMaxFileSize(upload, *settings.maxFileBytes);
  if (settings.maxFieldBytes) {
    CallByName(upload, "MaxFieldSize", InvokeKind::kPropertyPut, {Int32Put(*settings.maxFieldBytes)});
  }
  if (settings.maxParts) CallByName(upload, "MaxParts", InvokeKind::kPropertyPut, {Int32Put(*settings.maxParts)});
  if (settings.maxTotalFieldBytes) {
    CallByName(upload, "MaxTotalFieldSize", InvokeKind::kPropertyPut, {Int32Put(*settings.maxTotalFieldBytes)});
  }
  if (settings.skipEmptyFileInputs) {
    CallByName(upload, "SkipEmptyFileInputs", InvokeKind::kPropertyPut, {Variant::Bool(kTrue)});
  }
  if (settings.deleteOverLimit) {
    CallByName(upload, "DeleteMaxFile", InvokeKind::kPropertyPut, {Variant::Bool(kTrue)});
  }
  if (settings.keepPartial) {
    CallByName(upload, "UploadAllFilesOrNone", InvokeKind::kPropertyPut, {Variant::Bool(kFalse)});
  }
}

// Copies the final file records into the page.
void TakeFileRecords(const std::vector<FileRecord>& records, PageResult& page) {
  page.files = records;
  // An application handed the report may run in another directory than
  // this process: paths are told from the root, and without "." or ".."
  // steps that a directory given as "./up" would leave in them.
  // The working directory is asked once, not once a path.
  std::error_code noDirectory;
  const std::filesystem::path here = std::filesystem::current_path(noDirectory);
  for (FileRecord& file : page.files) {
    for (std::string* path : {&file.storedPath, &file.pendingPath}) {
      if (path->empty() || IsS3Url(*path)) continue;
      const std::filesystem::path given(*path);
      if (given.is_relative() && noDirectory) continue;
      *path = (given.is_relative() ? here / given : given).lexically_normal().string();
    }
  }
}

}  // namespace

// The store the settings name (storage/store_for_location.h); for an object
// store the component's directory is the URL itself, which the store reads
// back into bucket and key.
std::shared_ptr<Store> StoreFor(const UploadSettings& settings) {
  return StoreForLocation(settings.uploadDirectory.value_or(""),
                          StoreChoice{.onExists = settings.onExists, .sync = settings.sync, .s3 = settings.s3});
}

namespace {

// Every item of Form, held as a script that read them would hold them.
std::vector<ObjectRef> HoldFormItems(const ObjectRef& upload) {
  std::vector<ObjectRef> items;
  ObjectRef form = CallByName(upload, "Form", InvokeKind::kPropertyGet).asObject();
  const int32_t count = CallByName(form, "Count", InvokeKind::kPropertyGet).asInteger();
  const DispId itemId = GetIDOfName(form, "Item");
  items.reserve(static_cast<size_t>(count));
  for (int32_t i = 1; i <= count; ++i) items.push_back(Invoke(form, itemId, InvokeKind::kMethod, {Variant(i)}).asObject());
  ReleaseObject(form);
  return items;
}

// The host's own interface beyond the script's view: its part policy, its
// store and checksum choice in; commits held for a scan or a decision.
void GiveHostInterface(UploadFile& upload, const UploadSettings& settings, const std::shared_ptr<Store>& store,
                       bool holdCommits) {
  upload.setPartPolicy(std::make_shared<HostPartPolicy>(settings));
  upload.setStore(store);
  upload.setChecksums(settings.checksums);
  if (holdCommits) upload.holdCommits();
}

}  // namespace

int32_t PageResult::filesStored() const {
  return static_cast<int32_t>(
      std::count_if(files.begin(), files.end(), [](const FileRecord& f) { return !f.storedPath.empty(); }));
}

PageResult RunUploadPage(const std::shared_ptr<ScriptingContext>& context, const UploadSettings& settings,
                         const CommitDecision& decide, const FinishedFile* finished) {
  static std::once_flag registered;
  std::call_once(registered, [] { RegisterServer(); });

  PageResult page;
  ObjectRef upload = CreateObject("qelt_parcelmoor.UploadFile");
  // The host's own interface beyond the script's view: its part policy in,
  // the parse failure and the file records out.
  auto typed = std::dynamic_pointer_cast<UploadFile>(upload);
  const std::shared_ptr<Store> store = StoreFor(settings);
  if (typed) GiveHostInterface(*typed, settings, store, decide || settings.scan);
  CallByName(upload, "OnStartPage", InvokeKind::kMethod, {Variant(ObjectRef(context))});
  try {
    PutSettings(upload, settings);
    page.result = finished && typed ? typed->storeFinishedFile(*finished)
                                    : CallByName(upload, "storeUploadedFiles", InvokeKind::kMethod).asInteger();
  } catch (...) {
    page.error = ReportCurrentException();
  }
  page.uploadAllFilesOrNone = CallByName(upload, "UploadAllFilesOrNone", InvokeKind::kPropertyGet).asBoolean() != 0;

  // Hold every item, as a script that read Form would.
  const std::vector<ObjectRef> items = HoldFormItems(upload);

  // What the host reports beyond the script's view. The records stay
  // current through the release, which deletes every stored file while the
  // all-or-none flag is set.
  std::shared_ptr<const std::vector<FileRecord>> records;
  if (typed) {
    if (typed->lastParseFailure()) page.parseFailure = ErrorReport::From(*typed->lastParseFailure());
    records = typed->fileRecords();
  }

  // The all-or-none rule still on means the body did not arrive whole: the
  // release gives every held file up, so none is worth a scan or a commit.
  if (typed && settings.scan && !page.uploadAllFilesOrNone) {
    page.scanFailure = ScanHeldFiles(*typed, *settings.scan);
    // After a failed scan nothing is held any more: the commit is empty.
    if (!decide) typed->commitHeld();
  }
  if (typed && decide && !page.scanFailure) {
    // The page as it stands goes to whoever decides; the final one, read
    // after the release, tells what the decision left.
    PageResult provisional = page;
    if (records) TakeFileRecords(*records, provisional);
    std::optional<ItemMemberIds> ids;
    for (const ObjectRef& item : items) provisional.form.push_back(DescribeItem(item, ids, settings.wholeFormValues));
    if (decide(provisional)) {
      typed->commitHeld();
    } else {
      typed->discardHeld();
    }
  }

  // Releasing the last reference runs termination; the items are read after.
  typed.reset();
  try {
    ReleaseObject(upload);
  } catch (...) {
    page.releaseError = ReportCurrentException();
  }
  if (records) TakeFileRecords(*records, page);
  if (std::string failure = store->lastFailure(); !failure.empty()) page.storeFailure = std::move(failure);
  std::optional<ItemMemberIds> ids;
  page.form.reserve(items.size());
  for (const ObjectRef& item : items) page.form.push_back(DescribeItem(item, ids, settings.wholeFormValues));
  return page;
}

}  // namespace parcelmoor
