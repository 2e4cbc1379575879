#include "host/content_type.h"

#include <magic.h>

#include <memory>

#include "runtime/ascii.h"
#include "runtime/shared_library.h"

namespace parcelmoor {
namespace {

// libmagic (with its decompressors) is loaded at the first file whose type
// is asked, so that a process without --allow-types never maps it.
struct MagicLibrary {
  std::unique_ptr<SharedLibrary> library;
  decltype(&magic_open) open = nullptr;
  decltype(&magic_load) load = nullptr;
  decltype(&magic_buffer) buffer = nullptr;
  decltype(&magic_close) close = nullptr;
};

struct LoadedMagicLibrary {
  MagicLibrary api;
  std::string why;  // when it could not be loaded
};

// Loaded once per process and never closed (threads' handles outlive any
// one caller).
const LoadedMagicLibrary& MagicLoad() {
  static const LoadedMagicLibrary* loaded = [] {
    auto* made = new LoadedMagicLibrary;
    MagicLibrary& a = made->api;
    std::string& why = made->why;
    a.library = SharedLibrary::Open("libmagic.so.1", why);
    if (a.library && !(a.library->Bind(a.open, "magic_open", why) && a.library->Bind(a.load, "magic_load", why) &&
                       a.library->Bind(a.buffer, "magic_buffer", why) && a.library->Bind(a.close, "magic_close", why))) {
      a.library.reset();
    }
    return made;
  }();
  return *loaded;
}

// Null when libmagic.so.1 or one of its functions is missing.
const MagicLibrary* LoadedMagic() {
  const LoadedMagicLibrary& loaded = MagicLoad();
  return loaded.api.library ? &loaded.api : nullptr;
}

struct MagicCloser {
  void operator()(magic_t cookie) const { LoadedMagic()->close(cookie); }
};
using Magic = std::unique_ptr<std::remove_pointer_t<magic_t>, MagicCloser>;

// libmagic's handles may not be shared between threads: one per thread,
// loaded at its first use. Null when the database could not be loaded.
magic_t ThreadMagic() {
  thread_local Magic cookie = [] {
    const MagicLibrary* lib = LoadedMagic();
    if (lib == nullptr) return Magic();
    Magic opened(lib->open(MAGIC_MIME_TYPE));
    if (opened && lib->load(opened.get(), nullptr) != 0) opened.reset();
    return opened;
  }();
  return cookie.get();
}

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiToLower(c);
  return out;
}

bool ValidPattern(std::string_view p) {
  const size_t slash = p.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == p.size()) return false;
  if (p.find('/', slash + 1) != std::string_view::npos) return false;
  // "*" stands only for a whole subtype, or for both halves.
  const std::string_view type = p.substr(0, slash);
  const std::string_view subtype = p.substr(slash + 1);
  if (type == "*") return subtype == "*";
  return type.find('*') == std::string_view::npos &&
         (subtype == "*" || subtype.find('*') == std::string_view::npos);
}

}  // namespace

bool TypeSniffingAvailable(std::string& why) {
  if (LoadedMagic() != nullptr) return true;
  why = MagicLoad().why;
  return false;
}

std::string SniffMimeType(std::span<const uint8_t> firstBytes) {
  if (firstBytes.empty()) return "application/x-empty";
  magic_t cookie = ThreadMagic();
  if (!cookie) return "application/octet-stream";
  const char* type = LoadedMagic()->buffer(cookie, firstBytes.data(), firstBytes.size());
  return type ? std::string(type) : "application/octet-stream";
}

bool ParseTypePatterns(std::string_view list, std::vector<std::string>& patterns, std::string& why) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string entry = Lowered(TrimAscii(list.substr(0, comma), " \t"));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (entry.empty()) continue;
    if (!ValidPattern(entry)) {
      why = "'" + entry + "' is not a type such as image/png, image/* or */*";
      return false;
    }
    patterns.push_back(entry);
  }
  if (patterns.empty()) {
    why = "no type given";
    return false;
  }
  return true;
}

bool TypeAllowed(std::string_view mimeType, const std::vector<std::string>& patterns) {
  const std::string type = Lowered(mimeType);
  const size_t slash = type.find('/');
  for (const std::string& p : patterns) {
    if (p == "*/*" || p == type) return true;
    if (p.size() >= 2 && p.ends_with("/*") && slash != std::string::npos &&
        std::string_view(type).substr(0, slash + 1) == std::string_view(p).substr(0, p.size() - 1)) {
      return true;
    }
  }
  return false;
}

}  // namespace parcelmoor
