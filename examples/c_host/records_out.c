/* The upload object's file records and outcome as the example host prints
 * them: read by name through FileRecords and UploadOutcome, written as
 * `parcelmoor store --json` writes its "files" (their text fields; the
 * Base64 copies and the error record are left to the hosts), "status",
 * "filesStored" and "reason". */
#include <stdio.h>
#include <string.h>

#include "host_calls.h"
#include "json_out.h"

/* The value of `record` under `key` (Item by text key). */
static QeltVariant Field(QeltDispatch* record, const char* key) {
  QeltVariant arg = {.type = QELT_VT_TEXT, .text = (char*)key, .textLength = strlen(key)};
  return Call(record, QELT_DISPID_COLLECTION_ITEM, QELT_DISPATCH_METHOD, &arg, 1);
}

/* A text field as JSON: null when empty and `emptyIsNull`. */
static void PrintTextField(QeltDispatch* record, const char* key, const char* name, int emptyIsNull) {
  QeltVariant v = Field(record, key);
  printf(",\"%s\":", name);
  if (v.type != QELT_VT_TEXT || (emptyIsNull && v.textLength == 0)) fputs("null", stdout);
  else PrintJsonString(v.text, v.textLength);
  lib.variantClear(&v);
}

void PrintFileRecords(QeltDispatch* upload) {
  int32_t id = 0;
  fputs("[", stdout);
  if (upload->vtbl->GetIDOfName(upload, "FileRecords", &id) != QELT_S_OK) {
    failed = 1;
    fputs("]", stdout);
    return;
  }
  QeltVariant records = Call(upload, id, QELT_DISPATCH_PROPERTYGET, NULL, 0);
  QeltVariant count = records.object ? Method(records.object, QELT_DISPID_COLLECTION_COUNT) : (QeltVariant){0};
  for (int32_t i = 1; i <= count.integer; ++i) {
    QeltVariant record = Index(records.object, i);
    if (i > 1) putchar(',');
    QeltVariant v = Field(record.object, "Field");
    fputs("{\"field\":", stdout);
    PrintJsonString(v.text, v.textLength);
    lib.variantClear(&v);
    PrintTextField(record.object, "ClientPath", "clientPath", 0);
    PrintTextField(record.object, "FileName", "fileName", 0);
    PrintTextField(record.object, "StoredPath", "storedPath", 1);
    v = Field(record.object, "BytesReceived");
    printf(",\"bytesReceived\":%lld", (long long)v.integer64);
    v = Field(record.object, "BytesStored");
    printf(",\"bytesStored\":%lld", (long long)v.integer64);
    PrintTextField(record.object, "Outcome", "outcome", 0);
    PrintTextField(record.object, "Reason", "reason", 1);
    putchar('}');
    lib.variantClear(&record);
  }
  lib.variantClear(&records);
  fputs("]", stdout);
}

void PrintUploadOutcome(QeltDispatch* upload) {
  int32_t id = 0;
  if (upload->vtbl->GetIDOfName(upload, "UploadOutcome", &id) != QELT_S_OK) {
    failed = 1;
    return;
  }
  QeltVariant outcome = Call(upload, id, QELT_DISPATCH_PROPERTYGET, NULL, 0);
  if (!outcome.object) return;
  QeltVariant v = Field(outcome.object, "Status");
  printf(",\"status\":%d", (int)v.integer);
  v = Field(outcome.object, "FilesStored");
  printf(",\"filesStored\":%d", (int)v.integer);
  PrintTextField(outcome.object, "Reason", "reason", 1);
  lib.variantClear(&outcome);
}
