#include "host/request_pipeline.h"

#include <utility>

#include "host/boundary_check.h"
#include "host/client_paths.h"

namespace parcelmoor {
namespace {

// With a hand-off, nothing is committed until the application accepts: the
// files wait where no client can name them, the application is told where
// each waits and where it will be, and a refusal, a timeout or an
// application that cannot be reached gives them up, leaving every earlier
// file of those names as it was. An upload the host fails itself never
// reaches the application.
UploadAnswer RunHandedOffUpload(const PageRun& run, bool json, UploadTransport& transport,
                                const ApplicationCall& handoff, const UploadSettings& settings,
                                HandoffRequest& client, const std::string& clientRoot) {
  std::optional<UploadAnswer> decided;
  BodyOutcome body;
  bool hostFailed = false;
  int32_t taken = 0;  // files the application moved away while it decided
  std::vector<bool> waiting;  // by record: a file was kept, waiting for the decision
  auto decide = [&](PageResult& provisional) {
    // The body is read: the wait for the application holds no upload slot.
    transport.BodyEnded();
    body = transport.TakeBodyOutcome();
    provisional.clientPathRoot = clientRoot;  // the report below keeps full paths
    UploadAnswer own = AnswerUpload(provisional, body, json);
    hostFailed = own.answer.status / 100 != 2;
    for (const FileRecord& file : provisional.files) waiting.push_back(!file.storedPath.empty());
    bool accepted = false;
    if (!hostFailed) {
      client.reportJson = PageResultToJson(provisional);
      own.answer = HandOffUpload(provisional, std::move(own.answer), client, handoff, own.note, accepted);
      taken = FilesTakenByApplication(provisional);
    }
    decided = std::move(own);
    return accepted;
  };
  PageResult page = run(settings, decide);
  page.clientPathRoot = clientRoot;
  if (!decided) {  // the page run ended before it could ask
    transport.BodyEnded();
    return AnswerUpload(page, transport.TakeBodyOutcome(), json);
  }
  // The log tells what the decision left on disk, and what the application
  // took for itself.
  decided->log.filesStored = page.filesStored() + taken;
  if (hostFailed) {
    // The client reads this answer: its records say what became of each file.
    page.withdrawnFiles = std::move(waiting);
    return AnswerUpload(page, body, json);
  }
  return std::move(*decided);
}

}  // namespace

UploadAnswer RunUploadSteps(const PageRun& run, UploadTransport& transport, const UploadPipeline& pipeline,
                            int64_t length, bool json) {
  // Before the run nothing of the body has been read and no 100 Continue
  // sent: a refusal here costs the client no upload.
  HandoffRequest client = transport.DescribeClient();
  client.contentLength = length;
  AuthorizationOutcome authorized;
  if (pipeline.authorization) {
    authorized = Authorize(*pipeline.authorization, client, pipeline.settings, json);
    if (authorized.refusal) return UploadAnswer{*std::move(authorized.refusal), {}, std::move(authorized.note)};
    client.forwardHeaders = std::move(authorized.forwardHeaders);
  }
  const UploadSettings& settings = pipeline.authorization ? authorized.settings : pipeline.settings;
  // Relative to the directory as configured, so that a directory the
  // application narrowed shows as a step of the path.
  const std::string clientRoot = pipeline.clientRoot ? *pipeline.clientRoot : ClientPathRoot(pipeline.settings);

  if (pipeline.handoff) return RunHandedOffUpload(run, json, transport, pipeline.handoff, settings, client, clientRoot);
  PageResult page = run(settings, {});
  page.clientPathRoot = clientRoot;
  transport.BodyEnded();
  return AnswerUpload(page, transport.TakeBodyOutcome(), json);
}

UploadAnswer RunUploadRequest(const RequestVerdict& verdict, UploadTransport& transport,
                              const UploadPipeline& pipeline) {
  const PageRun run = [&](const UploadSettings& settings, const CommitDecision& decide) {
    return RunCheckedUploadPage(transport.OpenBody(verdict.bodyLength), verdict.boundary, settings, decide);
  };
  return RunUploadSteps(run, transport, pipeline, verdict.bodyLength, verdict.json);
}

int AnswerRequest(const RequestHead& head, RequestTransport& transport, const UploadPipeline& pipeline,
                  RequestLogEntry& entry) {
  RequestVerdict verdict = JudgeRequest(head, pipeline.settings);
  PageAnswer answer;
  if (verdict.answer) {
    answer = std::move(*verdict.answer);
  } else {
    UploadAnswer upload = RunUploadRequest(verdict, transport, pipeline);
    answer = std::move(upload.answer);
    entry.upload = std::move(upload.log);
    entry.note = std::move(upload.note);
  }
  transport.Send(answer, verdict);
  entry.status = answer.status;
  return answer.status;
}

}  // namespace parcelmoor
