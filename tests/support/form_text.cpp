#include "support/form_text.h"

#include <cstdio>

namespace parcelmoor::testing {

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 32 || c >= 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string FormText(const std::vector<ItemView>& form) {
  std::string text;
  for (const ItemView& item : form) {
    text += Escaped(item.name);
    if (item.isFile) {
      text += " file=\"" + Escaped(item.fileName) + "\" path=\"" + Escaped(item.clientPath) +
              "\" size=" + std::to_string(item.fileSize);
    }
    text += item.multipleValues ? " values=[" : " value=[";
    for (size_t i = 0; i < item.values.size(); ++i) {
      if (i > 0) text += ", ";
      text += item.values[i] ? "\"" + Escaped(*item.values[i]) + "\"" : "null";
    }
    text += "]\n";
  }
  return text;
}

}  // namespace parcelmoor::testing
