#include "host/page_runner.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <utility>

#include "runtime/dispatch.h"
#include "component/registration.h"
#include "upload/upload_file.h"
#include "storage/local_store.h"

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

ItemReport DescribeItem(const ObjectRef& item, std::optional<ItemMemberIds>& ids) {
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
      report.values.emplace_back(v.asText());
    }
  }
  report.multipleValues = Invoke(item, ids->isMultipleValues, kMethod).asBoolean() != 0;
  report.isFile = Invoke(item, ids->isElementFile, kMethod).asBoolean() != 0;
  report.fileName = Invoke(item, ids->getFileName, kMethod).asText();
  report.clientPath = Invoke(item, ids->getCompleteFilePath, kMethod).asText();
  report.fileSize = Invoke(item, ids->getFileSize, kMethod).asInteger();
  return report;
}

// A script's put carries 32 bits; a larger limit is set beside the script's
// view.
void PutMaxFileSize(const ObjectRef& upload, int64_t bytes) {
  if (std::in_range<int32_t>(bytes)) {
    CallByName(upload, "MaxFileSize", InvokeKind::kPropertyPut, {Variant(static_cast<int32_t>(bytes))});
  } else if (auto typed = std::dynamic_pointer_cast<UploadFile>(upload)) {
    typed->setMaxFileSizeBytes(bytes);
  }
}

// Copies the final file records into the page.
void TakeFileRecords(const std::vector<FileRecord>& records, PageResult& page) {
  page.files = records;
  // An application handed the report may run in another directory than
  // this process: paths are told from the root.
  for (FileRecord& file : page.files) {
    if (file.storedPath.empty()) continue;
    std::error_code failed;
    std::filesystem::path absolute = std::filesystem::absolute(file.storedPath, failed);
    if (!failed) file.storedPath = absolute.string();
  }
}

}  // namespace

int32_t PageResult::filesStored() const {
  return static_cast<int32_t>(
      std::count_if(files.begin(), files.end(), [](const FileRecord& f) { return !f.storedPath.empty(); }));
}

PageResult RunUploadPage(const std::shared_ptr<ScriptingContext>& context, const PageSettings& settings) {
  static std::once_flag registered;
  std::call_once(registered, [] { RegisterServer(); });

  PageResult page;
  ObjectRef upload = CreateObject("qelt_parcelmoor.UploadFile");
  if (auto typed = std::dynamic_pointer_cast<UploadFile>(upload)) {
    typed->setStore(std::make_shared<LocalStore>(LocalStoreOptions{.sync = settings.sync}));
  }
  CallByName(upload, "OnStartPage", InvokeKind::kMethod, {Variant(ObjectRef(context))});
  try {
    if (settings.uploadDirectory) {
      CallByName(upload, "UploadDirectory", InvokeKind::kPropertyPut, {Variant(*settings.uploadDirectory)});
    }
    if (settings.maxFileSize) PutMaxFileSize(upload, *settings.maxFileSize);
    if (settings.maxFieldSize) {
      CallByName(upload, "MaxFieldSize", InvokeKind::kPropertyPut, {Variant(*settings.maxFieldSize)});
    }
    if (settings.maxParts) CallByName(upload, "MaxParts", InvokeKind::kPropertyPut, {Variant(*settings.maxParts)});
    if (settings.deleteMaxFile) CallByName(upload, "DeleteMaxFile", InvokeKind::kPropertyPut, {Variant::Bool(kTrue)});
    if (settings.keepPartial) {
      CallByName(upload, "UploadAllFilesOrNone", InvokeKind::kPropertyPut, {Variant::Bool(kFalse)});
    }
    page.result = CallByName(upload, "storeUploadedFiles", InvokeKind::kMethod).asInteger();
  } catch (...) {
    page.error = ReportCurrentException();
  }
  page.uploadAllFilesOrNone = CallByName(upload, "UploadAllFilesOrNone", InvokeKind::kPropertyGet).asBoolean() != 0;

  // Hold every item, as a script that read Form would.
  std::vector<ObjectRef> items;
  {
    ObjectRef form = CallByName(upload, "Form", InvokeKind::kPropertyGet).asObject();
    const int32_t count = CallByName(form, "Count", InvokeKind::kPropertyGet).asInteger();
    const DispId itemId = GetIDOfName(form, "Item");
    items.reserve(static_cast<size_t>(count));
    for (int32_t i = 1; i <= count; ++i) items.push_back(Invoke(form, itemId, InvokeKind::kMethod, {Variant(i)}).asObject());
    ReleaseObject(form);
  }

  // What the host reports beyond the script's view. The records stay
  // current through the release, which deletes every stored file while the
  // all-or-none flag is set.
  std::shared_ptr<const std::vector<FileRecord>> records;
  if (auto typed = std::dynamic_pointer_cast<UploadFile>(upload)) {
    if (typed->lastParseFailure()) page.parseFailure = ErrorReport::From(*typed->lastParseFailure());
    records = typed->fileRecords();
  }

  // Releasing the last reference runs termination; the items are read after.
  try {
    ReleaseObject(upload);
  } catch (...) {
    page.releaseError = ReportCurrentException();
  }
  if (records) TakeFileRecords(*records, page);
  std::optional<ItemMemberIds> ids;
  page.form.reserve(items.size());
  for (const ObjectRef& item : items) page.form.push_back(DescribeItem(item, ids));
  return page;
}

}  // namespace parcelmoor
