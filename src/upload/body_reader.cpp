#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr const char* kAbortNotice =
    "<br><br><b>Error occured during file i/o. please verify "
    "file path, disk space availability, file path "
    "permissions and try again.<b><br><br> ";

std::span<const uint8_t> ChunkBuffer(const std::unique_ptr<uint8_t[]>& buffer) {
  return {buffer.get(), static_cast<size_t>(UploadFile::kRequestSize)};
}

// Lends the writer both chunk buffers for the reading loop, and takes them
// back however the loop ends, so that no side thread outlives them.
class ChunkBuffersLent {
 public:
  ChunkBuffersLent(UploadFileWriter& writer, std::span<const uint8_t> first, std::span<const uint8_t> second)
      : writer_(writer), first_(first), second_(second) {
    writer_.setReadBuffers(first_, second_);
  }
  ~ChunkBuffersLent() {
    writer_.releaseBuffer(first_);
    writer_.releaseBuffer(second_);
    writer_.setReadBuffers({}, {});
  }
  ChunkBuffersLent(const ChunkBuffersLent&) = delete;
  ChunkBuffersLent& operator=(const ChunkBuffersLent&) = delete;

 private:
  UploadFileWriter& writer_;
  std::span<const uint8_t> first_;
  std::span<const uint8_t> second_;
};

}  // namespace

void UploadFile::readRequestBody() {
  if (!body_.objRequest) {
    RaiseRuntimeError(errnum::kObjectNotSet);
  }
  // 64-bit: bodies past 2 GiB must still count down to exactly 0.
  int64_t lRemaining = body_.objRequest->TotalBytes();
  body_.lChunkPos = 0;

  // A failing step inside the loop leaves a pending error and execution goes
  // on; the pending error is examined at fixed points below.
  std::optional<RaisedError> pending;
  auto keepPending = [&pending] { pending = CurrentExceptionAsRaisedError(); };

  if (!body_.abChunk) body_.abChunk = std::make_unique<uint8_t[]>(kRequestSize);
  if (!body_.abNextChunk) body_.abNextChunk = std::make_unique<uint8_t[]>(kRequestSize);
  const ChunkBuffersLent lent(writer_, ChunkBuffer(body_.abChunk), ChunkBuffer(body_.abNextChunk));
  int32_t received = 0;  // bytes in abChunk; a failed read keeps the previous chunk

  for (;;) {
    body_.lChunkLength = kRequestSize;
    try {
      writer_.releaseBuffer(ChunkBuffer(body_.abNextChunk));
      received = static_cast<int32_t>(
          body_.objRequest->BinaryRead(body_.abNextChunk.get(), static_cast<size_t>(body_.lChunkLength)));
      std::swap(body_.abChunk, body_.abNextChunk);
    } catch (...) {
      keepPending();
    }
    body_.lChunkLength = received;
    // The read after the last chunk fails: the normal end of the loop.
    if (pending) {
      pending.reset();
      break;
    }

    bool connected = false;
    try {
      if (!body_.objResponse) {
        RaiseRuntimeError(errnum::kObjectNotSet);
      }
      connected = body_.objResponse->IsClientConnected();
    } catch (...) {
      keepPending();
    }
    if (!connected) {
      decidePendingFilePart();
      if (writer_.isOpen()) abandonUploadFile();
      break;
    }

    lRemaining -= body_.lChunkLength;
    body_.lChunkPos = 0;
    if (!body_.bAbort) {
      try {
        parseChunk();
      } catch (...) {
        keepPending();
        body_.lastParseFailure_ = *pending;
        body_.bAbort = kTrue;
      }
    }
    // Past a limit, the rest of the body is not read: memory and time stay
    // bounded by the limits, not by the body.
    if (body_.stopReading_) break;
  }

  // A file part whose headers the body ended inside is stored (empty) or
  // given up by the rules below, as one whose content had begun.
  decidePendingFilePart();
  if (body_.bAbort) writeAbortNotice(pending);
  // A body refused for a limit keeps no file, even when it was read whole.
  if (lRemaining == 0 && !body_.stopReading_) commitUpload();
}

void UploadFile::parseChunk() {
  const std::span<const uint8_t> chunk(body_.abChunk.get(), static_cast<size_t>(body_.lChunkLength));
  body_.lChunkPos = static_cast<int32_t>(parser_->Put(chunk));
  if (parser_->refusal() != MultipartRefusal::kNone) raiseRefusal(parser_->refusal());
}

void UploadFile::writeAbortNotice(std::optional<RaisedError>& pending) {
  try {
    if (!body_.objResponse) {
      RaiseRuntimeError(errnum::kObjectNotSet);
    }
    body_.objResponse->Write(kAbortNotice);
  } catch (...) {
    pending = CurrentExceptionAsRaisedError();
  }
  if (!pending) return;
  try {
    if (body_.objResponse) {
      body_.objResponse->Write("Error Number/Description --> " + std::to_string(pending->number()) + "/" +
                               pending->description());
    }
  } catch (...) {
  }
}

void UploadFile::commitUpload() {
  // The commit point: the body arrived whole, so the all-or-none rule no
  // longer applies and every file goes under its final name now. A file the
  // body ended inside is as complete as it will get.
  settings_.bUploadAllFilesOrNone = kFalse;
  if (writer_.isOpen()) abandonUploadFile();
  writer_.commitAll();
}

}  // namespace parcelmoor
