/* qelt_parcelmoor: the C interface of the shared library qelt_parcelmoor.so.
 * This header stands alone (C99/C11 or C++); it is all a host needs.
 *
 * The library is an in-process automation server. A host loads it (dlopen),
 * gets objects from a class factory (DllGetClassObject) or by class name
 * (DllRegisterServer once, then QeltCreateObject), and drives them late-bound:
 * GetIDOfName gives a member's dispatch identifier, Invoke calls it with
 * variants. The upload object reads its request body from host objects the
 * host makes itself (below, "Host objects"), reached the same way.
 *
 * References. Every interface pointer is counted: AddRef adds a reference,
 * Release drops one; the last Release frees the object. One object has one
 * pointer: every result naming the same object, and QueryInterface for any
 * interface it answers (IUnknown included), gives the same address, so hosts
 * may compare pointers. An object the host passes in comes back as the
 * host's own pointer.
 *
 * Ownership, in both directions (host calling the library, the library calling
 * host objects):
 *  - Arguments are borrowed: the callee reads them during the call only. To
 *    keep an object it calls AddRef; it copies text and bytes it keeps.
 *  - A result variant and an error record belong to the caller once the call
 *    returns. Invoke clears them first (so pass zero-filled ones, or ones
 *    holding an earlier result) and the caller frees them with
 *    QeltVariantClear and QeltErrorInfoClear. Text, bytes, source and
 *    description are allocated with malloc and freed with free(): a host
 *    object returning bytes mallocs them, and the library frees them.
 *  - The library passes host objects zero-filled results and error records.
 *
 * Threading. Entry points (DllGetClassObject, DllCanUnloadNow,
 * DllRegisterServer, DllUnregisterServer, QeltCreateObject, the factories) may
 * be called from any thread. An object, and every object it hands out, is
 * used on one thread at a time, the one that created it; different objects
 * may be used on different threads at once. Host objects are called on the
 * thread that calls the upload object.
 *
 * No C++ exception leaves the library. Texts are UTF-8 bytes with an explicit
 * length; they may hold NUL bytes and are also NUL-terminated for
 * convenience. */
#ifndef QELT_PARCELMOOR_SERVER_ABI_H
#define QELT_PARCELMOOR_SERVER_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QELT_API __attribute__((visibility("default")))

/* A 128-bit identifier in the component object model's layout. */
#ifndef QELT_GUID_DEFINED
#define QELT_GUID_DEFINED
typedef struct QeltGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} QeltGuid;
#endif

/* ---- Status codes ---------------------------------------------------- */
typedef int32_t QeltHResult;
#define QELT_S_OK ((QeltHResult)0)
#define QELT_S_FALSE ((QeltHResult)1)
#define QELT_E_NOINTERFACE ((QeltHResult)0x80004002u)
#define QELT_E_POINTER ((QeltHResult)0x80004003u)
#define QELT_E_FAIL ((QeltHResult)0x80004005u)
#define QELT_E_OUTOFMEMORY ((QeltHResult)0x8007000Eu)
/* Invoke: the object has no member with this dispatch id and call kind. */
#define QELT_DISP_E_MEMBERNOTFOUND ((QeltHResult)0x80020003u)
/* GetIDOfName: the object has no member of this name. */
#define QELT_DISP_E_UNKNOWNNAME ((QeltHResult)0x80020006u)
/* Invoke: the member raised an error; the error record holds it. */
#define QELT_DISP_E_EXCEPTION ((QeltHResult)0x80020009u)
#define QELT_CLASS_E_NOAGGREGATION ((QeltHResult)0x80040110u)
#define QELT_CLASS_E_CLASSNOTAVAILABLE ((QeltHResult)0x80040111u)
/* QeltCreateObject: no class is registered under the class name. */
#define QELT_CO_E_CLASSSTRING ((QeltHResult)0x800401F3u)
#define QELT_SELFREG_E_CLASS ((QeltHResult)0x80040201u)

/* ---- Identifiers -------------------------------------------------------- */
#define QELT_IID_IUNKNOWN {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}
#define QELT_IID_ICLASSFACTORY {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}
/* The type library qelt_parcelmoor: {2ED867C3-AB0A-47B7-BBF6-23D41503B9DA} */
#define QELT_LIBID_PARCELMOOR {0x2ED867C3, 0xAB0A, 0x47B7, {0xBB, 0xF6, 0x23, 0xD4, 0x15, 0x03, 0xB9, 0xDA}}
/* Class UploadFile: {0C3D734A-5107-47BD-84CE-5D47CD31BC48} */
#define QELT_CLSID_UPLOADFILE {0x0C3D734A, 0x5107, 0x47BD, {0x84, 0xCE, 0x5D, 0x47, 0xCD, 0x31, 0xBC, 0x48}}
/* Class FormItem: {7E13F3EE-89F3-4D5C-B042-1D73D5FB0251} */
#define QELT_CLSID_FORMITEM {0x7E13F3EE, 0x89F3, 0x4D5C, {0xB0, 0x42, 0x1D, 0x73, 0xD5, 0xFB, 0x02, 0x51}}
/* Interface _UploadFile: {DF424253-E321-46A6-8C23-A1B8BF658739} */
#define QELT_IID_UPLOADFILE {0xDF424253, 0xE321, 0x46A6, {0x8C, 0x23, 0xA1, 0xB8, 0xBF, 0x65, 0x87, 0x39}}
/* Interface _FormItem: {327E1B8A-3766-4D95-8382-3608E160E1B2} */
#define QELT_IID_FORMITEM {0x327E1B8A, 0x3766, 0x4D95, {0x83, 0x82, 0x36, 0x08, 0xE1, 0x60, 0xE1, 0xB2}}
/* Class names for QeltCreateObject (letter case ignored). */
#define QELT_PROGID_UPLOADFILE "qelt_parcelmoor.UploadFile"
#define QELT_PROGID_FORMITEM "qelt_parcelmoor.FormItem"

/* ---- Calls and values ---------------------------------------------------- */
/* Call kinds. A script reading a value sends METHOD | PROPERTYGET; the library
 * answers a method read as a property get and the other way round. */
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
  QELT_VT_BOOL = 11,
  QELT_VT_I8 = 20,
  QELT_VT_BYTES = 0x2011 /* an array of unsigned bytes */
};

typedef struct QeltDispatch QeltDispatch;

/* One value; only the fields of its type are meaningful, the others are 0. */
typedef struct QeltVariant {
  int32_t type;       /* QELT_VT_* */
  /* QELT_VT_I4: the value. QELT_VT_BOOL: a 16-bit Boolean, -1 true and 0
   * false; any non-zero value tests true. A value from -32768 to 32767 is
   * kept as passed (a put of 5 reads back 5); any other non-zero value is
   * kept as true (-1). */
  int32_t integer;
  int64_t integer64;  /* QELT_VT_I8 */
  char* text;         /* QELT_VT_TEXT: textLength bytes, then a NUL */
  size_t textLength;
  uint8_t* bytes;     /* QELT_VT_BYTES: byteCount bytes (NULL when 0) */
  size_t byteCount;
  QeltDispatch* object; /* QELT_VT_OBJECT: a counted reference, or NULL for none */
} QeltVariant;

/* A raised error: number, source and description (lengths without the NUL). */
typedef struct QeltErrorInfo {
  int32_t number;
  char* source;
  size_t sourceLength;
  char* description;
  size_t descriptionLength;
} QeltErrorInfo;

typedef struct QeltDispatchVtbl {
  /* IUnknown answers every object; the library's objects also answer their
   * class's interface. `out` receives the same pointer, with a reference. */
  QeltHResult (*QueryInterface)(QeltDispatch* self, const QeltGuid* iid, void** out);
  uint32_t (*AddRef)(QeltDispatch* self);
  /* Dropping the last reference of an upload object runs its termination
   * (stored files of an incomplete upload are deleted); its error, if any,
   * is kept for QeltTakeReleaseError on the calling thread. */
  uint32_t (*Release)(QeltDispatch* self);
  /* The member's dispatch identifier, the name compared without regard to
   * ASCII letter case; QELT_DISP_E_UNKNOWNNAME for a name the object does not
   * have. */
  QeltHResult (*GetIDOfName)(QeltDispatch* self, const char* name, int32_t* dispId);
  /* Calls member `dispId` as `kind` with `argCount` arguments in call order
   * (borrowed). `result` (may be NULL) receives the result, QELT_VT_EMPTY for
   * members without one. A raised error gives QELT_DISP_E_EXCEPTION and fills
   * `error` (may be NULL). QELT_DISP_E_MEMBERNOTFOUND for a dispatch id or
   * kind the object does not answer. */
  QeltHResult (*Invoke)(QeltDispatch* self, int32_t dispId, int32_t kind, const QeltVariant* args,
                        size_t argCount, QeltVariant* result, QeltErrorInfo* error);
} QeltDispatchVtbl;
struct QeltDispatch {
  const QeltDispatchVtbl* vtbl;
};

/* ---- Members of the library's objects ---------------------------------
 * Types: I4 32-bit integer, BOOL Boolean, TEXT text, FORM the Form
 * collection, ITEM a FormItem, CONTEXT a host scripting context, ANY any
 * value. An argument of another type is converted as a script's would be
 * (decimal text or an I8 to I4, raising 6 beyond 32 bits; "True"/"False" to
 * BOOL) or raises 13.
 *
 * UploadFile (_UploadFile)       kind           arguments      result
 *   Form                         get            -              FORM
 *   Form                         putref         FORM           -
 *   storeUploadedFiles           method         -              I4 (1)
 *   OnStartPage                  method         CONTEXT        -
 *   DeleteMaxFile                put / get      BOOL           BOOL
 *   MaxFileSize                  put / get      I4             I4
 *   UploadDirectory              put / get      TEXT           TEXT
 *   UploadAllFilesOrNone         get / put      BOOL           BOOL
 *   MaxFieldSize, MaxParts,
 *   MaxTotalFieldSize            put / get      I4             I4
 *   SkipEmptyFileInputs          put / get      BOOL           BOOL
 *   FileRecords                  get            -              FORM of records
 *   UploadOutcome                get            -              FORM keyed by text
 * FileRecords: a new collection, one entry per file part the body carried,
 * in body order; each entry a collection read by key (Item, TEXT key):
 * Field, ClientPath, FileName, StoredPath (TEXT, "" when nothing is on
 * disk), BytesReceived, BytesStored (I8), Outcome (TEXT: "stored", "cut",
 * "deleted", "failed", "not stored", "no file", "refused", the words of
 * `parcelmoor store --json`), Reason (TEXT, "" for a stored file),
 * Checksum (TEXT: SHA-256 of the kept bytes in lowercase hex, "" unless the
 * host asked for checksums). Read it after storeUploadedFiles: it is a
 * snapshot, and files an incomplete upload loses at the release are not
 * shown so in it.
 * UploadOutcome: what the upload means for its sender, as the `status`,
 * `reason` and `filesStored` of `parcelmoor store --json`, read by key:
 * Status (I4: 200, or the HTTP status of the failure: 400, 409, 413, 422,
 * 500, 507, ...), Reason (TEXT, "" for 200), Word (TEXT: the log's word,
 * e.g. "field-too-large", "incomplete"), FilesStored (I4). Read after
 * storeUploadedFiles and before the release, it already tells what the
 * release leaves: an upload that did not arrive whole keeps no file.
 * A host calls OnStartPage with its scripting context, sets the properties,
 * calls storeUploadedFiles once, reads Form, and releases the object. */
#define QELT_DISPID_UPLOADFILE_FORM 0x40030010
#define QELT_DISPID_UPLOADFILE_STOREUPLOADEDFILES 0x60030004
#define QELT_DISPID_UPLOADFILE_ONSTARTPAGE 0x6003000A
#define QELT_DISPID_UPLOADFILE_DELETEMAXFILE 0x68030003
#define QELT_DISPID_UPLOADFILE_MAXFILESIZE 0x68030002
#define QELT_DISPID_UPLOADFILE_UPLOADDIRECTORY 0x68030001
#define QELT_DISPID_UPLOADFILE_UPLOADALLFILESORNONE 0x68030000
#define QELT_DISPID_UPLOADFILE_MAXFIELDSIZE 0x68030004
#define QELT_DISPID_UPLOADFILE_MAXPARTS 0x68030005
#define QELT_DISPID_UPLOADFILE_SKIPEMPTYFILEINPUTS 0x68030006
#define QELT_DISPID_UPLOADFILE_MAXTOTALFIELDSIZE 0x68030007
#define QELT_DISPID_UPLOADFILE_FILERECORDS 0x68030008
#define QELT_DISPID_UPLOADFILE_UPLOADOUTCOME 0x68030009
/* FormItem (_FormItem), every member a method:
 *   extractCDHeader(TEXT header, FORM collection) -> I4
 *   Name() -> TEXT                 Value() -> FORM of the values (default member)
 *   isMultipleValues() -> BOOL     setValue(TEXT) -> I4      MultipleValues()
 *   isElementFile() -> BOOL        getFileSize() -> I4       setFileSize(I4)
 *   getFileName() -> TEXT          getCompleteFilePath() -> TEXT (the client's path) */
#define QELT_DISPID_FORMITEM_EXTRACTCDHEADER 0x60030001
#define QELT_DISPID_FORMITEM_NAME 0x60030002
#define QELT_DISPID_FORMITEM_VALUE 0
#define QELT_DISPID_FORMITEM_ISMULTIPLEVALUES 0x60030003
#define QELT_DISPID_FORMITEM_SETVALUE 0x60030004
#define QELT_DISPID_FORMITEM_MULTIPLEVALUES 0x60030005
#define QELT_DISPID_FORMITEM_ISELEMENTFILE 0x60030006
#define QELT_DISPID_FORMITEM_GETFILESIZE 0x60030007
#define QELT_DISPID_FORMITEM_SETFILESIZE 0x60030008
#define QELT_DISPID_FORMITEM_GETFILENAME 0x60030009
#define QELT_DISPID_FORMITEM_GETCOMPLETEFILEPATH 0x6003000A
/* The Form collection (also each item's values), every member a method;
 * entries are numbered from 1, keys compare without regard to letter case:
 *   Item(I4 number or TEXT key) -> ANY (default member; an ITEM in Form, a
 *        TEXT or NULL among values); a missing entry raises 5
 *   Add(ANY entry [, TEXT key])      a key already present raises 457
 *   Count() -> I4                    Remove(I4 number) */
#define QELT_DISPID_COLLECTION_ITEM 0
#define QELT_DISPID_COLLECTION_ADD 1
#define QELT_DISPID_COLLECTION_COUNT 2
#define QELT_DISPID_COLLECTION_REMOVE 3

/* ---- Host objects --------------------------------------------------------
 * What OnStartPage needs of the scripting context a host passes: three
 * QeltDispatch objects made by the host, reached by name (GetIDOfName with
 * the names below; a host should compare names without regard to ASCII letter
 * case) and then Invoke with the host's dispatch ids.
 *   context.Request        METHOD|PROPERTYGET  -         OBJECT, the request
 *   context.Response       METHOD|PROPERTYGET  -         OBJECT, the response
 *   request.TotalBytes     METHOD|PROPERTYGET  -         I4 or I8: body length
 *   request.BinaryRead     METHOD              I4 count  BYTES: the next 1 to
 *                          count body bytes; no bytes, or a raised error,
 *                          ends the body
 *   response.Write         METHOD              TEXT      -
 *   response.IsClientConnected METHOD|PROPERTYGET -      BOOL
 * OnStartPage asks for Request and Response (keeping a reference to each
 * result); with no Request the upload object stays unbound and
 * storeUploadedFiles raises 91, with no Response the reading stops after the
 * first chunk, as for a client that has gone. The rest is called by
 * storeUploadedFiles.
 * An error a host object raises (QELT_DISP_E_EXCEPTION) reaches the upload
 * object unchanged; a result of the wrong type counts as error 13, a missing
 * member as 438, any other failed call as 51. An error of TotalBytes leaves
 * storeUploadedFiles as it is; one of BinaryRead or IsClientConnected ends
 * the reading (the upload stays incomplete unless every byte arrived); one of
 * Write is ignored. */
#define QELT_HOST_REQUEST "Request"
#define QELT_HOST_RESPONSE "Response"
#define QELT_HOST_TOTALBYTES "TotalBytes"
#define QELT_HOST_BINARYREAD "BinaryRead"
#define QELT_HOST_WRITE "Write"
#define QELT_HOST_ISCLIENTCONNECTED "IsClientConnected"

/* ---- Error numbers a member may raise ------------------------------------
 * The component's own:
 *   -2147221003 (0x800401F5) storeUploadedFiles without an UploadDirectory
 *   -2147221001 (0x800401F7) a file part without a file name
 *   -20         a target file could not be opened
 *   15001       a file could not be written
 * Only the first leaves storeUploadedFiles; the others stop the parsing of
 * the body and reach the client through response.Write as a notice.
 * The scripting runtime's usual ones (source "qelt_parcelmoor"): 5 invalid
 * procedure call or argument, 6 overflow, 7 out of memory, 13 type mismatch,
 * 51 internal error, 91 object not set, 94 invalid use of Null, 424 object
 * required, 429 cannot create object, 438 no such property or method, 450
 * wrong number of arguments, 457 duplicate key. Errors of host objects pass
 * through with their own numbers. */

/* ---- Class factory and entry points ------------------------------------ */
typedef struct QeltClassFactory QeltClassFactory;
typedef struct QeltClassFactoryVtbl {
  QeltHResult (*QueryInterface)(QeltClassFactory* self, const QeltGuid* iid, void** out);
  uint32_t (*AddRef)(QeltClassFactory* self);
  uint32_t (*Release)(QeltClassFactory* self);
  /* `outer` must be NULL; `iid` is IUnknown or the class's interface; `out`
   * receives a QeltDispatch*. */
  QeltHResult (*CreateInstance)(QeltClassFactory* self, void* outer, const QeltGuid* iid, void** out);
  /* Non-zero locks the library in memory, zero undoes one lock. */
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
/* Records both classes under their class names in the process's class table. */
QELT_API QeltHResult DllRegisterServer(void);
QELT_API QeltHResult DllUnregisterServer(void);
/* A new object of the class registered under `progId` (QELT_PROGID_*,
 * letter case ignored): `out` receives its QeltDispatch*. QELT_CO_E_CLASSSTRING
 * when no class is registered under it (DllRegisterServer not called). */
QELT_API QeltHResult QeltCreateObject(const char* progId, QeltDispatch** out);

QELT_API const QeltLibraryIdentity* qelt_parcelmoor_LibraryIdentity(void);
/* QELT_S_OK and `error` filled when the calling thread's last Release ran a
 * termination that raised (the error is then forgotten), else QELT_S_FALSE.
 * An error not taken before its thread ends is lost. */
QELT_API QeltHResult QeltTakeReleaseError(QeltErrorInfo* error);
/* Frees what a variant owns (text, bytes, an object reference) and leaves it
 * QELT_VT_EMPTY. */
QELT_API void QeltVariantClear(QeltVariant* v);
/* Frees source and description and zero-fills the record. */
QELT_API void QeltErrorInfoClear(QeltErrorInfo* error);

#ifdef __cplusplus
}
#endif

#endif /* QELT_PARCELMOOR_SERVER_ABI_H */
