#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr const char* kAbortNotice =
    "<br><br><b>Error occured during file i/o. please verify "
    "file path, disk space availability, file path "
    "permissions and try again.<b><br><br> ";

// The last two chunks' bytes, which the writer may still be hashing after
// write() returned: the one before the last is released before each read,
// which may reuse its memory (the host keeps a chunk only until the second
// read after it), and both once reading ends, however it ends.
class LentChunks {
 public:
  explicit LentChunks(UploadFileWriter& writer) : writer_(writer) {}
  ~LentChunks() {
    writer_.releaseBuffer(previous_);
    writer_.releaseBuffer(current_);
    writer_.setReadBuffers({}, {});
  }
  LentChunks(const LentChunks&) = delete;
  LentChunks& operator=(const LentChunks&) = delete;

  void beforeRead() noexcept { writer_.releaseBuffer(previous_); }
  void arrived(std::span<const uint8_t> chunk) {
    previous_ = current_;
    current_ = chunk;
    writer_.setReadBuffers(previous_, current_);
  }

 private:
  UploadFileWriter& writer_;
  std::span<const uint8_t> previous_;
  std::span<const uint8_t> current_;
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
  LentChunks lent(writer_);
  int32_t received = 0;  // bytes in the current chunk; a failed read keeps the previous chunk

  for (;;) {
    body_.lChunkLength = kRequestSize;
    try {
      lent.beforeRead();
      // The host fills the scratch buffer not used by the last chunk, or
      // hands back bytes it holds itself.
      const std::span<const uint8_t> chunk =
          body_.objRequest->ReadBody(body_.abNextChunk.get(), static_cast<size_t>(body_.lChunkLength));
      lent.arrived(chunk);
      std::swap(body_.abChunk, body_.abNextChunk);
      body_.chunkBytes = chunk.data();
      received = static_cast<int32_t>(chunk.size());
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
  const std::span<const uint8_t> chunk(body_.chunkBytes, static_cast<size_t>(body_.lChunkLength));
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
