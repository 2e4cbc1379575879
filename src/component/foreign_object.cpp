#include "component/foreign_object.h"

#include <cstring>
#include <optional>
#include <string>

#include "component/c_values.h"
#include "runtime/dispatch.h"

namespace parcelmoor {
namespace {

[[noreturn]] void RaiseFailedCall(QeltHResult hr) {
  if (hr == QELT_E_OUTOFMEMORY) RaiseRuntimeError(errnum::kOutOfMemory);
  if (hr == QELT_DISP_E_UNKNOWNNAME || hr == QELT_DISP_E_MEMBERNOTFOUND)
    RaiseRuntimeError(errnum::kObjectDoesntSupport);
  RaiseRuntimeError(errnum::kInternalError);
}

int32_t KindToC(InvokeKind kind) {
  if (kind == InvokeKind::kPropertyGet) return QELT_DISPATCH_METHOD | QELT_DISPATCH_PROPERTYGET;
  return static_cast<int32_t>(kind);
}

// C arguments made from variants, freed with the list.
class CArguments {
 public:
  explicit CArguments(const std::vector<Variant>& args) : c_(args.size()) {
    try {
      for (size_t i = 0; i < args.size(); ++i) ToC(args[i], &c_[i]);
    } catch (...) {
      Clear();
      throw;
    }
  }
  ~CArguments() { Clear(); }
  CArguments(const CArguments&) = delete;
  CArguments& operator=(const CArguments&) = delete;
  const QeltVariant* data() const { return c_.data(); }
  size_t size() const { return c_.size(); }

 private:
  void Clear() noexcept {
    for (QeltVariant& v : c_) ClearC(&v);
  }
  std::vector<QeltVariant> c_;
};

// What a host's Invoke hands back, freed with this.
struct CAnswer {
  QeltVariant result{};
  QeltErrorInfo error{};
  CAnswer() = default;
  CAnswer(const CAnswer&) = delete;
  CAnswer& operator=(const CAnswer&) = delete;
  ~CAnswer() {
    ClearC(&result);
    ClearC(&error);
  }
};

// A member of a host object, its identifier asked once, as a page engine
// keeps it for a loop.
class HostMember {
 public:
  HostMember(ObjectRef object, std::string_view name) : object_(std::move(object)), name_(name) {}
  Variant Call(InvokeKind kind, std::vector<Variant> args = {}) {
    if (!id_) id_ = GetIDOfName(object_, name_);
    return Invoke(object_, *id_, kind, std::move(args));
  }

 private:
  ObjectRef object_;
  std::string_view name_;
  std::optional<DispId> id_;
};

// The host's request, reached by name.
class LateBoundRequest : public HostRequest {
 public:
  explicit LateBoundRequest(const ObjectRef& request)
      : totalBytes_(request, QELT_HOST_TOTALBYTES), binaryRead_(request, QELT_HOST_BINARYREAD) {}

  int64_t TotalBytes() override { return totalBytes_.Call(InvokeKind::kPropertyGet).asLong(); }

  size_t BinaryRead(uint8_t* into, size_t count) override {
    Variant got = binaryRead_.Call(InvokeKind::kMethod, {Variant(static_cast<int32_t>(count))});
    if (!got.isBytes()) RaiseRuntimeError(errnum::kTypeMismatch);
    // No bytes is how a page engine's request says the body is over; more
    // than asked is a host's fault. Either ends the body as a failed read.
    const ByteArray& bytes = got.bytes();
    if (bytes.empty() || bytes.size() > count) RaiseRuntimeError(errnum::kInvalidProcedureCall);
    std::memcpy(into, bytes.data(), bytes.size());
    return bytes.size();
  }

 private:
  HostMember totalBytes_;
  HostMember binaryRead_;
};

// The host's response, reached by name.
class LateBoundResponse : public HostResponse {
 public:
  explicit LateBoundResponse(const ObjectRef& response)
      : write_(response, QELT_HOST_WRITE), isClientConnected_(response, QELT_HOST_ISCLIENTCONNECTED) {}

  void Write(std::string_view text) override { write_.Call(InvokeKind::kMethod, {Variant(std::string(text))}); }
  bool IsClientConnected() override { return isClientConnected_.Call(InvokeKind::kPropertyGet).asBoolean() != 0; }

 private:
  HostMember write_;
  HostMember isClientConnected_;
};

// An object result of the context's member `name`.
ObjectRef ObjectMember(const ObjectRef& context, std::string_view name) {
  Variant got = CallByName(context, name, InvokeKind::kPropertyGet);
  if (!got.isObject()) RaiseRuntimeError(errnum::kTypeMismatch);
  return got.asObject();
}

}  // namespace

std::shared_ptr<ForeignObject> ForeignObject::Wrap(QeltDispatch* object) {
  auto wrapper = std::make_shared<ForeignObject>(object);
  object->vtbl->AddRef(object);
  return wrapper;
}

ForeignObject::~ForeignObject() { object_->vtbl->Release(object_); }

QeltDispatch* ForeignObject::NewReference() const {
  object_->vtbl->AddRef(object_);
  return object_;
}

DispId ForeignObject::GetIDOfName(std::string_view name) {
  const std::string terminated(name);
  int32_t id = 0;
  QeltHResult hr = object_->vtbl->GetIDOfName(object_, terminated.c_str(), &id);
  if (hr < 0) RaiseFailedCall(hr);
  return id;
}

Variant ForeignObject::Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) {
  CArguments in(args);
  CAnswer answer;
  QeltHResult hr =
      object_->vtbl->Invoke(object_, id, KindToC(kind), in.data(), in.size(), &answer.result, &answer.error);
  if (hr == QELT_DISP_E_EXCEPTION) throw ErrorFromC(answer.error);
  if (hr < 0) RaiseFailedCall(hr);
  return FromC(answer.result);
}

std::shared_ptr<HostRequest> ForeignObject::Request() {
  return std::make_shared<LateBoundRequest>(ObjectMember(shared_from_this(), QELT_HOST_REQUEST));
}

std::shared_ptr<HostResponse> ForeignObject::Response() {
  return std::make_shared<LateBoundResponse>(ObjectMember(shared_from_this(), QELT_HOST_RESPONSE));
}

}  // namespace parcelmoor
