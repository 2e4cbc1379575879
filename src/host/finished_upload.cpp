#include "host/finished_upload.h"

#include "host/memory_host.h"
#include "host/request_pipeline.h"

namespace parcelmoor {
namespace {

// The bytes are all there: nothing is read, and the client is the one the
// caller describes.
class FinishedTransport final : public UploadTransport {
 public:
  FinishedTransport(HandoffRequest client, int64_t length) : client_(std::move(client)), length_(length) {}
  std::shared_ptr<ScriptingContext> OpenBody(int64_t) override { return MemoryHost::FromBytes(""); }
  void BodyEnded() override {}
  BodyOutcome TakeBodyOutcome() override { return BodyOutcome{length_, "", ""}; }
  HandoffRequest DescribeClient() override { return client_; }

 private:
  HandoffRequest client_;
  int64_t length_;
};

}  // namespace

UploadAnswer StoreFinishedUpload(const FinishedFile& file, const UploadSettings& settings, const std::string& clientRoot,
                                 const HandoffRequest& client, const ApplicationCall& handoff) {
  const int64_t length = file.bytes->size();
  FinishedTransport transport(client, length);
  const PageRun run = [&](const UploadSettings& given, const CommitDecision& decide) {
    return RunUploadPage(transport.OpenBody(length), given, decide, &file);
  };
  return RunUploadSteps(run, transport, UploadPipeline{settings, handoff, nullptr, clientRoot}, length, true);
}

CompletionRetry RetryOf(const UploadAnswer& answer) {
  const int status = answer.answer.status;
  if (status / 100 == 2) return CompletionRetry::kNever;
  // The application's no is final, whatever status it chose.
  if (answer.note.starts_with("app-refused")) return CompletionRetry::kNever;
  if (answer.log.outcome == "file-busy") return CompletionRetry::kWhenNameFree;
  // A refusal (type, name, a name taken, a virus, a size) is the file's
  // own; a server's failure (the scanner, the store, the application out
  // of reach or too slow, the disk full) may pass.
  return status >= 500 ? CompletionRetry::kLater : CompletionRetry::kNever;
}

}  // namespace parcelmoor
