#pragma once
// Test support: temporary upload directories, multipart bodies, and one call
// that runs a body through an upload object on the in-memory host.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/memory_host.h"
#include "storage/store.h"
#include "upload/upload_file.h"

namespace parcelmoor::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // The directory as the upload object takes it.
  std::string str() const { return path_.string(); }
  // Names and contents of the regular files in the directory.
  std::map<std::string, std::string> Files() const;

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

inline constexpr const char* kBoundary = "----pmBoundary7MA4YWxk";

// One part: its header lines (without line ends) and its content.
struct Part {
  std::vector<std::string> headers;
  std::string content;
};
Part Field(const std::string& name, const std::string& value);
Part File(const std::string& name, const std::string& fileName, const std::string& content);

// A body: delimiter, each part's headers, a blank line, its content, and the
// close delimiter (unless `closed` is false).
std::string Body(const std::vector<Part>& parts, bool closed = true, const std::string& boundary = kBoundary);

struct ItemView {
  std::string name;
  std::vector<std::optional<std::string>> values;
  bool isFile = false;
  bool multipleValues = false;
  std::string fileName;
  std::string clientPath;
  int32_t fileSize = 0;
  bool operator==(const ItemView&) const = default;
};
std::vector<ItemView> ViewForm(UploadFile& upload);

struct StoreRun {
  std::shared_ptr<UploadFile> upload;
  std::shared_ptr<MemoryHost> host;
  std::optional<RaisedError> error;  // what storeUploadedFiles raised
  std::vector<ItemView> form;        // read right after storeUploadedFiles
};

struct StoreSettings {
  std::vector<size_t> readPlan;
  std::optional<int64_t> totalBytes;
  std::optional<int64_t> disconnectAfter;
  std::optional<int32_t> maxFileSize;
  std::optional<int64_t> maxFileSizeBytes;  // through setMaxFileSizeBytes
  bool deleteMaxFile = false;
  modWin32::FileLayer* fileLayer = nullptr;  // the POSIX layer when none
  std::shared_ptr<parcelmoor::Store> store;  // a LocalStore (over fileLayer) when none
  int32_t maxFieldSize = 0;
  int32_t maxParts = 0;
  int64_t maxTotalFieldBytes = 0;  // through setMaxTotalFieldBytes
  bool skipEmptyFileInputs = false;
  std::shared_ptr<PartPolicy> policy;  // none: the script's limits decide
  bool checksums = false;              // each kept file's SHA-256 in its record
};

// Runs `body` through a new upload object into `dir`; the object is not
// released (the caller decides when).
StoreRun Store(const std::string& body, const TempDir& dir, const StoreSettings& settings = {});
// The same into `directory` as the upload object takes it (for a store that
// needs no directory on disk).
StoreRun Store(const std::string& body, const std::string& directory, const StoreSettings& settings = {});

}  // namespace parcelmoor::testing
