/* An example host in plain C11: loads qelt_parcelmoor, offers a request body
 * read from a file through its own scripting context, request and response
 * objects, stores the upload the way a page script does, and prints the
 * outcome as one JSON object (the same one `parcelmoor store --json` prints).
 *
 *   c_host LIBRARY BODYFILE UPLOADDIR [MAXFILESIZE]
 *
 * Exit status: 0 when the upload was processed, 1 when storeUploadedFiles
 * raised an error, 2 for a usage or loading error or a reference left over.
 * Build: cc -std=c11 -I build/include examples/c_host/c_host.c examples/c_host/json_out.c \
 *        examples/c_host/records_out.c -o c_host -ldl */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_calls.h"
#include "json_out.h"
#include "parcelmoor/server_abi.h"

/* ---- The library's entry points, looked up by name ---------------------- */
HostLibrary lib;

static int LoadLibrary(void* handle) {
  *(void**)&lib.registerServer = dlsym(handle, "DllRegisterServer");
  *(void**)&lib.unregisterServer = dlsym(handle, "DllUnregisterServer");
  *(void**)&lib.canUnloadNow = dlsym(handle, "DllCanUnloadNow");
  *(void**)&lib.createObject = dlsym(handle, "QeltCreateObject");
  *(void**)&lib.takeReleaseError = dlsym(handle, "QeltTakeReleaseError");
  *(void**)&lib.variantClear = dlsym(handle, "QeltVariantClear");
  *(void**)&lib.errorClear = dlsym(handle, "QeltErrorInfoClear");
  return lib.registerServer && lib.unregisterServer && lib.canUnloadNow && lib.createObject &&
         lib.takeReleaseError && lib.variantClear && lib.errorClear;
}

/* ---- The host's objects: scripting context, request, response ----------- */
typedef struct Page {
  FILE* body;
  long long totalBytes;
  char* response; /* all text written to the response */
  size_t responseLength;
  QeltDispatch* request;
  QeltDispatch* responseObject;
} Page;

typedef struct HostObject HostObject;
typedef QeltHResult (*HostCall)(HostObject* self, const QeltVariant* args, size_t argCount, QeltVariant* result,
                                QeltErrorInfo* error);
typedef struct HostMember {
  const char* name;
  HostCall call;
} HostMember;

struct HostObject {
  QeltDispatch base; /* first: a HostObject* is a QeltDispatch* */
  uint32_t refs;
  const HostMember* members; /* dispatch id = index + 1; ends with a NULL name */
  Page* page;
};

static char* CopyBytes(const char* s, size_t n) {
  char* copy = malloc(n + 1);
  if (copy) {
    memcpy(copy, s, n);
    copy[n] = '\0';
  }
  return copy;
}

/* Raises an error to the caller: the texts are the caller's to free. */
static QeltHResult Raise(QeltErrorInfo* error, int32_t number, const char* description) {
  if (error) {
    error->number = number;
    error->source = CopyBytes("c_host", 6);
    error->sourceLength = error->source ? 6 : 0;
    error->description = CopyBytes(description, strlen(description));
    error->descriptionLength = error->description ? strlen(description) : 0;
  }
  return QELT_DISP_E_EXCEPTION;
}

static int EqualsIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a + 32) : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b + 32) : *b;
    if (x != y) return 0;
  }
  return *a == *b;
}

static QeltHResult HostQueryInterface(QeltDispatch* self, const QeltGuid* iid, void** out) {
  static const QeltGuid unknown = QELT_IID_IUNKNOWN;
  if (!iid || !out) return QELT_E_POINTER;
  *out = NULL;
  if (memcmp(iid, &unknown, sizeof unknown) != 0) return QELT_E_NOINTERFACE;
  self->vtbl->AddRef(self);
  *out = self;
  return QELT_S_OK;
}

static uint32_t HostAddRef(QeltDispatch* self) { return ++((HostObject*)self)->refs; }

static uint32_t HostRelease(QeltDispatch* self) {
  HostObject* o = (HostObject*)self;
  uint32_t left = --o->refs;
  if (left == 0) free(o);
  return left;
}

static QeltHResult HostGetIDOfName(QeltDispatch* self, const char* name, int32_t* dispId) {
  const HostMember* m = ((HostObject*)self)->members;
  for (int32_t i = 0; m[i].name; ++i) {
    if (EqualsIgnoringCase(m[i].name, name)) {
      *dispId = i + 1;
      return QELT_S_OK;
    }
  }
  return QELT_DISP_E_UNKNOWNNAME;
}

static QeltHResult HostInvoke(QeltDispatch* self, int32_t dispId, int32_t kind, const QeltVariant* args,
                              size_t argCount, QeltVariant* result, QeltErrorInfo* error) {
  HostObject* o = (HostObject*)self;
  int32_t count = 0;
  (void)kind; /* every member here answers a method call and a property get alike */
  while (o->members[count].name) ++count;
  if (dispId < 1 || dispId > count) return QELT_DISP_E_MEMBERNOTFOUND;
  QeltVariant ignored = {0};
  return o->members[dispId - 1].call(o, args, argCount, result ? result : &ignored, error);
}

static const QeltDispatchVtbl kHostVtbl = {HostQueryInterface, HostAddRef, HostRelease, HostGetIDOfName,
                                           HostInvoke};

static QeltDispatch* NewHostObject(const HostMember* members, Page* page) {
  HostObject* o = calloc(1, sizeof *o);
  if (!o) return NULL;
  o->base.vtbl = &kHostVtbl;
  o->refs = 1;
  o->members = members;
  o->page = page;
  return &o->base;
}

static QeltHResult ReturnObject(QeltDispatch* object, QeltVariant* result) {
  object->vtbl->AddRef(object); /* the result is the caller's reference */
  result->type = QELT_VT_OBJECT;
  result->object = object;
  return QELT_S_OK;
}

static QeltHResult ContextRequest(HostObject* self, const QeltVariant* args, size_t argCount, QeltVariant* result,
                                  QeltErrorInfo* error) {
  (void)args, (void)argCount, (void)error;
  return ReturnObject(self->page->request, result);
}

static QeltHResult ContextResponse(HostObject* self, const QeltVariant* args, size_t argCount,
                                   QeltVariant* result, QeltErrorInfo* error) {
  (void)args, (void)argCount, (void)error;
  return ReturnObject(self->page->responseObject, result);
}

static QeltHResult RequestTotalBytes(HostObject* self, const QeltVariant* args, size_t argCount,
                                     QeltVariant* result, QeltErrorInfo* error) {
  (void)args, (void)argCount, (void)error;
  result->type = QELT_VT_I8;
  result->integer64 = self->page->totalBytes;
  return QELT_S_OK;
}

/* The next body bytes, at most as many as asked; none once the body is over. */
static QeltHResult RequestBinaryRead(HostObject* self, const QeltVariant* args, size_t argCount,
                                     QeltVariant* result, QeltErrorInfo* error) {
  if (argCount != 1 || args[0].type != QELT_VT_I4 || args[0].integer < 0) return Raise(error, 13, "Type mismatch");
  size_t asked = (size_t)args[0].integer;
  uint8_t* bytes = asked ? malloc(asked) : NULL;
  if (asked && !bytes) return Raise(error, 7, "Out of memory");
  size_t got = asked ? fread(bytes, 1, asked, self->page->body) : 0;
  if (ferror(self->page->body)) {
    free(bytes);
    return Raise(error, 5, "Read error");
  }
  if (got == 0) {
    free(bytes);
    bytes = NULL;
  }
  result->type = QELT_VT_BYTES;
  result->bytes = bytes;
  result->byteCount = got;
  return QELT_S_OK;
}

static QeltHResult ResponseWrite(HostObject* self, const QeltVariant* args, size_t argCount, QeltVariant* result,
                                 QeltErrorInfo* error) {
  (void)result;
  if (argCount != 1 || args[0].type != QELT_VT_TEXT) return Raise(error, 13, "Type mismatch");
  Page* page = self->page;
  char* grown = realloc(page->response, page->responseLength + args[0].textLength + 1);
  if (!grown) return Raise(error, 7, "Out of memory");
  memcpy(grown + page->responseLength, args[0].text, args[0].textLength);
  page->responseLength += args[0].textLength;
  grown[page->responseLength] = '\0';
  page->response = grown;
  return QELT_S_OK;
}

static QeltHResult ResponseIsClientConnected(HostObject* self, const QeltVariant* args, size_t argCount,
                                             QeltVariant* result, QeltErrorInfo* error) {
  (void)self, (void)args, (void)argCount, (void)error;
  result->type = QELT_VT_BOOL;
  result->integer = -1; /* the body is a file: the client never goes */
  return QELT_S_OK;
}

static const HostMember kContextMembers[] = {
    {QELT_HOST_REQUEST, ContextRequest}, {QELT_HOST_RESPONSE, ContextResponse}, {NULL, NULL}};
static const HostMember kRequestMembers[] = {
    {QELT_HOST_TOTALBYTES, RequestTotalBytes}, {QELT_HOST_BINARYREAD, RequestBinaryRead}, {NULL, NULL}};
static const HostMember kResponseMembers[] = {
    {QELT_HOST_WRITE, ResponseWrite}, {QELT_HOST_ISCLIENTCONNECTED, ResponseIsClientConnected}, {NULL, NULL}};

/* ---- Driving the upload object, as a page script does -------------------- */
int failed;

QeltVariant Call(QeltDispatch* o, int32_t id, int32_t kind, const QeltVariant* args, size_t argCount) {
  QeltVariant result = {0};
  QeltErrorInfo error = {0};
  QeltHResult hr = o->vtbl->Invoke(o, id, kind, args, argCount, &result, &error);
  if (hr != QELT_S_OK) {
    fprintf(stderr, "c_host: call of member %#x failed: %#x %.*s\n", (unsigned)id, (unsigned)hr,
            (int)error.descriptionLength, error.description ? error.description : "");
    failed = 1;
  }
  lib.errorClear(&error);
  return result;
}

QeltVariant Method(QeltDispatch* o, int32_t id) { return Call(o, id, QELT_DISPATCH_METHOD, NULL, 0); }

QeltVariant Index(QeltDispatch* collection, int32_t i) {
  QeltVariant number = {0};
  number.type = QELT_VT_I4;
  number.integer = i;
  return Call(collection, QELT_DISPID_COLLECTION_ITEM, QELT_DISPATCH_METHOD, &number, 1);
}

static void PrintItem(QeltDispatch* item) {
  QeltVariant v = Method(item, QELT_DISPID_FORMITEM_NAME);
  fputs("{\"name\":", stdout);
  PrintJsonString(v.text, v.textLength);
  lib.variantClear(&v);
  fputs(",\"values\":[", stdout);
  QeltVariant values = Method(item, QELT_DISPID_FORMITEM_VALUE);
  if (values.object) {
    v = Method(values.object, QELT_DISPID_COLLECTION_COUNT);
    int32_t count = v.integer;
    for (int32_t i = 1; i <= count; ++i) {
      v = Index(values.object, i);
      if (i > 1) putchar(',');
      if (v.type == QELT_VT_TEXT) PrintJsonString(v.text, v.textLength);
      else fputs("null", stdout);
      lib.variantClear(&v);
    }
  }
  lib.variantClear(&values);
  v = Method(item, QELT_DISPID_FORMITEM_ISMULTIPLEVALUES);
  printf("],\"multipleValues\":%s", v.integer ? "true" : "false");
  v = Method(item, QELT_DISPID_FORMITEM_ISELEMENTFILE);
  printf(",\"isFile\":%s,\"fileName\":", v.integer ? "true" : "false");
  v = Method(item, QELT_DISPID_FORMITEM_GETFILENAME);
  PrintJsonString(v.text, v.textLength);
  lib.variantClear(&v);
  fputs(",\"clientPath\":", stdout);
  v = Method(item, QELT_DISPID_FORMITEM_GETCOMPLETEFILEPATH);
  PrintJsonString(v.text, v.textLength);
  lib.variantClear(&v);
  v = Method(item, QELT_DISPID_FORMITEM_GETFILESIZE);
  printf(",\"fileSize\":%d}", (int)v.integer);
}

/* Runs the page: returns 1 when storeUploadedFiles raised, 3 when the upload
 * stopped (the component then writes its notice to the response: a missing
 * directory, a refused name, a full disk...), else 0, as `parcelmoor store`
 * does, so that a script calling the host sees a failed upload. */
static int RunPage(QeltDispatch* upload, QeltDispatch* context, const char* dir, const char* maxFileSize,
                   Page* page) {
  QeltVariant arg = {0};
  arg.type = QELT_VT_OBJECT;
  arg.object = context;
  Call(upload, QELT_DISPID_UPLOADFILE_ONSTARTPAGE, QELT_DISPATCH_METHOD, &arg, 1);
  arg = (QeltVariant){.type = QELT_VT_TEXT, .text = (char*)dir, .textLength = strlen(dir)};
  Call(upload, QELT_DISPID_UPLOADFILE_UPLOADDIRECTORY, QELT_DISPATCH_PROPERTYPUT, &arg, 1);
  if (maxFileSize) {
    arg = (QeltVariant){.type = QELT_VT_I4, .integer = atoi(maxFileSize)};
    Call(upload, QELT_DISPID_UPLOADFILE_MAXFILESIZE, QELT_DISPATCH_PROPERTYPUT, &arg, 1);
  }

  QeltVariant result = {0};
  QeltErrorInfo error = {0};
  QeltHResult hr = upload->vtbl->Invoke(upload, QELT_DISPID_UPLOADFILE_STOREUPLOADEDFILES, QELT_DISPATCH_METHOD,
                                        NULL, 0, &result, &error);
  int raised = hr == QELT_DISP_E_EXCEPTION;
  if (hr == QELT_S_OK) printf("{\"result\":%d,\"error\":", (int)result.integer);
  else fputs("{\"result\":null,\"error\":", stdout);
  PrintJsonError(raised ? &error : NULL);
  lib.errorClear(&error);
  QeltVariant all = Call(upload, QELT_DISPID_UPLOADFILE_UPLOADALLFILESORNONE,
                         QELT_DISPATCH_METHOD | QELT_DISPATCH_PROPERTYGET, NULL, 0);
  /* The records and the outcome are read before the release, as a script
   * reads them. */
  fputs(",\"files\":", stdout);
  PrintFileRecords(upload);
  PrintUploadOutcome(upload);

  /* Hold every item, as a script that read Form would, then release the
   * upload object: its termination deletes the files of an incomplete upload. */
  QeltVariant form = Call(upload, QELT_DISPID_UPLOADFILE_FORM, QELT_DISPATCH_PROPERTYGET, NULL, 0);
  QeltVariant count = form.object ? Method(form.object, QELT_DISPID_COLLECTION_COUNT) : (QeltVariant){0};
  QeltVariant* items = calloc((size_t)count.integer + 1, sizeof *items);
  for (int32_t i = 0; items && i < count.integer; ++i) items[i] = Index(form.object, i + 1);
  lib.variantClear(&form);
  upload->vtbl->Release(upload);
  QeltErrorInfo releaseError = {0};
  int releaseRaised = lib.takeReleaseError(&releaseError) == QELT_S_OK;

  fputs(",\"response\":", stdout);
  PrintJsonString(page->response ? page->response : "", page->responseLength);
  printf(",\"uploadAllFilesOrNone\":%s,\"form\":[", all.integer ? "true" : "false");
  for (int32_t i = 0; items && i < count.integer; ++i) {
    if (i) putchar(',');
    if (items[i].object) PrintItem(items[i].object);
    lib.variantClear(&items[i]);
  }
  free(items);
  fputs("],\"releaseError\":", stdout);
  PrintJsonError(releaseRaised ? &releaseError : NULL);
  puts("}");
  lib.errorClear(&releaseError);
  if (raised) return 1;
  return page->responseLength > 0 ? 3 : 0;
}

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    fputs("usage: c_host LIBRARY BODYFILE UPLOADDIR [MAXFILESIZE]\n", stderr);
    return 2;
  }
  void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!handle || !LoadLibrary(handle)) {
    fprintf(stderr, "c_host: cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  Page page = {0};
  page.body = fopen(argv[2], "rb");
  if (!page.body || fseek(page.body, 0, SEEK_END) != 0 || (page.totalBytes = ftell(page.body)) < 0 ||
      fseek(page.body, 0, SEEK_SET) != 0) {
    fprintf(stderr, "c_host: cannot read %s\n", argv[2]);
    return 2;
  }
  page.request = NewHostObject(kRequestMembers, &page);
  page.responseObject = NewHostObject(kResponseMembers, &page);
  QeltDispatch* context = NewHostObject(kContextMembers, &page);
  QeltDispatch* upload = NULL;
  if (!page.request || !page.responseObject || !context || lib.registerServer() != QELT_S_OK ||
      lib.createObject(QELT_PROGID_UPLOADFILE, &upload) != QELT_S_OK) {
    fputs("c_host: cannot create the upload object\n", stderr);
    return 2;
  }

  int raised = RunPage(upload, context, argv[3], argc == 5 ? argv[4] : NULL, &page);

  /* Every reference the library took is back: the host objects go now. */
  if (context->vtbl->Release(context) + page.request->vtbl->Release(page.request) +
          page.responseObject->vtbl->Release(page.responseObject) != 0) {
    fputs("c_host: the library kept a reference to a host object\n", stderr);
    failed = 1;
  }
  free(page.response);
  fclose(page.body);
  lib.unregisterServer();
  if (lib.canUnloadNow() != QELT_S_OK) {
    fputs("c_host: the library still holds objects\n", stderr);
    failed = 1;
  }
  dlclose(handle);
  return failed ? 2 : raised;
}
