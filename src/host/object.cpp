#include "host/object.h"

namespace parcelmoor {

std::atomic<int64_t> Object::live_{0};

Object::Object() { live_.fetch_add(1, std::memory_order_relaxed); }
Object::~Object() { live_.fetch_sub(1, std::memory_order_relaxed); }

int64_t Object::LiveObjects() { return live_.load(std::memory_order_relaxed); }

DispId Object::GetIDOfName(std::string_view) {
  Raise(errnum::kObjectDoesntSupport, kComponentSource, "Object doesn't support this property or method");
}

Variant Object::Invoke(DispId, InvokeKind, std::vector<Variant>&) {
  Raise(errnum::kObjectDoesntSupport, kComponentSource, "Object doesn't support this property or method");
}

}  // namespace parcelmoor
