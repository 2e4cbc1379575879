/* JSON output of the example host. */
#ifndef C_HOST_JSON_OUT_H
#define C_HOST_JSON_OUT_H

#include <stddef.h>

#include "parcelmoor/server_abi.h"

/* A JSON string literal of `n` bytes; each byte outside valid UTF-8 is
 * written as U+FFFD, as `parcelmoor store --json` writes it. */
void PrintJsonString(const char* text, size_t n);
/* {"number","source","description"}, or null when `e` is NULL. */
void PrintJsonError(const QeltErrorInfo* e);

#endif
