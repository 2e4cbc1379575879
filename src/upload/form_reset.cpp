// Emptying Form, and the all-or-none clean-up: an upload whose body did not
// arrive whole leaves none of its files behind.
#include "upload/upload_file.h"

namespace parcelmoor {

void UploadFile::resetForm() {
  // Bytes still held for judgement were never stored: nothing to give up.
  part_.judging_ = false;
  if (writer_.isOpen()) abandonUploadFile();

  // The files deleted are the ones this object created, each only while its
  // name still names that very file: neither a later UploadDirectory nor a
  // file someone else made under the same name is ever touched. This runs
  // before the walk over Form so that nothing a script put into Form can
  // keep an incomplete upload's files on disk. Kept or deleted, the files
  // are no longer this object's to clean up.
  writer_.releaseStored(settings_.bUploadAllFilesOrNone != 0);

  const std::shared_ptr<Collection> items = form();
  // From the last item to the first: removing by position never shifts an
  // item not yet visited.
  for (int32_t i = items->Count(); i >= 1; --i) {
    part_.objCurrentItem = ObjectAs<FormItem>(items->Item(i));
    part_.objCurrentItem.reset();
    items->Remove(i);
  }
  part_.objCurrentItem.reset();
  Form.reset();
}

}  // namespace parcelmoor
