#include "form/form_item.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "form/string_tokenizer.h"
#include "runtime/ascii.h"
#include "runtime/raised_error.h"

namespace parcelmoor {
namespace {

constexpr const char* kHeaderSource = "UploadedItem";

[[noreturn]] void InvalidUseOfNull() {
  RaiseRuntimeError(errnum::kInvalidUseOfNull);
}

// The value of one "key=value" parameter: what follows the first "=" (the
// whole piece when there is none), trimmed of spaces, with its first and last
// character dropped when it starts with a double quote.
std::string ParameterValue(std::string_view piece) {
  size_t equals = piece.find('=');
  std::string_view value(piece);
  if (equals != std::string_view::npos) value.remove_prefix(equals + 1);
  size_t first = value.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::string();
  value = value.substr(first, value.find_last_not_of(' ') - first + 1);
  if (value.front() == '"') {
    // A quote alone has no room for a closing quote: taking the inner part
    // would need a negative length.
    if (value.size() < 2) {
      RaiseRuntimeError(errnum::kInvalidProcedureCall);
    }
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// The last piece of a client path: cut at "\" when the path has one, else at "/".
std::string LastPathPiece(const std::string& path) {
  StringTokenizer tokenizer;
  tokenizer.setString(path, path.find('\\') != std::string::npos ? "\\" : "/");
  if (tokenizer.countTokens() < 1) return path;
  return std::string(tokenizer.token(tokenizer.countTokens()));
}

// Joins `piece` onto the last entry of `values` in place, so that a value
// built from many pieces grows by amortised appends.
void AppendToLast(Collection& values, std::string_view piece) {
  Variant& last = values.Last();
  if (last.isNull()) InvalidUseOfNull();
  if (last.isText()) {
    last.text().append(piece);
  } else {
    std::string joined = last.asText();
    joined.append(piece);
    last = Variant(std::move(joined));
  }
}

}  // namespace

bool HeaderNamesAFile(std::string_view header) {
  static constexpr std::string_view kKey = ";filename=";
  size_t matched = 0;
  bool quoted = false;
  for (char c : header) {
    if (c == ' ') continue;
    // As for the split: ";filename=" inside a quoted value is text.
    if (c == '"') quoted = !quoted;
    if (quoted) {
      matched = 0;
      continue;
    }
    const char folded = AsciiToLower(c);
    // ";" occurs only at the key's start, so a mismatch restarts there.
    matched = folded == kKey[matched] ? matched + 1 : (folded == ';' ? 1 : 0);
    if (matched == kKey.size()) return true;
  }
  return false;
}

int32_t FormItem::extractCDHeader(std::string_view strCDHeader, const std::shared_ptr<Collection>& objCollection) {
  try {
    // The pieces between ";": the second names the item, a third (the last)
    // may name a file. A ";" inside a quoted value (filename="a;b.txt") is
    // part of the value.
    int32_t pieceCount = 0;
    std::string_view pieces[3];
    ForEachPiece(strCDHeader, ';', [&](std::string_view piece) {
      if (pieceCount < 3) pieces[pieceCount] = piece;
      ++pieceCount;
    }, QuoteRule::kQuotesHoldDelimiter);
    if (pieceCount >= 2) strName = ParameterValue(pieces[1]);

    if (!objCollection) {
      RaiseRuntimeError(errnum::kObjectNotSet);
    }
    // A name repeated right after its first part turns that item into a
    // multi-valued one; only the last entry is compared.
    if (objCollection->Count() > 0) {
      auto last = ObjectAs<FormItem>(objCollection->Item(objCollection->Count()));
      if (last->Name() == strName) {
        last->MultipleValues();
        return 1;
      }
    }

    if (pieceCount == 3 && HeaderNamesAFile(strCDHeader)) {
      bElementFile = kTrue;
      strFileName = ParameterValue(pieces[2]);
      strCompleteFilePath = strFileName;
      strFileName = LastPathPiece(strFileName);
    }
    return 0;
  } catch (const RaisedError& e) {
    Raise(e.number(), kHeaderSource, e.description() + " extractCDHeader ");
  } catch (const std::bad_alloc&) {
    Raise(errnum::kOutOfMemory, kHeaderSource, "Out of memory extractCDHeader ");
  }
}

void FormItem::nameFile(std::string name, std::string clientPath) {
  strName = std::move(name);
  bElementFile = kTrue;
  strFileName = LastPathPiece(clientPath);
  strCompleteFilePath = std::move(clientPath);
}

std::shared_ptr<Collection> FormItem::Value() {
  if (!colValues) colValues = Collection::Create();
  if (colValues->Count() == 0) colValues->Add(Variant::Null());
  return colValues;
}

int32_t FormItem::setValue(std::string strValue) {
  if (!colValues) colValues = Collection::Create();
  if (bMultipleValues || colValues->Count() == 0) {
    colValues->Add(Variant(std::move(strValue)));
  } else {
    AppendToLast(*colValues, strValue);
  }
  return 0;
}

void FormItem::continueValue(std::string_view piece) {
  if (!colValues) colValues = Collection::Create();
  if (colValues->Count() == 0) {
    colValues->Add(Variant(std::string(piece)));
  } else {
    AppendToLast(*colValues, piece);
  }
}

int32_t FormItem::getFileSize() const {
  if (!bElementFile) return 0;
  return static_cast<int32_t>(std::clamp<int64_t>(lItemFileSize, INT32_MIN, INT32_MAX));
}

}  // namespace parcelmoor
