#include <string>

#include "runtime/ascii.h"
#include "upload/part_state.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr int32_t kDispositionNameLength = 19;  // "content-disposition"
constexpr int32_t kContentTypeNameLength = 12;  // "content-type"


// A file name that may be joined to the upload directory: no directory
// separator left after the client-path cut, not "." or "..", no control byte.
bool IsSafeFileName(const std::string& name) {
  if (name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c == '\\' || c < 32 || c == 127) return false;
  return true;
}

}  // namespace

int32_t UploadFile::handleLine() {
  const int32_t n = lLineLength;

  // The blank line that ends a part's headers counts only after a
  // Content-Disposition or Content-Type line.
  if (lPartState == kAfterDisposition && n == 0) {
    lPartState = kNoHeaderYet;
    bInContent = kTrue;
    return 0;
  }
  if (lPartState == kAfterContentType && n == 0) {
    bInContent = kTrue;
    lPartState = kNoHeaderYet;
    bPendingCRLF = kFalse;
    return 0;
  }

  // A delimiter line (or the close delimiter, two bytes longer) ends the part,
  // inside content and outside.
  if ((n == lBoundaryLength || n == lBoundaryLength + 2) &&
      matchBytes(abBoundary.data(), abLine.data(), lBoundaryLength, kFalse, 0) == 0) {
    if (lInFilePart == 1) finishFilePart();
    bPendingCRLF = kFalse;  // the line break in front of the delimiter is not content
    bInContent = kFalse;
    lPartState = kAfterDelimiter;
    lLineLength = 0;
    partHasItem_ = false;
    fileIsItemsOwn_ = false;
    return 0;
  }

  if (!bInContent) {
    if (n > kDispositionNameLength &&
        matchBytes(abContentDisposition.data(), abLine.data(), kDispositionNameLength, kTrue, 0) == 0) {
      // abLine stays as it is until the next line is scanned.
      const std::string_view header(reinterpret_cast<const char*>(abLine.data()), static_cast<size_t>(n));
      lLineLength = 0;
      // A second file-naming header in one part: the file the first one
      // opened ends here, empty, so that its handle is never lost.
      if (lInFilePart == 1) finishFilePart();
      auto item = FormItem::Create();
      const int32_t merged = item->extractCDHeader(header, form());
      if (merged == 1) {
        objCurrentItem = ObjectAs<FormItem>(Form->Item(Form->Count()));
      } else {
        objCurrentItem = item;
        Form->Add(Variant(item), item->Name());
      }
      bPendingCRLF = kFalse;
      partHasItem_ = true;
      valueStarted_ = false;
      if (HeaderNamesAFile(header)) prepareFilePart(header, merged == 1);
      lPartState = kAfterDisposition;
      return 0;
    }
    if (n > kContentTypeNameLength &&
        matchBytes(abContentType.data(), abLine.data(), kContentTypeNameLength, kTrue, 0) == 0) {
      lLineLength = 0;
      lPartState = kAfterContentType;
      return 0;
    }
    lLineLength = 0;  // any other header line, blank ones included, is discarded
    return 0;
  }

  // A content line: handed over only when its CR and LF fell into two reads.
  if (bPendingCRLF) writeBytes(abCRLF.data(), 2, 0);
  bPendingCRLF = kTrue;
  if (n > 0) {
    writeBytes(abLine.data(), n, 0);
    lLineLength = 0;
  }
  return 0;
}

void UploadFile::finishFilePart() {
  lInFilePart = 0;
  // Only an assigned limit can make a file over-size.
  if (lMaxFileSizeSet != 0 && lFileSize > lMaxFileSize) {
    abandonUploadFile();
  } else {
    if (fileIsItemsOwn_ && objCurrentItem) objCurrentItem->setFileSize(lFileSize);
    closeUploadFile();
  }
  lFileSize = 0;
  hFile = -1;
  bMaxSizeExceeded = kFalse;
}

void UploadFile::prepareFilePart(std::string_view strCDHeader, bool merged) {
  lInFilePart = 1;
  // A file part merged into an earlier item of the same name is still stored
  // under its own file name, read from its own header line; the item keeps the
  // name and size of its first file and gains this part's client path.
  std::shared_ptr<FormItem> ownFile = objCurrentItem;
  if (merged) {
    ownFile = FormItem::Create();
    ownFile->extractCDHeader(strCDHeader, Collection::Create());
  }
  fileIsItemsOwn_ = !merged;
  objCurrentItem->setValue(ownFile->getCompleteFilePath());

  const std::string fileName = ownFile->getFileName();
  if (TrimAscii(fileName, " ").empty()) {
    lInFilePart = 0;
    Raise(errnum::kNoFileUploaded, kComponentSource, "No File uploaded for " + objCurrentItem->Name());
  }
  try {
    // A name that could leave the upload directory is refused as the
    // operating system refuses an invalid name: nothing is deleted or opened.
    if (!IsSafeFileName(fileName)) {
      Raise(errnum::kOpenFileFailed, "OpenFile",
            "CreateFile failed. GetLastError=" + std::to_string(modWin32::ERROR_INVALID_NAME));
    }
    strFilePath = strUploadDirectory + fileName;
    files_->DeleteFileA(strFilePath);
    openUploadFile();
    lFileSize = 0;
  } catch (const RaisedError& e) {
    lInFilePart = 0;
    Raise(e.number(), e.source(), "The following error coccured while storing uploaded file " + e.description());
  }
}

}  // namespace parcelmoor
