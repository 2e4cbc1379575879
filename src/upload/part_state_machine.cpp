// The part state machine: what the parser's events mean for the form and the
// files. A Content-Disposition line makes the part's form item at once; what
// becomes of the part's content is decided when its headers are complete
// (part_decision.cpp).
#include <string>
#include <string_view>

#include "runtime/ascii.h"
#include "upload/upload_errors.h"
#include "upload/upload_file.h"

namespace parcelmoor {

void UploadFile::OnPartBegin() { countPart(); }

void UploadFile::OnDisposition(std::string_view header) {
  // A second Content-Disposition line in one part: the file the first one
  // named ends here, empty, so that its handle is never lost.
  if (part_.partHasItem_ && !part_.decided_) decidePart();
  if (part_.judging_) judgeHeldContent();
  if (part_.lInFilePart == 1) finishFilePart();
  auto item = FormItem::Create();
  const int32_t merged = item->extractCDHeader(header, form());
  if (merged == 1) {
    part_.objCurrentItem = ObjectAs<FormItem>(Form->Item(Form->Count()));
  } else {
    part_.objCurrentItem = item;
    Form->Add(Variant(item), item->Name());
  }
  part_.partHasItem_ = true;
  part_.decided_ = false;
  part_.namesFile_ = false;
  part_.dropContent_ = false;
  part_.valueStarted_ = false;
  part_.fieldBytes_ = 0;
  if (HeaderNamesAFile(header)) prepareFilePart(header, merged == 1);
}

void UploadFile::OnContentType(std::string_view value) { part_.contentType_.assign(value); }

void UploadFile::OnHeadersComplete() {
  if (part_.partHasItem_ && !part_.decided_) decidePart();
}

void UploadFile::OnContent(std::span<const uint8_t> bytes) {
  if (part_.judging_) {
    bytes = holdContent(bytes);
    if (bytes.empty()) return;
  }
  if (part_.lInFilePart == 1) {
    writer_.write(bytes.data(), static_cast<int32_t>(bytes.size()));
    return;
  }
  // A part without a Content-Disposition line has no item of its own: its
  // content never reaches an earlier item.
  if (!part_.partHasItem_ || !part_.objCurrentItem || part_.dropContent_) return;
  writeFieldValue(bytes);
}

void UploadFile::OnPartEnd() {
  // A part that ends before its blank line is decided all the same: a file
  // it names is stored empty, as its headers said.
  if (part_.partHasItem_ && !part_.decided_) decidePart();
  if (part_.judging_) judgeHeldContent();
  if (part_.lInFilePart == 1) finishFilePart();
  part_.partHasItem_ = false;
  part_.namesFile_ = false;
  part_.dropContent_ = false;
  part_.fileIsItemsOwn_ = false;
  part_.contentType_.clear();
}

void UploadFile::raiseRefusal(MultipartRefusal refusal) {
  // A part whose file was named before the refusal is decided first, as its
  // file would have been opened before the refused line.
  if (part_.partHasItem_ && !part_.decided_ && part_.namesFile_) decidePart();
  switch (refusal) {
    case MultipartRefusal::kNoDelimiterLine:
      uploaderr::RaiseNoDelimiterLine();
    case MultipartRefusal::kDelimiterLineTooLong:
      uploaderr::RaiseDelimiterLineTooLong();
    case MultipartRefusal::kHeaderLineTooLong:
    case MultipartRefusal::kNone:
      break;
  }
  uploaderr::RaiseHeaderLineTooLong();
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

void UploadFile::writeFieldValue(std::span<const uint8_t> bytes) {
  const auto count = static_cast<int64_t>(bytes.size());
  part_.fieldBytes_ += count;
  if (settings_.maxFieldSize_ > 0 && part_.fieldBytes_ > settings_.maxFieldSize_) {
    body_.stopReading_ = true;
    uploaderr::RaiseFieldTooLarge(settings_.maxFieldSize_);
  }
  body_.fieldsBytes_ += count;
  if (settings_.maxTotalFieldBytes_ > 0 && body_.fieldsBytes_ > settings_.maxTotalFieldBytes_) {
    body_.stopReading_ = true;
    uploaderr::RaiseFieldsTooLarge(settings_.maxTotalFieldBytes_);
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // A part's content is one entry of the item's values, however the reads
  // cut it: the first piece starts the entry, later pieces join it.
  if (!part_.valueStarted_) {
    part_.objCurrentItem->setValue(std::string(text));
    part_.valueStarted_ = true;
  } else {
    part_.objCurrentItem->continueValue(text);
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
  writer_.abandon(part_.deleteOverLimit_);
}

}  // namespace parcelmoor
