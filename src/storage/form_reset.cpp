// TEMPORARY: placeholder until the form reset lands.
#include "upload/upload_file.h"

namespace parcelmoor {
void UploadFile::resetForm() { Form.reset(); }
}  // namespace parcelmoor
