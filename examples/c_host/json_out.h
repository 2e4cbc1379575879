/* JSON output of the example host. */
#ifndef C_HOST_JSON_OUT_H
#define C_HOST_JSON_OUT_H

#include <stddef.h>

#include "parcelmoor/server_abi.h"

/* A JSON string literal of `n` bytes; bytes outside valid UTF-8 are written
 * as \udc80 to \udcff, so a reader gets the exact bytes back. */
void PrintJsonString(const char* text, size_t n);
/* {"number","source","description"}, or null when `e` is NULL. */
void PrintJsonError(const QeltErrorInfo* e);

#endif
