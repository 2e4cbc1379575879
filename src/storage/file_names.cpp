// Name rules shared by the local and the object store.
#include "storage/file_names.h"

namespace parcelmoor {

bool IsSafeFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c == '\\' || c < 32 || c == 127) return false;
  return true;
}

std::string UploadDirectoryPrefix(const std::string& componentDirectory) {
  std::string prefix = componentDirectory;
  if (!prefix.empty() && prefix.back() == '\\') prefix.back() = '/';
  return prefix;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NumberedName(const std::string& path, int n) {
  const size_t nameStart = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) dot = path.size();
  return path.substr(0, dot) + " (" + std::to_string(n) + ")" + path.substr(dot);
}

}  // namespace parcelmoor
