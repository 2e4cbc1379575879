#include "component/registration.h"

#include <algorithm>
#include <mutex>

#include "component/class_factory.h"
#include "runtime/ascii.h"
#include "runtime/collection.h"
#include "runtime/dispatch.h"

namespace parcelmoor {
namespace {

constexpr LibraryIdentity kIdentity{
    "qelt_parcelmoor",
    1,
    0,
    0x409,
    "qelt_parcelmoor.dll",
    "1.00",
    "1.00",
    "qelt_parcelmoor",
    "Provides  RFC1867 functionality to Microsoft IIS Web Server",
    kLibraryId,
};

constexpr const char* kThreadingModel = "Apartment";

std::string LibraryVersion() {
  return std::to_string(kIdentity.versionMajor) + "." + std::to_string(kIdentity.versionMinor);
}

std::mutex tableMutex;
Registrations& Table() {
  static Registrations table;
  return table;
}

bool IsOurClass(const ClassRecord& r) { return FindComponentClass(r.classId) != nullptr; }
bool IsOurInterface(const InterfaceRecord& r) {
  for (const ComponentClass& cls : ComponentClasses())
    if (cls.interfaceId == r.interfaceId) return true;
  return false;
}
bool IsOurLibrary(const TypeLibraryRecord& r) { return r.libraryId == kLibraryId; }

void RemoveOurEntries(Registrations& table) {
  std::erase_if(table.typeLibraries, IsOurLibrary);
  std::erase_if(table.classes, IsOurClass);
  std::erase_if(table.interfaces, IsOurInterface);
}

}  // namespace

const LibraryIdentity& GetLibraryIdentity() { return kIdentity; }

void RegisterServer(std::string_view serverPath) {
  // Built complete before the table changes, so a failure leaves it as it was.
  Registrations ours;
  ours.typeLibraries.push_back(
      {kIdentity.name, kLibraryId, LibraryVersion(), kIdentity.locale, std::string(serverPath)});
  for (const ComponentClass& cls : ComponentClasses()) {
    ours.classes.push_back(
        {std::string(cls.progId), cls.classId, std::string(serverPath), kThreadingModel, LibraryVersion()});
    ours.interfaces.push_back({std::string(cls.interfaceName), cls.interfaceId, kLibraryId});
  }
  std::lock_guard lock(tableMutex);
  Registrations& table = Table();
  // Room first, so that the table never holds half a registration.
  table.typeLibraries.reserve(table.typeLibraries.size() + ours.typeLibraries.size());
  table.classes.reserve(table.classes.size() + ours.classes.size());
  table.interfaces.reserve(table.interfaces.size() + ours.interfaces.size());
  RemoveOurEntries(table);
  for (auto& r : ours.typeLibraries) table.typeLibraries.push_back(std::move(r));
  for (auto& r : ours.classes) table.classes.push_back(std::move(r));
  for (auto& r : ours.interfaces) table.interfaces.push_back(std::move(r));
}

void UnregisterServer() {
  std::lock_guard lock(tableMutex);
  RemoveOurEntries(Table());
}

Registrations RegisteredEntries() {
  std::lock_guard lock(tableMutex);
  return Table();
}

std::optional<Guid> ClassIdFromProgId(std::string_view progId) {
  std::lock_guard lock(tableMutex);
  for (const ClassRecord& r : Table().classes)
    if (EqualsIgnoringAsciiCase(r.progId, progId)) return r.classId;
  return std::nullopt;
}

ObjectRef CreateObject(std::string_view progId) {
  std::optional<Guid> classId = ClassIdFromProgId(progId);
  std::shared_ptr<ClassFactory> factory = classId ? GetClassFactory(*classId) : nullptr;
  if (!factory) RaiseRuntimeError(errnum::kCannotCreateObject);
  return factory->CreateInstance();
}

}  // namespace parcelmoor
