// TEMPORARY: placeholder until the form item lands.
#include "form/form_item.h"

namespace parcelmoor {
int32_t FormItem::extractCDHeader(const std::string&, const std::shared_ptr<Collection>&) { return 0; }
std::shared_ptr<Collection> FormItem::Value() { return colValues; }
int32_t FormItem::setValue(const std::string&) { return 0; }
int32_t FormItem::getFileSize() const { return 0; }
void FormItem::continueValue(std::string_view) {}
}  // namespace parcelmoor
