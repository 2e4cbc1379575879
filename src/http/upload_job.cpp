// The one path every upload takes, multipart (upload_dispatch.cpp) or
// resumable (resumable_dispatch.cpp): authorized on the event loop before
// any body byte is read, given an upload slot, run on a thread of the pool
// with the socket out of the loop's hands, and finished back on the loop.

#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "host/authorization.h"
#include "http/connection.h"
#include "http/upload_forwarder.h"

namespace parcelmoor::httpd {

// The token at once, the application's answer when it comes. Nothing of the
// body is read and no 100 Continue is sent until `then` lets the upload go
// on.
void Connection::Authorize(HandoffRequest client, bool json, Decided then) {
  const auto& o = core_->options;
  if (o.tokens) {
    if (auto refused = CheckToken(*o.tokens, client, json)) return then(*std::move(refused));
  }
  if (!o.authorize) {
    AuthorizationOutcome pass;
    pass.settings = o.upload;
    return then(std::move(pass));
  }
  AskApplicationAsync(core_->ioc, *o.authorize, client, o.authorizeTimeout,
                      [self = shared_from_this(), client, json, then = std::move(then)](HandoffAnswer app) {
                        self->Guarded([&] {
                          then(FollowAnswer(std::move(app), client, self->core_->options.upload, json));
                        });
                      });
}

// Slots are counted by `uploadClient_`, set by the caller.
void Connection::AdmitUploadJob(std::function<void()> start, std::function<void(UploadAdmission::Verdict)> refuse) {
  switch (const auto slot = core_->AskUploadSlot(shared_from_this(), uploadClient_)) {
    case UploadAdmission::Verdict::kRun:
      holdsUploadSlot_ = true;
      return start();
    // The body stays unread (and 100 Continue unsent) until a slot frees.
    case UploadAdmission::Verdict::kWait:
      phase_ = Phase::kQueued;
      queuedStart_ = std::move(start);
      queuedRefuse_ = std::move(refuse);
      return;
    default: return refuse(slot);
  }
}

void Connection::OnSlot() {
  Guarded([&] {
    slotWait_ = std::chrono::steady_clock::now() - queuedAt_;
    if (phase_ != Phase::kQueued || !queuedStart_) return core_->FreeUploadSlot(uploadClient_, this);
    holdsUploadSlot_ = true;
    queuedRefuse_ = nullptr;
    std::exchange(queuedStart_, nullptr)();
  });
}

void Connection::OnNoSlot(UploadAdmission::Verdict why) {
  Guarded([&] {
    if (phase_ != Phase::kQueued || !queuedRefuse_) return;
    slotWait_ = std::chrono::steady_clock::now() - queuedAt_;
    queuedStart_ = nullptr;
    std::exchange(queuedRefuse_, nullptr)(why);
  });
}

void Connection::RunUploadJob(UploadJob job, std::function<void()> noThread) {
  phase_ = Phase::kUpload;
  // The upload's thread alone reads the socket now: out of the event loop's
  // poll set, its arriving bytes wake only that thread.
  beast::error_code ec;
  stream_.socket().release(ec);
  released_ = !ec;
  try {
    // The work guard keeps the event loop running, even once stopping,
    // until the finish is back on it.
    core_->uploadThreads.Run([self = shared_from_this(), work = net::make_work_guard(core_->ioc),
                              job = std::move(job)]() mutable {
      std::function<void()> finish = job();
      auto& ioc = self->core_->ioc;
      // The connection goes back to the loop with the finish: this thread
      // keeps no reference, so the connection always ends on the loop.
      net::post(ioc, [self = std::move(self), finish = std::move(finish)] {
        self->Guarded([&] {
          self->ReclaimSocket();
          self->ReleaseUploadSlot();
          self->phase_ = Phase::kAnswering;
          finish();
        });
      });
    });
  } catch (const std::exception& e) {
    // Out of threads or memory: this upload is refused, the server goes on.
    ReclaimSocket();
    ReleaseUploadSlot();
    core_->setupFailures.Write(std::string("cannot start a thread for an upload: ") + e.what());
    entry_.note = "no-thread";
    noThread();
  }
}

// Back on the loop after the upload: the socket rejoins the poll set.
void Connection::ReclaimSocket() {
  if (!released_) return;
  released_ = false;
  stream_.socket().assign(protocol_, fd_);
}

// On the loop: the slot goes once the body is read or the upload ends,
// whichever comes first.
void Connection::ReleaseUploadSlot() {
  if (!holdsUploadSlot_) return;
  holdsUploadSlot_ = false;
  core_->FreeUploadSlot(uploadClient_, this);
}

}  // namespace parcelmoor::httpd
