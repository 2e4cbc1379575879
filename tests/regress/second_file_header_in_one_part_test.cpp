// Found by the upload fuzzer: a part whose header area names a file twice
// (two Content-Disposition lines with a file name, no delimiter between)
// opens a second upload file while the first is still open. The first
// handle must not be lost: after release no handle of the upload stays open,
// whether the second name differs or equals the first (whose open then
// fails with a sharing violation).

#include <gtest/gtest.h>

#include "storage/fake_file_layer.h"
#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

TEST(SecondFileHeaderInOnePartTest, NoHandleStaysOpenAfterRelease) {
  const std::string delim = "--Rg1";
  for (const char* secondName : {"b.bin", "a.bin"}) {
    const std::string body = delim + "\r\n" +
                             "Content-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n" +
                             "Content-Disposition: form-data; name=\"g\"; filename=\"" + secondName + "\"\r\n" +
                             "\r\ncontent\r\n" + delim + "--\r\n";
    TempDir dir;
    FakeFileLayer files;
    auto host = MemoryHost::FromBytes(body);
    auto upload = UploadFile::Create();
    upload->setFileLayer(files);
    upload->OnStartPage(host);
    upload->put_UploadDirectory(dir.str());
    upload->storeUploadedFiles();
    try {
      upload->release();
    } catch (const RaisedError&) {
    }
    EXPECT_TRUE(files.openHandles().empty()) << "second file name " << secondName;
  }
}

}  // namespace
}  // namespace parcelmoor::testing
