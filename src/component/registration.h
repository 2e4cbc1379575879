#pragma once
// Registration of the library in the process's class table (there is no
// system registry): RegisterServer records the type library, both classes and
// both interfaces; UnregisterServer removes what it recorded. Creation by class
// name goes through this table, so a host registers the library once at start
// (DllRegisterServer, or RegisterServer when linked in); the class factories
// themselves are always reachable by class identifier. Thread-safe.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/guid.h"
#include "runtime/object.h"

namespace parcelmoor {

// What the library says about itself (its type library and version resource).
struct LibraryIdentity {
  const char* name;  // type library name, the prefix of every class name
  uint16_t versionMajor;
  uint16_t versionMinor;
  uint32_t locale;
  const char* fileName;
  const char* fileVersion;
  const char* productVersion;
  const char* internalName;
  const char* fileDescription;
  Guid libraryId;
};
const LibraryIdentity& GetLibraryIdentity();

struct ClassRecord {
  std::string progId;
  Guid classId;
  std::string serverPath;  // the library file; may be empty when linked in
  std::string threadingModel;
  std::string version;
};
struct InterfaceRecord {
  std::string name;
  Guid interfaceId;
  Guid libraryId;
};
struct TypeLibraryRecord {
  std::string name;
  Guid libraryId;
  std::string version;
  uint32_t locale;
  std::string path;
};
struct Registrations {
  std::vector<TypeLibraryRecord> typeLibraries;
  std::vector<ClassRecord> classes;
  std::vector<InterfaceRecord> interfaces;
};

// Records the library, its classes and interfaces (replacing an earlier
// registration of the same entries). `serverPath` is the library's file.
void RegisterServer(std::string_view serverPath = {});
// Removes every entry RegisterServer records; entries of others stay.
void UnregisterServer();
// A copy of the process's class table.
Registrations RegisteredEntries();

// The class registered under `progId` (ASCII letter case ignored).
std::optional<Guid> ClassIdFromProgId(std::string_view progId);

// Creates an instance of the class registered under `progId` through its class
// factory, as the page engine does for a script. Raises 429 "ActiveX component
// can't create object" when no class of the library is registered under it.
ObjectRef CreateObject(std::string_view progId);

}  // namespace parcelmoor
