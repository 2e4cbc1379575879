#include "runtime/object.h"

namespace parcelmoor {

std::atomic<int64_t> Object::live_{0};

Object::Object() { live_.fetch_add(1, std::memory_order_relaxed); }
Object::~Object() { live_.fetch_sub(1, std::memory_order_relaxed); }

int64_t Object::LiveObjects() { return live_.load(std::memory_order_relaxed); }

DispId Object::GetIDOfName(std::string_view) {
  RaiseRuntimeError(errnum::kObjectDoesntSupport);
}

Variant Object::Invoke(DispId, InvokeKind, std::vector<Variant>&) {
  RaiseRuntimeError(errnum::kObjectDoesntSupport);
}

}  // namespace parcelmoor
