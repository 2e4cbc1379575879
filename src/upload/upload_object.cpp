#include <cmath>

#include "runtime/ascii.h"
#include "upload/upload_file.h"

namespace parcelmoor {
UploadFile::UploadFile() {
  try {
    initHeaderPatterns();
    lMaxFileSize = static_cast<int32_t>(std::pow(2.0, 31) - 1);
    bUploadAllFilesOrNone = kTrue;
    bDeleteMaxFile = kFalse;
    objCurrentItem.reset();
  } catch (...) {
    // Construction always completes.
  }
}

UploadFile::~UploadFile() {
  try {
    release();
  } catch (...) {
    // A destructor never throws; callers that want the error call release().
  }
}

std::shared_ptr<Collection>& UploadFile::form() {
  if (!Form) Form = Collection::Create();
  return Form;
}

std::shared_ptr<Collection> UploadFile::get_Form() { return form(); }

void UploadFile::OnStartPage(const std::shared_ptr<ScriptingContext>& MyScriptingContext) {
  try {
    if (!MyScriptingContext) return;
    auto request = MyScriptingContext->Request();
    if (!request) return;
    objRequest = std::move(request);
    auto response = MyScriptingContext->Response();
    if (!response) return;
    objResponse = std::move(response);
    strUploadDirectory.clear();
  } catch (...) {
    // A context that cannot give its request or response leaves the
    // references as they were; the script learns of it at processing.
  }
}

void UploadFile::put_MaxFileSize(int32_t lMaximumFileSize) {
  lMaxFileSize = lMaximumFileSize;
  lMaxFileSizeSet = -1;
}

void UploadFile::put_UploadDirectory(const std::string& strDirectory) {
  try {
    strUploadDirectory = TrimAscii(strDirectory, " ");
    if (strUploadDirectory.empty()) return;
    if (strUploadDirectory.back() != '\\') strUploadDirectory += '\\';
  } catch (...) {
  }
}

int32_t UploadFile::storeUploadedFiles() {
  try {
    if (bProcessed) return 1;
    resetForm();
    if (TrimAscii(strUploadDirectory, " ").empty()) {
      Raise(errnum::kDirectoryEmpty, "qeltUpload.dll",
            std::string("Directory Cannot be empty. ") + "Please set directory using setUploadDirectory function.");
    }
    abLine.assign(kLineCapacity, 0);
    bProcessed = kTrue;
    readRequestBody();
    abLine.clear();
    abLine.shrink_to_fit();
    return 1;
  } catch (const RaisedError&) {
    throw;  // raised again unchanged
  } catch (...) {
    throw CurrentExceptionAsRaisedError();
  }
}

void UploadFile::release() {
  if (terminated_) return;
  terminated_ = true;
  objRequest.reset();
  objResponse.reset();
  try {
    resetForm();
  } catch (const RaisedError&) {
    throw;
  } catch (...) {
    throw CurrentExceptionAsRaisedError();
  }
}

}  // namespace parcelmoor
