#include "host/request_pipeline.h"

#include <utility>

#include "host/boundary_check.h"

namespace parcelmoor {

UploadAnswer RunUploadRequest(const RequestVerdict& verdict, UploadTransport& transport,
                              const UploadPipeline& pipeline) {
  // Before OpenBody nothing of the body has been read and no 100 Continue
  // sent: a refusal here costs the client no upload.
  HandoffRequest client = transport.DescribeClient();
  client.contentLength = verdict.bodyLength;
  AuthorizationOutcome authorized;
  if (pipeline.authorization) {
    authorized = Authorize(*pipeline.authorization, client, pipeline.settings, verdict.json);
    if (authorized.refusal) return UploadAnswer{*std::move(authorized.refusal), {}, std::move(authorized.note)};
    client.forwardHeaders = std::move(authorized.forwardHeaders);
  }
  const UploadSettings& settings = pipeline.authorization ? authorized.settings : pipeline.settings;

  // With a hand-off, the files are to stay uncommitted until the
  // application accepts them. The held files live as long as the upload
  // object, which the page run releases; so once the object can hold its
  // commit, the hand-off moves into the page run: RunUploadPage takes the
  // decision as a callback, called after storeUploadedFiles and before the
  // release with the report, and commits what it holds on a 2xx or
  // abandons it otherwise (instead of step 5 deleting committed files).
  PageResult page = RunCheckedUploadPage(transport.OpenBody(verdict.bodyLength), verdict.boundary, settings);
  transport.BodyEnded();

  const bool handOff = static_cast<bool>(pipeline.handoff);
  if (handOff) WithdrawFailedUpload(page);
  UploadAnswer upload = AnswerUpload(page, transport.TakeBodyOutcome(), verdict.json);
  // An upload the host fails itself never reaches the application: its
  // report is not even made.
  if (handOff && upload.answer.status / 100 == 2) {
    client.reportJson = PageResultToJson(page);
    upload.answer = HandOffUpload(page, std::move(upload.answer), client, pipeline.handoff, upload.note,
                                  upload.log.filesStored);
  }
  return upload;
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
