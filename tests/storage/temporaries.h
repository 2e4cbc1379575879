#pragma once
// The temporaries waiting in an upload directory's private directory: files
// received but not yet committed.

#include <filesystem>
#include <string>
#include <vector>

#include "storage/temporary_files.h"

namespace parcelmoor::testing {

inline std::vector<std::string> Temporaries(const std::string& directory) {
  std::vector<std::string> found;
  std::error_code none;
  for (const auto& e : std::filesystem::directory_iterator(PrivateDirectoryOf(directory), none)) {
    if (IsTemporaryName(e.path().filename().string())) found.push_back(e.path().string());
  }
  return found;
}

}  // namespace parcelmoor::testing
