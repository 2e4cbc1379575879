// The C interface's rules at its boundary, seen by a host through the shared
// library: a scripting context made by the host, Booleans, one pointer per
// object, creation by class name, members the object lacks.
#include <cstring>
#include <memory>
#include <string>

#include "component/server_library.h"

namespace parcelmoor {
namespace {

QeltVariant Of(int32_t type, int32_t integer = 0) {
  QeltVariant v{};
  v.type = type;
  v.integer = integer;
  return v;
}

QeltVariant Long(int64_t n) {
  QeltVariant v = Of(QELT_VT_I8);
  v.integer64 = n;
  return v;
}

QeltVariant Object(QeltDispatch* object) {
  QeltVariant v = Of(QELT_VT_OBJECT);
  v.object = object;
  return v;
}

// A page's host objects serving `body` whole, as a page engine does.
struct Host {
  explicit Host(std::string body);
  ~Host() {
    for (HostObject* o : {context, request, response}) o->vtbl->Release(o);
  }
  HostObject* context = new HostObject;
  HostObject* request = new HostObject;
  HostObject* response = new HostObject;
  std::shared_ptr<std::string> unread;
};

Host::Host(std::string body) : unread(std::make_shared<std::string>(std::move(body))) {
  context->Set("Request", Answer(Object(request))).Set("Response", Answer(Object(response)));
  request->Set("TotalBytes", Answer(Long(static_cast<int64_t>(unread->size()))));
  request->Set("BinaryRead", [unread = unread](const QeltVariant* args, size_t, QeltVariant* result, QeltErrorInfo*) {
    size_t n = std::min(unread->size(), static_cast<size_t>(args[0].integer));
    *result = Of(QELT_VT_BYTES);
    result->bytes = n ? static_cast<uint8_t*>(std::malloc(n)) : nullptr;
    if (n) std::memcpy(result->bytes, unread->data(), n);
    result->byteCount = n;
    unread->erase(0, n);
    return QELT_S_OK;
  });
  response->Set("Write", [](const QeltVariant*, size_t, QeltVariant*, QeltErrorInfo*) { return QELT_S_OK; });
  response->Set("isclientconnected", Answer(Of(QELT_VT_BOOL, -1)));
}

constexpr char kBody[] = "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--b--\r\n";

class HostBoundary : public ServerLibrary {
 protected:
  QeltHResult Call(QeltDispatch* o, int32_t id, int32_t kind, QeltVariant arg = {}, QeltVariant* result = nullptr,
                   QeltErrorInfo* error = nullptr) {
    return o->vtbl->Invoke(o, id, kind, &arg, arg.type == QELT_VT_EMPTY ? 0 : 1, result, error);
  }
  QeltVariant Get(QeltDispatch* o, int32_t id) {
    QeltVariant got{};
    EXPECT_EQ(Call(o, id, QELT_DISPATCH_PROPERTYGET, {}, &got), QELT_S_OK);
    return got;
  }
  QeltDispatch* NewUpload() {
    QeltDispatch* upload = nullptr;
    EXPECT_EQ(registerServer(), QELT_S_OK);
    EXPECT_EQ(createObject(QELT_PROGID_UPLOADFILE, &upload), QELT_S_OK);
    return upload;
  }
};

// What reaches the upload object from a host's context, request and response.
TEST_F(HostBoundary, HostObjectsAreDrivenByName) {
  const std::string noLength("no\0length", 9);
  struct Row {
    const char* what;
    std::function<void(Host&)> change;
    QeltHResult status;  // of storeUploadedFiles
    int32_t error;       // its error number
    int32_t allOrNone;   // UploadAllFilesOrNone after it
    int32_t items;       // in Form
  } rows[] = {
      {"served whole", [](Host&) {}, QELT_S_OK, 0, 0, 1},
      // Cut to 32 bits, the length would match the body: the upload would count as whole.
      {"TotalBytes past 4 GiB",
       [](Host& h) { h.request->Set("TotalBytes", Answer(Long((1LL << 32) + sizeof kBody - 1))); }, QELT_S_OK, 0, -1,
       1},
      {"TotalBytes raises", [&](Host& h) { h.request->Set("TotalBytes", Raising(31337, "host", noLength)); },
       QELT_DISP_E_EXCEPTION, 31337, -1, 0},
      {"TotalBytes answers text", [](Host& h) { h.request->Set("TotalBytes", Answer(Of(QELT_VT_TEXT))); },
       QELT_DISP_E_EXCEPTION, 13, -1, 0},
      {"no TotalBytes", [](Host& h) { h.request->Remove("TotalBytes"); }, QELT_DISP_E_EXCEPTION, 438, -1, 0},
      {"no Request", [](Host& h) { h.context->Remove("Request"); }, QELT_DISP_E_EXCEPTION, 91, -1, 0},
      {"BinaryRead raises", [](Host& h) { h.request->Set("BinaryRead", Raising(5, "host", "gone")); }, QELT_S_OK, 0, -1,
       0},
      {"BinaryRead answers a number", [](Host& h) { h.request->Set("BinaryRead", Answer(Of(QELT_VT_I4, 7))); },
       QELT_S_OK, 0, -1, 0},
      {"IsClientConnected answers an object",
       [](Host& h) { h.response->Set("IsClientConnected", Answer(Object(h.context))); }, QELT_S_OK, 0, -1, 0},
  };
  char dir[] = "/tmp/parcelmoor-boundary-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Host host(kBody);
    row.change(host);
    QeltDispatch* upload = NewUpload();
    ASSERT_NE(upload, nullptr);
    QeltVariant text = Of(QELT_VT_TEXT);
    text.text = dir;
    text.textLength = std::strlen(dir);
    ASSERT_EQ(Call(upload, QELT_DISPID_UPLOADFILE_ONSTARTPAGE, QELT_DISPATCH_METHOD, Object(host.context)), QELT_S_OK);
    ASSERT_EQ(Call(upload, QELT_DISPID_UPLOADFILE_UPLOADDIRECTORY, QELT_DISPATCH_PROPERTYPUT, text), QELT_S_OK);
    QeltErrorInfo error{};
    EXPECT_EQ(Call(upload, QELT_DISPID_UPLOADFILE_STOREUPLOADEDFILES, QELT_DISPATCH_METHOD, {}, nullptr, &error),
              row.status);
    EXPECT_EQ(error.number, row.error);
    if (row.error == 31337) {  // a host's error crosses whole
      EXPECT_EQ(std::string(error.source, error.sourceLength), "host");
      EXPECT_EQ(std::string(error.description, error.descriptionLength), noLength);
    }
    errorClear(&error);
    EXPECT_EQ(Get(upload, QELT_DISPID_UPLOADFILE_UPLOADALLFILESORNONE).integer, row.allOrNone);
    QeltVariant form = Get(upload, QELT_DISPID_UPLOADFILE_FORM);
    EXPECT_EQ(Get(form.object, QELT_DISPID_COLLECTION_COUNT).integer, row.items);
    variantClear(&form);
    EXPECT_EQ(upload->vtbl->Release(upload), 0u);
    // Every reference the library took on the host's objects is back.
    for (HostObject* o : {host.context, host.request, host.response}) EXPECT_EQ(o->refs, 1u);
  }
  rmdir(dir);
  EXPECT_EQ(canUnloadNow(), QELT_S_OK);
}

// Puts read back as passed: a Boolean as given (one wider than 16 bits as
// true), a 64-bit integer within 32 bits; beyond, 6; bytes are no number, 13.
TEST_F(HostBoundary, PutsReadBackAsPassed) {
  QeltDispatch* upload = NewUpload();
  ASSERT_NE(upload, nullptr);
  const QeltVariant bytes = Of(QELT_VT_BYTES);
  const struct {
    int32_t member;
    QeltVariant put;
    int32_t error;  // raised by the put; 0: none
    int32_t type, get;
  } rows[] = {
      {QELT_DISPID_UPLOADFILE_DELETEMAXFILE, Of(QELT_VT_BOOL, 5), 0, QELT_VT_BOOL, 5},
      {QELT_DISPID_UPLOADFILE_DELETEMAXFILE, Of(QELT_VT_BOOL, 0), 0, QELT_VT_BOOL, 0},
      {QELT_DISPID_UPLOADFILE_DELETEMAXFILE, Of(QELT_VT_BOOL, -32768), 0, QELT_VT_BOOL, -32768},
      {QELT_DISPID_UPLOADFILE_DELETEMAXFILE, Of(QELT_VT_BOOL, 0x10000), 0, QELT_VT_BOOL, -1},
      {QELT_DISPID_UPLOADFILE_DELETEMAXFILE, Of(QELT_VT_BOOL, INT32_MIN), 0, QELT_VT_BOOL, -1},
      {QELT_DISPID_UPLOADFILE_MAXFILESIZE, Long(-2147483648LL), 0, QELT_VT_I4, INT32_MIN},
      {QELT_DISPID_UPLOADFILE_MAXFILESIZE, Long(1LL << 31), 6, QELT_VT_I4, INT32_MIN},
      {QELT_DISPID_UPLOADFILE_MAXFILESIZE, bytes, 13, QELT_VT_I4, INT32_MIN},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.put.type << " " << row.put.integer << " " << row.put.integer64);
    QeltErrorInfo error{};
    Call(upload, row.member, QELT_DISPATCH_PROPERTYPUT, row.put, nullptr, &error);
    EXPECT_EQ(error.number, row.error);
    errorClear(&error);
    QeltVariant got = Get(upload, row.member);
    EXPECT_EQ(got.type, row.type);
    EXPECT_EQ(got.integer, row.get);
  }
  upload->vtbl->Release(upload);
}

// One object, one pointer: results, QueryInterface and a host's own objects
// passed in and read back. A result variant passed again is cleared first.
TEST_F(HostBoundary, OnePointerPerObject) {
  static const QeltGuid kIUnknown = QELT_IID_IUNKNOWN;
  QeltDispatch* upload = NewUpload();
  ASSERT_NE(upload, nullptr);
  QeltVariant form = Get(upload, QELT_DISPID_UPLOADFILE_FORM);
  QeltVariant again{};
  ASSERT_EQ(Call(upload, QELT_DISPID_UPLOADFILE_FORM, QELT_DISPATCH_PROPERTYGET, {}, &again), QELT_S_OK);
  ASSERT_EQ(Call(upload, QELT_DISPID_UPLOADFILE_FORM, QELT_DISPATCH_PROPERTYGET, {}, &again), QELT_S_OK);
  EXPECT_EQ(again.object, form.object);
  void* unknown = nullptr;
  ASSERT_EQ(form.object->vtbl->QueryInterface(form.object, &kIUnknown, &unknown), QELT_S_OK);
  EXPECT_EQ(unknown, form.object);
  form.object->vtbl->Release(form.object);

  auto* hosts = new HostObject;
  ASSERT_EQ(Call(form.object, QELT_DISPID_COLLECTION_ADD, QELT_DISPATCH_METHOD, Object(hosts)), QELT_S_OK);
  QeltVariant back{};
  ASSERT_EQ(Call(form.object, QELT_DISPID_COLLECTION_ITEM, QELT_DISPATCH_METHOD, Of(QELT_VT_I4, 1), &back), QELT_S_OK);
  EXPECT_EQ(back.object, hosts);
  // Not a collection: Form refuses it.
  QeltErrorInfo error{};
  EXPECT_EQ(Call(upload, QELT_DISPID_UPLOADFILE_FORM, QELT_DISPATCH_PROPERTYPUTREF, Object(hosts), nullptr, &error),
            QELT_DISP_E_EXCEPTION);
  EXPECT_EQ(error.number, 13);
  errorClear(&error);
  EXPECT_EQ(Call(form.object, QELT_DISPID_COLLECTION_REMOVE, QELT_DISPATCH_METHOD, Of(QELT_VT_I4, 1)), QELT_S_OK);
  for (QeltVariant* v : {&back, &again, &form}) variantClear(v);
  EXPECT_EQ(upload->vtbl->Release(upload), 0u);
  EXPECT_EQ(hosts->vtbl->Release(hosts), 0u);
  EXPECT_EQ(canUnloadNow(), QELT_S_OK);  // the reused result was cleared
}

// Creation by class name (letter case ignored) once the library is registered.
TEST_F(HostBoundary, CreationByClassName) {
  static const QeltGuid kFormItem = QELT_IID_FORMITEM;
  const struct {
    bool registered;
    const char* progId;
    QeltHResult status;
  } rows[] = {{false, QELT_PROGID_UPLOADFILE, QELT_CO_E_CLASSSTRING},
              {true, "QELT_PARCELMOOR.formitem", QELT_S_OK},
              {true, "qelt_parcelmoor.Nothing", QELT_CO_E_CLASSSTRING}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.progId);
    EXPECT_EQ(row.registered ? registerServer() : unregisterServer(), QELT_S_OK);
    QeltDispatch* made = nullptr;
    EXPECT_EQ(createObject(row.progId, &made), row.status);
    if (!made) continue;
    void* item = nullptr;
    EXPECT_EQ(made->vtbl->QueryInterface(made, &kFormItem, &item), QELT_S_OK);
    EXPECT_EQ(made->vtbl->Release(made), 1u);
    made->vtbl->Release(made);
  }
  unregisterServer();
}

// Members as the header publishes them; a call no member answers.
TEST_F(HostBoundary, MembersAsPublished) {
  QeltDispatch* upload = NewUpload();
  ASSERT_NE(upload, nullptr);
  const std::pair<const char*, int32_t> published[] = {
      {"form", QELT_DISPID_UPLOADFILE_FORM},
      {"storeUploadedFiles", QELT_DISPID_UPLOADFILE_STOREUPLOADEDFILES},
      {"OnStartPage", QELT_DISPID_UPLOADFILE_ONSTARTPAGE},
      {"DeleteMaxFile", QELT_DISPID_UPLOADFILE_DELETEMAXFILE},
      {"MaxFileSize", QELT_DISPID_UPLOADFILE_MAXFILESIZE},
      {"UploadDirectory", QELT_DISPID_UPLOADFILE_UPLOADDIRECTORY},
      {"UploadAllFilesOrNone", QELT_DISPID_UPLOADFILE_UPLOADALLFILESORNONE}};
  for (const auto& [name, id] : published) EXPECT_EQ(Id(upload, name), id) << name;
  EXPECT_EQ(Call(upload, 0x1234, QELT_DISPATCH_METHOD), QELT_DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Call(upload, QELT_DISPID_UPLOADFILE_FORM, QELT_DISPATCH_PROPERTYPUT, Of(QELT_VT_NULL)),
            QELT_DISP_E_MEMBERNOTFOUND);
  upload->vtbl->Release(upload);
  unregisterServer();
}

// Taking a release error leaves nothing that keeps dlclose from unloading.
TEST(ServerLibraryUnload, DlcloseUnloadsAfterTakingAReleaseError) {
  void* handle = dlopen(QELT_PARCELMOOR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  auto take = reinterpret_cast<decltype(&QeltTakeReleaseError)>(dlsym(handle, "QeltTakeReleaseError"));
  ASSERT_NE(take, nullptr);
  EXPECT_EQ(take(nullptr), QELT_S_FALSE);
  dlclose(handle);
  EXPECT_EQ(dlopen(QELT_PARCELMOOR_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
}  // namespace parcelmoor
