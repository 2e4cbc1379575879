#include "host/page_runner.h"

#include <new>

#include "form/form_item.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

ErrorReport ReportFrom(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const RaisedError& e) {
    return ErrorReport::From(e);
  } catch (const std::bad_alloc&) {
    return {errnum::kOutOfMemory, kComponentSource, "Out of memory"};
  } catch (const std::exception& e) {
    return {errnum::kInvalidProcedureCall, kComponentSource, e.what()};
  }
}

ItemReport DescribeItem(FormItem& item) {
  ItemReport report;
  report.name = item.Name();
  auto values = item.Value();
  for (int32_t i = 1; i <= values->Count(); ++i) {
    const Variant& v = values->Item(i);
    if (v.isNull()) {
      report.values.emplace_back(std::nullopt);
    } else {
      report.values.emplace_back(v.asText());
    }
  }
  report.multipleValues = item.isMultipleValues() != 0;
  report.isFile = item.isElementFile() != 0;
  report.fileName = item.getFileName();
  report.clientPath = item.getCompleteFilePath();
  report.fileSize = item.getFileSize();
  return report;
}

}  // namespace

PageResult RunUploadPage(const std::shared_ptr<ScriptingContext>& context, const PageSettings& settings) {
  PageResult page;
  auto upload = UploadFile::Create();
  upload->OnStartPage(context);
  std::vector<std::shared_ptr<FormItem>> items;
  try {
    if (settings.uploadDirectory) upload->put_UploadDirectory(*settings.uploadDirectory);
    if (settings.maxFileSize) upload->put_MaxFileSize(*settings.maxFileSize);
    if (settings.deleteMaxFile) upload->put_DeleteMaxFile(kTrue);
    if (settings.keepPartial) upload->put_UploadAllFilesOrNone(kFalse);
    page.result = upload->storeUploadedFiles();
  } catch (...) {
    page.error = ReportFrom(std::current_exception());
  }
  page.uploadAllFilesOrNone = upload->get_UploadAllFilesOrNone() != 0;
  if (upload->lastParseFailure()) page.parseFailure = ErrorReport::From(*upload->lastParseFailure());

  // Hold every item, as a script that read Form would, then release the
  // upload object so that its termination runs before the items are read.
  auto form = upload->get_Form();
  for (int32_t i = 1; i <= form->Count(); ++i) items.push_back(ObjectAs<FormItem>(form->Item(i)));
  form.reset();
  // The release deletes every stored file while the all-or-none flag is set.
  const bool filesKept = upload->get_UploadAllFilesOrNone() == 0;
  page.filesStored = filesKept ? static_cast<int32_t>(upload->storedFileCount()) : 0;
  try {
    upload->release();
  } catch (...) {
    page.releaseError = ReportFrom(std::current_exception());
  }
  upload.reset();

  for (auto& item : items) page.form.push_back(DescribeItem(*item));
  return page;
}

}  // namespace parcelmoor
