#include "host/page_runner.h"

#include <mutex>

#include "host/dispatch.h"
#include "host/registration.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

ErrorReport ReportCurrentException() { return ErrorReport::From(CurrentExceptionAsRaisedError()); }

// Calls a member by name, as a page script does.
Variant Call(const ObjectRef& object, std::string_view member, InvokeKind kind, std::vector<Variant> args = {}) {
  return CallByName(object, member, kind, std::move(args));
}

ItemReport DescribeItem(const ObjectRef& item) {
  ItemReport report;
  report.name = Call(item, "Name", InvokeKind::kMethod).asText();
  // The item's default member is its Value.
  ObjectRef values = Invoke(item, kDispIdValue, InvokeKind::kMethod).asObject();
  const int32_t count = Call(values, "Count", InvokeKind::kPropertyGet).asInteger();
  for (int32_t i = 1; i <= count; ++i) {
    Variant v = Call(values, "Item", InvokeKind::kMethod, {Variant(i)});
    if (v.isNull()) {
      report.values.emplace_back(std::nullopt);
    } else {
      report.values.emplace_back(v.asText());
    }
  }
  report.multipleValues = Call(item, "isMultipleValues", InvokeKind::kMethod).asBoolean() != 0;
  report.isFile = Call(item, "isElementFile", InvokeKind::kMethod).asBoolean() != 0;
  report.fileName = Call(item, "getFileName", InvokeKind::kMethod).asText();
  report.clientPath = Call(item, "getCompleteFilePath", InvokeKind::kMethod).asText();
  report.fileSize = Call(item, "getFileSize", InvokeKind::kMethod).asInteger();
  return report;
}

}  // namespace

PageResult RunUploadPage(const std::shared_ptr<ScriptingContext>& context, const PageSettings& settings) {
  static std::once_flag registered;
  std::call_once(registered, [] { RegisterServer(); });

  PageResult page;
  ObjectRef upload = CreateObject("qelt_parcelmoor.UploadFile");
  Call(upload, "OnStartPage", InvokeKind::kMethod, {Variant(ObjectRef(context))});
  try {
    if (settings.uploadDirectory) {
      Call(upload, "UploadDirectory", InvokeKind::kPropertyPut, {Variant(*settings.uploadDirectory)});
    }
    if (settings.maxFileSize) Call(upload, "MaxFileSize", InvokeKind::kPropertyPut, {Variant(*settings.maxFileSize)});
    if (settings.deleteMaxFile) Call(upload, "DeleteMaxFile", InvokeKind::kPropertyPut, {Variant::Bool(kTrue)});
    if (settings.keepPartial) {
      Call(upload, "UploadAllFilesOrNone", InvokeKind::kPropertyPut, {Variant::Bool(kFalse)});
    }
    page.result = Call(upload, "storeUploadedFiles", InvokeKind::kMethod).asInteger();
  } catch (...) {
    page.error = ReportCurrentException();
  }
  page.uploadAllFilesOrNone = Call(upload, "UploadAllFilesOrNone", InvokeKind::kPropertyGet).asBoolean() != 0;

  // Hold every item, as a script that read Form would.
  std::vector<ObjectRef> items;
  {
    ObjectRef form = Call(upload, "Form", InvokeKind::kPropertyGet).asObject();
    const int32_t count = Call(form, "Count", InvokeKind::kPropertyGet).asInteger();
    for (int32_t i = 1; i <= count; ++i) items.push_back(Call(form, "Item", InvokeKind::kMethod, {Variant(i)}).asObject());
    ReleaseObject(form);
  }

  // What the host logs, beyond the script's view. The release deletes every
  // stored file while the all-or-none flag is set.
  if (auto typed = std::dynamic_pointer_cast<UploadFile>(upload)) {
    if (typed->lastParseFailure()) page.parseFailure = ErrorReport::From(*typed->lastParseFailure());
    page.filesStored = page.uploadAllFilesOrNone ? 0 : static_cast<int32_t>(typed->storedFileCount());
  }

  // Releasing the last reference runs termination; the items are read after.
  try {
    ReleaseObject(upload);
  } catch (...) {
    page.releaseError = ReportCurrentException();
  }
  for (const ObjectRef& item : items) page.form.push_back(DescribeItem(item));
  return page;
}

}  // namespace parcelmoor
