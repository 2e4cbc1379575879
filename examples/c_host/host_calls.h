/* What the example host's parts share: the library's entry points, looked
 * up by name, and calls of an object's members that note a failure. */
#ifndef C_HOST_HOST_CALLS_H
#define C_HOST_HOST_CALLS_H

#include <stddef.h>
#include <stdint.h>

#include "parcelmoor/server_abi.h"

typedef struct HostLibrary {
  QeltHResult (*registerServer)(void);
  QeltHResult (*unregisterServer)(void);
  QeltHResult (*canUnloadNow)(void);
  QeltHResult (*createObject)(const char*, QeltDispatch**);
  QeltHResult (*takeReleaseError)(QeltErrorInfo*);
  void (*variantClear)(QeltVariant*);
  void (*errorClear)(QeltErrorInfo*);
} HostLibrary;
extern HostLibrary lib;

/* Set when a call that should not fail did (the exit status says so). */
extern int failed;

/* Invokes member `id` of `o` and returns its result (owned by the caller). */
QeltVariant Call(QeltDispatch* o, int32_t id, int32_t kind, const QeltVariant* args, size_t argCount);
QeltVariant Method(QeltDispatch* o, int32_t id);
/* Entry `i` (from 1) of a collection. */
QeltVariant Index(QeltDispatch* collection, int32_t i);

/* The upload object's FileRecords, read by name, printed as the "files"
 * list of `parcelmoor store --json` (records_out.c). */
void PrintFileRecords(QeltDispatch* upload);
/* The upload object's UploadOutcome, read by name, printed as the "status",
 * "filesStored" and "reason" of `parcelmoor store --json`, each after a comma
 * (records_out.c). */
void PrintUploadOutcome(QeltDispatch* upload);

#endif
