#pragma once
// One part of a multipart/form-data body as the script sees it: a plain field
// with its value or values, or an uploaded file with the client's path, the
// file name cut from it and the number of bytes stored.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/collection.h"
#include "runtime/object.h"

namespace parcelmoor {

// True when a Content-Disposition header line, with every space removed,
// holds ";filename=" in any ASCII letter case outside double quotes: the part
// carries a file.
bool HeaderNamesAFile(std::string_view header);

class FormItem : public Object {
 public:
  static std::shared_ptr<FormItem> Create() { return std::make_shared<FormItem>(); }

  // Reads name and file information from a Content-Disposition header line.
  // Returns 1 when the last entry of `objCollection` already bears this name
  // (that entry is switched to multiple values and this item learns nothing
  // more), else 0. Failures are raised again with source "UploadedItem" and
  // " extractCDHeader " after the description.
  int32_t extractCDHeader(std::string_view strCDHeader, const std::shared_ptr<Collection>& objCollection);
  std::string Name() const { return strName; }
  // The item's values (the item's own collection, not a copy). An item that
  // never got a value shows one null entry.
  std::shared_ptr<Collection> Value();
  Boolean isMultipleValues() const { return bMultipleValues; }
  // Adds text to the value: joined onto the last entry, or an entry of its own
  // once the item holds multiple values. Always returns 0.
  int32_t setValue(std::string strValue);
  void MultipleValues() { bMultipleValues = kTrue; }
  Boolean isElementFile() const { return bElementFile; }
  // Bytes stored for the file; 0 for a plain field. Sizes beyond 2 GiB read
  // as 2,147,483,647.
  int32_t getFileSize() const;
  void setFileSize(int64_t lSize) { lItemFileSize = lSize; }
  std::string getFileName() const { return bElementFile ? strFileName : std::string(); }
  std::string getCompleteFilePath() const { return bElementFile ? strCompleteFilePath : std::string(); }

  // C++ API: makes this a file item named `name` for the client path
  // `clientPath`, whose file name is cut from it as from a header's.
  void nameFile(std::string name, std::string clientPath);
  // C++ API: joins `piece` onto the last entry whatever the value mode, so
  // that the pieces of one part's content make one entry. Amortised append.
  void continueValue(std::string_view piece);
  // C++ API: the recorded size without the 32-bit cut.
  int64_t fileSize64() const { return bElementFile ? lItemFileSize : 0; }

  // Late-bound calls through the member table.
  DispId GetIDOfName(std::string_view name) override;
  Variant Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) override;

 private:
  std::string strName;
  std::shared_ptr<Collection> colValues;
  Boolean bElementFile = kFalse;
  Boolean bMultipleValues = kFalse;
  std::string strFileName;
  std::string strCompleteFilePath;
  int64_t lItemFileSize = 0;
};

}  // namespace parcelmoor
