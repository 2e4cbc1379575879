/* The C interface of the shared library qelt_parcelmoor: the four entry points
 * of an in-process server, the class factory and the late-bound object
 * interface they hand out, and the library's identity. Every interface pointer
 * is counted: AddRef adds a reference, Release drops one. No C++ exception
 * leaves the library. Texts are UTF-8 with an explicit length. */
#ifndef QELT_PARCELMOOR_SERVER_ABI_H
#define QELT_PARCELMOOR_SERVER_ABI_H

#include <stddef.h>
#include <stdint.h>

#include "runtime/guid.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QELT_API __attribute__((visibility("default")))

typedef int32_t QeltHResult;
#define QELT_S_OK ((QeltHResult)0)
#define QELT_S_FALSE ((QeltHResult)1)
#define QELT_E_NOINTERFACE ((QeltHResult)0x80004002u)
#define QELT_E_POINTER ((QeltHResult)0x80004003u)
#define QELT_E_FAIL ((QeltHResult)0x80004005u)
#define QELT_E_OUTOFMEMORY ((QeltHResult)0x8007000Eu)
#define QELT_DISP_E_MEMBERNOTFOUND ((QeltHResult)0x80020003u)
#define QELT_DISP_E_UNKNOWNNAME ((QeltHResult)0x80020006u)
#define QELT_DISP_E_EXCEPTION ((QeltHResult)0x80020009u)
#define QELT_CLASS_E_NOAGGREGATION ((QeltHResult)0x80040110u)
#define QELT_CLASS_E_CLASSNOTAVAILABLE ((QeltHResult)0x80040111u)
#define QELT_SELFREG_E_CLASS ((QeltHResult)0x80040201u)

/* Interface identifiers of the component object model's base interfaces. */
#define QELT_IID_IUNKNOWN {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}
#define QELT_IID_ICLASSFACTORY {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}

/* Call kinds, as the dispatch interface numbers them. */
enum {
  QELT_DISPATCH_METHOD = 1,
  QELT_DISPATCH_PROPERTYGET = 2,
  QELT_DISPATCH_PROPERTYPUT = 4,
  QELT_DISPATCH_PROPERTYPUTREF = 8
};

/* Variant types, numbered as automation numbers them. */
enum {
  QELT_VT_EMPTY = 0,
  QELT_VT_NULL = 1,
  QELT_VT_I4 = 3,
  QELT_VT_TEXT = 8,
  QELT_VT_OBJECT = 9,
  QELT_VT_BOOL = 11
};

typedef struct QeltDispatch QeltDispatch;

typedef struct QeltVariant {
  int32_t type;     /* QELT_VT_* */
  int32_t integer;  /* QELT_VT_I4 value; QELT_VT_BOOL value (-1 true, 0 false, or as passed) */
  char* text;       /* QELT_VT_TEXT: bytes, not necessarily NUL-free */
  size_t textLength;
  QeltDispatch* object; /* QELT_VT_OBJECT: a counted reference, or NULL for none */
} QeltVariant;

/* A raised error: number, source and description. */
typedef struct QeltErrorInfo {
  int32_t number;
  char* source;
  char* description;
} QeltErrorInfo;

typedef struct QeltDispatchVtbl {
  QeltHResult (*QueryInterface)(QeltDispatch* self, const QeltGuid* iid, void** out);
  uint32_t (*AddRef)(QeltDispatch* self);
  /* Dropping the last reference of an upload object runs its termination; its
   * error, if any, is kept for QeltTakeReleaseError on the calling thread. */
  uint32_t (*Release)(QeltDispatch* self);
  /* QELT_DISP_E_UNKNOWNNAME for a name the object does not have. */
  QeltHResult (*GetIDOfName)(QeltDispatch* self, const char* name, int32_t* dispId);
  /* Arguments in call order, read only. `result` (may be NULL) receives the
   * result, to be freed with QeltVariantClear. A raised error gives
   * QELT_DISP_E_EXCEPTION and fills `error` (may be NULL), to be freed with
   * QeltErrorInfoClear. */
  QeltHResult (*Invoke)(QeltDispatch* self, int32_t dispId, int32_t kind, const QeltVariant* args,
                        size_t argCount, QeltVariant* result, QeltErrorInfo* error);
} QeltDispatchVtbl;
struct QeltDispatch {
  const QeltDispatchVtbl* vtbl;
};

typedef struct QeltClassFactory QeltClassFactory;
typedef struct QeltClassFactoryVtbl {
  QeltHResult (*QueryInterface)(QeltClassFactory* self, const QeltGuid* iid, void** out);
  uint32_t (*AddRef)(QeltClassFactory* self);
  uint32_t (*Release)(QeltClassFactory* self);
  /* `outer` must be NULL; `iid` is IUnknown or the class's interface; `out`
   * receives a QeltDispatch*. */
  QeltHResult (*CreateInstance)(QeltClassFactory* self, void* outer, const QeltGuid* iid, void** out);
  QeltHResult (*LockServer)(QeltClassFactory* self, int32_t lock);
} QeltClassFactoryVtbl;
struct QeltClassFactory {
  const QeltClassFactoryVtbl* vtbl;
};

typedef struct QeltLibraryIdentity {
  const char* name;
  uint16_t versionMajor;
  uint16_t versionMinor;
  uint32_t locale;
  const char* fileName;
  const char* fileVersion;
  const char* productVersion;
  const char* internalName;
  const char* fileDescription;
  QeltGuid libraryId;
} QeltLibraryIdentity;

/* `iid` is IUnknown or IClassFactory; `out` receives a QeltClassFactory*. */
QELT_API QeltHResult DllGetClassObject(const QeltGuid* classId, const QeltGuid* iid, void** out);
/* QELT_S_OK when no object or factory is alive and no lock is held, else QELT_S_FALSE. */
QELT_API QeltHResult DllCanUnloadNow(void);
QELT_API QeltHResult DllRegisterServer(void);
QELT_API QeltHResult DllUnregisterServer(void);

QELT_API const QeltLibraryIdentity* qelt_parcelmoor_LibraryIdentity(void);
/* QELT_S_OK and `error` filled when the calling thread's last Release ran a
 * termination that raised (the error is then forgotten), else QELT_S_FALSE. */
QELT_API QeltHResult QeltTakeReleaseError(QeltErrorInfo* error);
QELT_API void QeltVariantClear(QeltVariant* v);
QELT_API void QeltErrorInfoClear(QeltErrorInfo* error);

#ifdef __cplusplus
}
#endif

#endif /* QELT_PARCELMOOR_SERVER_ABI_H */
