#pragma once
// How much of a request an answer repeats. An answer (and the report handed
// to an application) lists what the form carried, but never grows with the
// body: each text is shown up to kShownTextBytes, and the lists stop before
// the answer reaches kAnswerBytes, each with a flag saying it was cut.
// store's local listing is the exception (PageResultToWholeJson): the limits
// the caller set bound it.

#include <cstddef>
#include <string>

#include "host/json_text.h"

namespace parcelmoor {

// The most of each field value, name or notice an answer shows.
inline constexpr size_t kShownTextBytes = 4 * 1024;
// Every answer body stays under this, whatever the request.
inline constexpr size_t kAnswerBytes = 1024 * 1024;
// The form's items are listed while the answer is below this; the rest of
// the room goes to the file records, which applications need to find files.
inline constexpr size_t kFormListBytes = 256 * 1024;
// Room kept for one file record (four names of at most a header line, each
// escaped and in Base64) and the answer's end.
inline constexpr size_t kRecordRoom = 96 * 1024;

// True when the request was stopped because a text field (or the fields
// together) grew past a limit: the form's last item is that field, whose
// value answers do not repeat, since the client knows it and it is the
// largest thing in the request.
inline bool StoppedInLastField(int status, const std::string& word) {
  return status == 413 && word.find("field") != std::string::npos;
}

// Cuts `text` to kShownTextBytes (never inside a character). True when it
// was longer.
inline bool CutForAnswer(std::string& text) {
  if (text.size() <= kShownTextBytes) return false;
  text.resize(CutText(text, kShownTextBytes).size());
  text.shrink_to_fit();
  return true;
}

}  // namespace parcelmoor
