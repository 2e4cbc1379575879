// Member table of the form item's interface _FormItem and its dispatch.
#include "form/form_item.h"
#include "runtime/member_table.h"

namespace parcelmoor {
namespace {

constexpr DispId kExtractCDHeader = 0x60030001;
constexpr DispId kName = 0x60030002;
constexpr DispId kValue = kDispIdValue;
constexpr DispId kIsMultipleValues = 0x60030003;
constexpr DispId kSetValue = 0x60030004;
constexpr DispId kMultipleValues = 0x60030005;
constexpr DispId kIsElementFile = 0x60030006;
constexpr DispId kGetFileSize = 0x60030007;
constexpr DispId kSetFileSize = 0x60030008;
constexpr DispId kGetFileName = 0x60030009;
constexpr DispId kGetCompleteFilePath = 0x6003000A;

using enum ValueType;
using K = InvokeKind;

// In interface order; Value is the default member.
constexpr MemberSlot kMembers[] = {
    {"extractCDHeader", K::kMethod, kExtractCDHeader, {kText, kCollection}, 0, kInteger},
    {"Name", K::kMethod, kName, {}, 0, kText},
    {"Value", K::kMethod, kValue, {}, 0, kCollection},
    {"isMultipleValues", K::kMethod, kIsMultipleValues, {}, 0, kBoolean},
    {"setValue", K::kMethod, kSetValue, {kText}, 0, kInteger},
    {"MultipleValues", K::kMethod, kMultipleValues, {}, 0, kNone},
    {"isElementFile", K::kMethod, kIsElementFile, {}, 0, kBoolean},
    {"getFileSize", K::kMethod, kGetFileSize, {}, 0, kInteger},
    {"setFileSize", K::kMethod, kSetFileSize, {kInteger}, 0, kNone},
    {"getFileName", K::kMethod, kGetFileName, {}, 0, kText},
    {"getCompleteFilePath", K::kMethod, kGetCompleteFilePath, {}, 0, kText},
};

}  // namespace

std::span<const MemberSlot> FormItemMembers() { return kMembers; }

DispId FormItem::GetIDOfName(std::string_view name) { return FindMemberId(kMembers, name); }

Variant FormItem::Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) {
  FindSlot(kMembers, id, kind, args.size());
  switch (id) {
    case kExtractCDHeader:
      return extractCDHeader(args[0].asText(), ObjectParam<Collection>(args[1]));
    case kName:
      return Name();
    case kValue:
      return Value();
    case kIsMultipleValues:
      return Variant::Bool(isMultipleValues());
    case kSetValue:
      return setValue(args[0].asText());
    case kMultipleValues:
      MultipleValues();
      return {};
    case kIsElementFile:
      return Variant::Bool(isElementFile());
    case kGetFileSize:
      return getFileSize();
    case kSetFileSize:
      setFileSize(args[0].asInteger());
      return {};
    case kGetFileName:
      return getFileName();
    case kGetCompleteFilePath:
      return getCompleteFilePath();
  }
  RaiseMemberNotFound();
}

}  // namespace parcelmoor
