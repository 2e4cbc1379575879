#pragma once
// Test access to an upload object's private operations and members, so that
// the file writer and the form reset can be driven without a whole body.
// The one definition of UploadFileTestPeer: other tests include this header
// rather than defining their own.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "upload/upload_file.h"

namespace parcelmoor {

class UploadFileTestPeer {
 public:
  explicit UploadFileTestPeer(UploadFile& upload) : u_(upload) {}

  void openUploadFile() { u_.openUploadFile(); }
  void writeBytes(const uint8_t* buffer, int32_t count, int32_t start) { u_.writeBytes(buffer, count, start); }
  void writeBytes(std::string_view bytes) {
    u_.writeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), 0);
  }
  void closeUploadFile() { u_.closeUploadFile(); }
  void abandonUploadFile() { u_.abandonUploadFile(); }
  void resetForm() { u_.resetForm(); }

  std::string& strFilePath() { return u_.strFilePath; }
  std::string& strUploadDirectory() { return u_.strUploadDirectory; }
  int32_t& hFile() { return u_.hFile; }
  int32_t& lInFilePart() { return u_.lInFilePart; }
  int64_t& lFileSize() { return u_.lFileSize; }
  int32_t& lMaxFileSize() { return u_.lMaxFileSize; }
  int32_t& lMaxFileSizeSet() { return u_.lMaxFileSizeSet; }
  Boolean& bMaxSizeExceeded() { return u_.bMaxSizeExceeded; }
  Boolean& bDeleteMaxFile() { return u_.bDeleteMaxFile; }
  Boolean& bUploadAllFilesOrNone() { return u_.bUploadAllFilesOrNone; }
  std::shared_ptr<FormItem>& objCurrentItem() { return u_.objCurrentItem; }
  std::shared_ptr<Collection>& Form() { return u_.Form; }
  bool& partHasItem() { return u_.partHasItem_; }
  bool& fileIsItemsOwn() { return u_.fileIsItemsOwn_; }
  bool& valueStarted() { return u_.valueStarted_; }

 private:
  UploadFile& u_;
};

}  // namespace parcelmoor
