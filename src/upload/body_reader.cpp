#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr const char* kAbortNotice =
    "<br><br><b>Error occured during file i/o. please verify "
    "file path, disk space availability, file path "
    "permissions and try again.<b><br><br> ";

}  // namespace

void UploadFile::readRequestBody() {
  if (!objRequest) {
    RaiseRuntimeError(errnum::kObjectNotSet);
  }
  // 64-bit: bodies past 2 GiB must still count down to exactly 0.
  int64_t lRemaining = objRequest->TotalBytes();
  lChunkPos = 0;
  hFile = -1;

  // A failing step inside the loop leaves a pending error and execution goes
  // on; the pending error is examined at fixed points below.
  std::optional<RaisedError> pending;
  auto keepPending = [&pending] { pending = CurrentExceptionAsRaisedError(); };

  if (!abChunk) abChunk = std::make_unique<uint8_t[]>(kRequestSize);
  int32_t received = 0;  // bytes in abChunk; a failed read keeps the previous chunk

  for (;;) {
    lChunkLength = kRequestSize;
    try {
      received = static_cast<int32_t>(objRequest->BinaryRead(abChunk.get(), static_cast<size_t>(lChunkLength)));
    } catch (...) {
      keepPending();
    }
    lChunkLength = received;
    // The read after the last chunk fails: the normal end of the loop.
    if (pending) {
      pending.reset();
      break;
    }

    bool connected = false;
    try {
      if (!objResponse) {
        RaiseRuntimeError(errnum::kObjectNotSet);
      }
      connected = objResponse->IsClientConnected();
    } catch (...) {
      keepPending();
    }
    if (!connected) {
      if (hFile != -1) abandonUploadFile();
      break;
    }

    lRemaining -= lChunkLength;
    lChunkPos = 0;
    if (!bAbort) {
      try {
        if (processChunk() == -1) bAbort = kTrue;
      } catch (...) {
        keepPending();
        lastParseFailure_ = *pending;
        bAbort = kTrue;
      }
    }
  }

  if (bAbort) {
    try {
      if (!objResponse) {
        RaiseRuntimeError(errnum::kObjectNotSet);
      }
      objResponse->Write(kAbortNotice);
    } catch (...) {
      keepPending();
    }
    if (pending) {
      try {
        if (objResponse) {
          objResponse->Write("Error Number/Description --> " + std::to_string(pending->number()) + "/" +
                             pending->description());
        }
      } catch (...) {
      }
    }
  }
  if (lRemaining == 0) bUploadAllFilesOrNone = kFalse;
}

}  // namespace parcelmoor
