#pragma once
// The writer's test fixture: a writer over a fake file layer in a fresh
// directory, and the helpers its tests share.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/fake_file_layer.h"
#include "storage/local_store.h"
#include "storage/lock_holder_process.h"
#include "storage/temporaries.h"
#include "storage/temporary_files.h"
#include "upload/upload_file_writer.h"
#include "upload/upload_errors.h"
#include "support/upload_harness.h"

namespace parcelmoor::testing {

namespace fs = std::filesystem;

template <class F>
inline std::optional<RaisedError> Caught(F&& f) {
  try {
    f();
  } catch (const RaisedError& e) {
    return e;
  }
  return std::nullopt;
}

inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

inline const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

inline FileRecord Named(const std::string& fileName) {
  FileRecord file;
  file.fieldName = "field";
  file.fileName = fileName;
  return file;
}

class UploadFileWriterTest : public ::testing::Test {
 protected:
  UploadFileWriterTest() { writer.setFileLayer(files); }

  std::string PathOf(const std::string& name) const { return (dir.path() / name).string(); }
  std::string Dir() const { return dir.str() + "/"; }

  void Open(const std::string& name, std::optional<int64_t> limit = std::nullopt) {
    writer.open(Dir(), Named(name), limit);
  }
  void Write(const std::string& bytes) { writer.write(Bytes(bytes), static_cast<int32_t>(bytes.size())); }
  // Where the last opened file waits for its commit.
  std::string Pending() const { return writer.records()->back().pendingPath; }
  // Files this writer holds on disk: committed ones and temporaries.
  size_t OnDisk() const { return dir.Files().size() + Temporaries(dir.str()).size(); }
  // Opens, writes and closes `name`: a stored file, not yet committed.
  void Store(const std::string& name, const std::string& content) {
    Open(name);
    Write(content);
    writer.close();
  }

  TempDir dir;
  FakeFileLayer files;
  UploadFileWriter writer;
};

}  // namespace parcelmoor::testing
