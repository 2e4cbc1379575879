#pragma once
// A host's automation object (a QeltDispatch the host made) inside the
// library: script-visible like the library's own objects, every call going
// to the host by name or dispatch identifier. Passed to OnStartPage, it acts
// as the page's scripting context: Request and Response are read from it by
// name, and the request and response they give are driven by name too
// (TotalBytes, BinaryRead, Write, IsClientConnected), as a page engine's
// objects are. Errors the host raises come through unchanged; a result of the
// wrong type raises 13, a member the host lacks 438, any other failed call 51
// (7 when the host is out of memory).

#include <memory>
#include <string_view>
#include <vector>

#include "component/server_abi.h"
#include "upload/host_interfaces.h"

namespace parcelmoor {

class ForeignObject : public ScriptingContext {
 public:
  // Wraps `object` with a reference of its own, dropped with the wrapper.
  static std::shared_ptr<ForeignObject> Wrap(QeltDispatch* object);
  ~ForeignObject() override;

  // The host's pointer, with a new reference.
  QeltDispatch* NewReference() const;

  // Asks the host for the identifier of `name`.
  DispId GetIDOfName(std::string_view name) override;
  // Calls the host's member; a property get is sent as METHOD | PROPERTYGET,
  // as a script reading a value sends it.
  Variant Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) override;

  // Read by name; raise as above, 13 when the result is not an object.
  std::shared_ptr<HostRequest> Request() override;
  std::shared_ptr<HostResponse> Response() override;

  explicit ForeignObject(QeltDispatch* object) : object_(object) {}  // takes a reference

 private:
  QeltDispatch* object_;
};

}  // namespace parcelmoor
