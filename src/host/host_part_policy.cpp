#include "host/host_part_policy.h"

#include "host/content_type.h"

namespace parcelmoor {

HostPartPolicy::HostPartPolicy(const UploadSettings& settings)
    : limits_(settings.maxFileBytes, settings.deleteOverLimit),
      replacesEarlierOfName_(settings.onExists == OnExists::kReplace),
      refuseHiddenNames_(settings.refuseHiddenNames),
      allowedTypes_(settings.allowedTypes) {}

PartDecision HostPartPolicy::decide(const PartHeaders& part) {
  // A text field's length is the component's own limit (MaxFieldSize): the
  // file limit says nothing about it.
  if (!part.namesFile) return PartDecision{};
  // A name such as .htaccess or .env configures what serves the directory
  // rather than being content of it. "." and ".." name no file at all: the
  // store refuses them as names, with its own answer.
  const bool dotsOnly = part.fileName == "." || part.fileName == "..";
  if (refuseHiddenNames_ && part.fileName.starts_with('.') && !dotsOnly) {
    PartDecision refused;
    refused.action = PartDecision::Action::kRefuse;
    refused.refusal = "hidden-name";
    refused.reason = "file names beginning with '.' are not accepted";
    refused.status = 422;
    return refused;
  }
  PartDecision stored = limits_.decide(part);
  // Two files of one name in one upload follow the rule for a name already
  // stored: only replace lets the later one win.
  stored.replacesEarlierOfName = replacesEarlierOfName_;
  // Refusing over-limit files is serve's default, with or without a limit;
  // without one no file is over it, and the component's delete mode would
  // only take --keep-partial's file of a request cut short.
  stored.deleteOverLimit = stored.deleteOverLimit && stored.maxFileBytes.has_value();
  return stored;
}

PartDecision HostPartPolicy::judgeContent(const PartHeaders&, std::span<const uint8_t> firstBytes) {
  const std::string type = SniffMimeType(firstBytes);
  if (TypeAllowed(type, allowedTypes_)) return PartDecision{};
  PartDecision refused;
  refused.action = PartDecision::Action::kRefuse;
  refused.refusal = "type-not-allowed";
  refused.reason = "the file's content is " + type + ", which is not an allowed type";
  refused.status = 415;
  return refused;
}

}  // namespace parcelmoor
