#include "support/upload_harness.h"

#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

namespace parcelmoor::testing {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "pmtest-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::map<std::string, std::string> TempDir::Files() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    if (entry.is_regular_file()) files[entry.path().filename().string()] = ReadFile(entry.path());
  }
  return files;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

Part Field(const std::string& name, const std::string& value) {
  return {{"Content-Disposition: form-data; name=\"" + name + "\""}, value};
}

Part File(const std::string& name, const std::string& fileName, const std::string& content) {
  return {{"Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"",
           "Content-Type: application/octet-stream"},
          content};
}

std::string Body(const std::vector<Part>& parts, bool closed, const std::string& boundary) {
  std::string body;
  for (const Part& part : parts) {
    body += "--" + boundary + "\r\n";
    for (const auto& h : part.headers) body += h + "\r\n";
    body += "\r\n" + part.content + "\r\n";
  }
  if (closed) body += "--" + boundary + "--\r\n";
  return body;
}

std::vector<ItemView> ViewForm(UploadFile& upload) {
  std::vector<ItemView> view;
  auto form = upload.get_Form();
  for (int32_t i = 1; i <= form->Count(); ++i) {
    auto item = ObjectAs<FormItem>(form->Item(i));
    ItemView v;
    v.name = item->Name();
    auto values = item->Value();
    for (int32_t k = 1; k <= values->Count(); ++k) {
      const Variant& value = values->Item(k);
      v.values.push_back(value.isNull() ? std::nullopt : std::optional<std::string>(value.asText()));
    }
    v.isFile = item->isElementFile() != 0;
    v.multipleValues = item->isMultipleValues() != 0;
    v.fileName = item->getFileName();
    v.clientPath = item->getCompleteFilePath();
    v.fileSize = item->getFileSize();
    view.push_back(std::move(v));
  }
  return view;
}

StoreRun Store(const std::string& body, const TempDir& dir, const StoreSettings& settings) {
  return Store(body, dir.str(), settings);
}

StoreRun Store(const std::string& body, const std::string& directory, const StoreSettings& settings) {
  StoreRun run;
  MemoryHostOptions options;
  options.readPlan = settings.readPlan;
  options.totalBytes = settings.totalBytes;
  options.disconnectAfter = settings.disconnectAfter;
  run.host = MemoryHost::FromBytes(body, options);
  run.upload = UploadFile::Create();
  if (settings.fileLayer) run.upload->setFileLayer(*settings.fileLayer);
  if (settings.store) run.upload->setStore(settings.store);
  run.upload->OnStartPage(run.host);
  run.upload->put_UploadDirectory(directory);
  if (settings.maxFileSize) run.upload->put_MaxFileSize(*settings.maxFileSize);
  if (settings.maxFileSizeBytes) run.upload->setMaxFileSizeBytes(*settings.maxFileSizeBytes);
  if (settings.deleteMaxFile) run.upload->put_DeleteMaxFile(kTrue);
  run.upload->put_MaxFieldSize(settings.maxFieldSize);
  run.upload->put_MaxParts(settings.maxParts);
  run.upload->setMaxTotalFieldBytes(settings.maxTotalFieldBytes);
  if (settings.skipEmptyFileInputs) run.upload->put_SkipEmptyFileInputs(kTrue);
  if (settings.policy) run.upload->setPartPolicy(settings.policy);
  run.upload->setChecksums(settings.checksums);
  try {
    run.upload->storeUploadedFiles();
  } catch (const RaisedError& e) {
    run.error = e;
  }
  run.form = ViewForm(*run.upload);
  return run;
}

}  // namespace parcelmoor::testing
