#pragma once
// The one place that decides what becomes of a part, once its headers are
// complete and before any of its content is stored. The host owns the policy
// (it knows its limits, allowed types, naming rules); the upload object asks
// it once per part and acts on the answer. Without a policy set, the object
// decides as it always has: store every file, under MaxFileSize and
// DeleteMaxFile as the script set them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace parcelmoor {

// What a part's headers say. Views into the upload object's own state, valid
// for the call only.
struct PartHeaders {
  std::string_view fieldName;
  std::string_view fileName;     // as it would be stored; empty for a plain field
  std::string_view clientPath;   // as the client sent it
  std::string_view contentType;  // the part's Content-Type value, empty when none
  bool namesFile = false;        // the Content-Disposition names a file
};

struct PartDecision {
  enum class Action {
    kStore,   // a file part's content goes to a stored file; a field's to its value
    kSkip,    // no file: the Form still gets the item, the content is read past
    kRefuse,  // not stored, with its own reason; the other parts go on
  };
  Action action = Action::kStore;
  // kStore, file parts: the most bytes kept on disk (none: no limit), and
  // whether a file over it is deleted instead of cut.
  std::optional<int64_t> maxFileBytes;
  bool deleteOverLimit = false;
  // kStore, file parts: an earlier file of the same name in this upload,
  // not yet committed, is given up (the later one wins, as the component
  // always did). False: both go to the commit, where the store's own rule
  // for a taken name settles them (keep both, or refuse the later).
  bool replacesEarlierOfName = true;
  // kRefuse: a short word for logs and records ("type-not-allowed"), the
  // plain sentence a user reads, and the status the host answers with.
  std::string refusal;
  std::string reason;
  int status = 0;
};

class PartPolicy {
 public:
  virtual ~PartPolicy() = default;
  // Called once per part with a Content-Disposition line, when its headers
  // are complete (or the part ends before its blank line). For a plain field
  // (namesFile false) anything but kStore drops its value. Must not throw.
  virtual PartDecision decide(const PartHeaders& part) = 0;

  // The most first bytes of a file part judgeContent is shown.
  static constexpr size_t kJudgedBytes = 4096;
  // Whether judgeContent is asked at all. False (the default): a stored
  // file is opened as soon as its headers are decided and nothing is held.
  virtual bool judgesContent() const { return false; }
  // Asked once per file part that decide() answered kStore, when
  // judgesContent(), before any of its bytes is stored: with its first
  // kJudgedBytes bytes, or all of them when the part ends sooner (however
  // the reads cut the body). kStore keeps decide()'s answer (its limits
  // apply); kRefuse stores nothing of the file and records the refusal;
  // kSkip stores nothing and records no file. Must not throw.
  virtual PartDecision judgeContent(const PartHeaders& part, std::span<const uint8_t> firstBytes) {
    (void)part;
    (void)firstBytes;
    return PartDecision{};
  }
};

}  // namespace parcelmoor
