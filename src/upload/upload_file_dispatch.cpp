// Member table of the upload object's interface _UploadFile and its dispatch.
#include "runtime/member_table.h"
#include "upload/file_records_view.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr DispId kForm = 0x40030010;
constexpr DispId kStoreUploadedFiles = 0x60030004;
constexpr DispId kOnStartPage = 0x6003000A;
constexpr DispId kDeleteMaxFile = 0x68030003;
constexpr DispId kMaxFileSize = 0x68030002;
constexpr DispId kUploadDirectory = 0x68030001;
constexpr DispId kUploadAllFilesOrNone = 0x68030000;
constexpr DispId kMaxFieldSize = 0x68030004;
constexpr DispId kMaxParts = 0x68030005;
constexpr DispId kSkipEmptyFileInputs = 0x68030006;
constexpr DispId kMaxTotalFieldSize = 0x68030007;
constexpr DispId kFileRecords = 0x68030008;
constexpr DispId kUploadOutcome = 0x68030009;

using enum ValueType;
using K = InvokeKind;

// In interface order. Form is a data member: read, or replaced by an object
// reference; it has no plain put.
constexpr MemberSlot kMembers[] = {
    {"Form", K::kPropertyGet, kForm, {}, 0, kCollection},
    {"Form", K::kPropertyPutRef, kForm, {kCollection}, 0, kNone},
    {"storeUploadedFiles", K::kMethod, kStoreUploadedFiles, {}, 0, kInteger},
    {"OnStartPage", K::kMethod, kOnStartPage, {kScriptingContext}, 0, kNone},
    {"DeleteMaxFile", K::kPropertyPut, kDeleteMaxFile, {kBoolean}, 0, kNone},
    {"DeleteMaxFile", K::kPropertyGet, kDeleteMaxFile, {}, 0, kBoolean},
    {"MaxFileSize", K::kPropertyPut, kMaxFileSize, {kInteger}, 0, kNone},
    {"MaxFileSize", K::kPropertyGet, kMaxFileSize, {}, 0, kInteger},
    {"UploadDirectory", K::kPropertyPut, kUploadDirectory, {kText}, 0, kNone},
    {"UploadDirectory", K::kPropertyGet, kUploadDirectory, {}, 0, kText},
    {"UploadAllFilesOrNone", K::kPropertyGet, kUploadAllFilesOrNone, {}, 0, kBoolean},
    {"UploadAllFilesOrNone", K::kPropertyPut, kUploadAllFilesOrNone, {kBoolean}, 0, kNone},
    {"MaxFieldSize", K::kPropertyPut, kMaxFieldSize, {kInteger}, 0, kNone},
    {"MaxFieldSize", K::kPropertyGet, kMaxFieldSize, {}, 0, kInteger},
    {"MaxParts", K::kPropertyPut, kMaxParts, {kInteger}, 0, kNone},
    {"MaxParts", K::kPropertyGet, kMaxParts, {}, 0, kInteger},
    {"SkipEmptyFileInputs", K::kPropertyPut, kSkipEmptyFileInputs, {kBoolean}, 0, kNone},
    {"SkipEmptyFileInputs", K::kPropertyGet, kSkipEmptyFileInputs, {}, 0, kBoolean},
    {"MaxTotalFieldSize", K::kPropertyPut, kMaxTotalFieldSize, {kInteger}, 0, kNone},
    {"MaxTotalFieldSize", K::kPropertyGet, kMaxTotalFieldSize, {}, 0, kInteger},
    // Read-only: what became of each file part (file_records_view.h).
    {"FileRecords", K::kPropertyGet, kFileRecords, {}, 0, kCollection},
    // Read-only: what the upload means for its sender (upload_verdict.h).
    {"UploadOutcome", K::kPropertyGet, kUploadOutcome, {}, 0, kCollection},
};

}  // namespace

std::span<const MemberSlot> UploadFileMembers() { return kMembers; }

DispId UploadFile::GetIDOfName(std::string_view name) { return FindMemberId(kMembers, name); }

Variant UploadFile::Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) {
  const MemberSlot& slot = FindSlot(kMembers, id, kind, args.size());
  const bool put = slot.kind == K::kPropertyPut || slot.kind == K::kPropertyPutRef;
  switch (id) {
    case kForm:
      if (put) {
        putref_Form(ObjectToAssign<Collection>(args[0]));
        return {};
      }
      return get_Form();
    case kStoreUploadedFiles:
      return storeUploadedFiles();
    case kOnStartPage:
      OnStartPage(ObjectParam<ScriptingContext>(args[0]));
      return {};
    case kDeleteMaxFile:
      if (put) {
        put_DeleteMaxFile(args[0].asBoolean());
        return {};
      }
      return Variant::Bool(get_DeleteMaxFile());
    case kMaxFileSize:
      if (put) {
        put_MaxFileSize(args[0].asInteger());
        return {};
      }
      return get_MaxFileSize();
    case kUploadDirectory:
      if (put) {
        put_UploadDirectory(args[0].asText());
        return {};
      }
      return get_UploadDirectory();
    case kUploadAllFilesOrNone:
      if (put) {
        put_UploadAllFilesOrNone(args[0].asBoolean());
        return {};
      }
      return Variant::Bool(get_UploadAllFilesOrNone());
    case kMaxFieldSize:
      if (put) {
        put_MaxFieldSize(args[0].asInteger());
        return {};
      }
      return get_MaxFieldSize();
    case kMaxParts:
      if (put) {
        put_MaxParts(args[0].asInteger());
        return {};
      }
      return get_MaxParts();
    case kSkipEmptyFileInputs:
      if (put) {
        put_SkipEmptyFileInputs(args[0].asBoolean());
        return {};
      }
      return Variant::Bool(get_SkipEmptyFileInputs());
    case kMaxTotalFieldSize:
      if (put) {
        put_MaxTotalFieldSize(args[0].asInteger());
        return {};
      }
      return get_MaxTotalFieldSize();
    case kFileRecords:
      return FileRecordsCollection(*fileRecords());
    case kUploadOutcome:
      return get_UploadOutcome();
  }
  RaiseMemberNotFound();
}

}  // namespace parcelmoor
