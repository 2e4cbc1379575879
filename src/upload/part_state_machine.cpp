// The part state machine: what each line means for the part being received,
// and where the part's content goes.
#include <string>
#include <string_view>

#include "runtime/ascii.h"
#include "storage/upload_errors.h"
#include "upload/part_state.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr int32_t kDispositionNameLength = 19;  // "content-disposition"
constexpr int32_t kContentTypeNameLength = 12;  // "content-type"

}  // namespace

void UploadFile::handleLine() {
  const int32_t n = scan_.lLineLength;
  const uint8_t* line = scan_.abLine.data();

  // The blank line that ends a part's headers counts only after a
  // Content-Disposition or Content-Type line.
  if (part_.lPartState == kAfterDisposition && n == 0) {
    part_.lPartState = kNoHeaderYet;
    scan_.bInContent = kTrue;
    scan_.atContentStart_ = true;
    return;
  }
  if (part_.lPartState == kAfterContentType && n == 0) {
    scan_.bInContent = kTrue;
    scan_.atContentStart_ = true;
    part_.lPartState = kNoHeaderYet;
    scan_.bPendingCRLF = kFalse;
    return;
  }

  // A delimiter line (or the close delimiter, two bytes longer) ends the part,
  // inside content and outside.
  if ((n == scan_.lBoundaryLength || n == scan_.lBoundaryLength + 2) &&
      matchBytes(scan_.abBoundary.data(), line, scan_.lBoundaryLength, kFalse, 0) == 0) {
    if (part_.lInFilePart == 1) finishFilePart();
    if (n == scan_.lBoundaryLength) countPart();
    scan_.bPendingCRLF = kFalse;  // the line break in front of the delimiter is not content
    scan_.bInContent = kFalse;
    scan_.atContentStart_ = false;
    part_.lPartState = kAfterDelimiter;
    scan_.lLineLength = 0;
    part_.partHasItem_ = false;
    part_.fileIsItemsOwn_ = false;
    return;
  }

  if (!scan_.bInContent) {
    scan_.lLineLength = 0;  // every header line is used up here
    if (n > kDispositionNameLength &&
        matchBytes(part_.abContentDisposition.data(), line, kDispositionNameLength, kTrue, 0) == 0) {
      // abLine stays as it is until the next line is scanned.
      const std::string_view header(reinterpret_cast<const char*>(line), static_cast<size_t>(n));
      // A second file-naming header in one part: the file the first one
      // opened ends here, empty, so that its handle is never lost.
      if (part_.lInFilePart == 1) finishFilePart();
      auto item = FormItem::Create();
      const int32_t merged = item->extractCDHeader(header, form());
      if (merged == 1) {
        part_.objCurrentItem = ObjectAs<FormItem>(Form->Item(Form->Count()));
      } else {
        part_.objCurrentItem = item;
        Form->Add(Variant(item), item->Name());
      }
      scan_.bPendingCRLF = kFalse;
      part_.partHasItem_ = true;
      part_.valueStarted_ = false;
      part_.fieldBytes_ = 0;
      if (HeaderNamesAFile(header)) prepareFilePart(header, merged == 1);
      part_.lPartState = kAfterDisposition;
    } else if (n > kContentTypeNameLength &&
               matchBytes(part_.abContentType.data(), line, kContentTypeNameLength, kTrue, 0) == 0) {
      part_.lPartState = kAfterContentType;
    }
    return;  // any other header line, blank ones included, is discarded
  }

  // A content line: handed over only when its CR and LF fell into two reads.
  if (scan_.bPendingCRLF) writeBytes(scan_.abCRLF.data(), 2, 0);
  scan_.bPendingCRLF = kTrue;
  if (n > 0) {
    writeBytes(line, n, 0);
    scan_.lLineLength = 0;
  }
}

void UploadFile::finishFilePart() {
  part_.lInFilePart = 0;
  // Only an assigned limit can make a file over-size.
  if (writer_.overLimit()) {
    abandonUploadFile();
  } else {
    if (part_.fileIsItemsOwn_ && part_.objCurrentItem) part_.objCurrentItem->setFileSize(writer_.size());
    writer_.close();
  }
}

void UploadFile::prepareFilePart(std::string_view strCDHeader, bool merged) {
  part_.lInFilePart = 1;
  // A file part merged into an earlier item of the same name is still stored
  // under its own file name, read from its own header line; the item keeps the
  // name and size of its first file and gains this part's client path.
  std::shared_ptr<FormItem> ownFile = part_.objCurrentItem;
  if (merged) {
    ownFile = FormItem::Create();
    ownFile->extractCDHeader(strCDHeader, Collection::Create());
  }
  part_.fileIsItemsOwn_ = !merged;
  part_.objCurrentItem->setValue(ownFile->getCompleteFilePath());

  const std::string fileName = ownFile->getFileName();
  if (TrimAscii(fileName, " ").empty()) {
    part_.lInFilePart = 0;
    uploaderr::RaiseNoFileUploaded(part_.objCurrentItem->Name());
  }
  try {
    std::optional<int64_t> limit;
    if (settings_.lMaxFileSizeSet != 0) limit = settings_.lMaxFileSize;
    FileRecord file;
    file.fieldName = part_.objCurrentItem->Name();
    file.clientPath = ownFile->getCompleteFilePath();
    file.fileName = fileName;
    writer_.open(settings_.strUploadDirectory, std::move(file), limit);
  } catch (const RaisedError& e) {
    part_.lInFilePart = 0;
    uploaderr::RaiseStoringFailed(e);
  }
}

void UploadFile::writeBytes(const uint8_t* buffer, int32_t count, int32_t start) {
  if (count <= 0) return;
  scan_.atContentStart_ = false;
  if (part_.lInFilePart == 1) {
    writer_.write(buffer + start, count);
    return;
  }
  // A part without a Content-Disposition line has no item of its own: its
  // content never reaches an earlier item.
  if (!part_.partHasItem_ || !part_.objCurrentItem) return;
  part_.fieldBytes_ += count;
  if (settings_.maxFieldSize_ > 0 && part_.fieldBytes_ > settings_.maxFieldSize_) {
    body_.stopReading_ = true;
    uploaderr::RaiseFieldTooLarge(settings_.maxFieldSize_);
  }
  const auto* bytes = reinterpret_cast<const char*>(buffer + start);
  // A part's content is one entry of the item's values, however the reads
  // cut it: the first piece starts the entry, later pieces join it.
  if (!part_.valueStarted_) {
    part_.objCurrentItem->setValue(std::string(bytes, static_cast<size_t>(count)));
    part_.valueStarted_ = true;
  } else {
    part_.objCurrentItem->continueValue(std::string_view(bytes, static_cast<size_t>(count)));
  }
}

void UploadFile::countPart() {
  if (++body_.partsOpened_ > settings_.maxParts_ && settings_.maxParts_ > 0) {
    body_.stopReading_ = true;
    uploaderr::RaiseTooManyParts(settings_.maxParts_);
  }
}

void UploadFile::abandonUploadFile() noexcept {
  try {
    if (part_.objCurrentItem && part_.fileIsItemsOwn_) part_.objCurrentItem->setFileSize(writer_.size());
  } catch (...) {
    // The file is given up all the same.
  }
  writer_.abandon(settings_.bDeleteMaxFile != 0);
}

}  // namespace parcelmoor
