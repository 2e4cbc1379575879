#pragma once
// The upload object a page script creates and drives: bound to a request by
// OnStartPage, configured by four properties, it reads the request body once
// (storeUploadedFiles), splits it into parts, stores file contents in the
// upload directory and leaves the form items in Form. Every operation of the
// body reader, line scanner, part state machine, file writer and form reset is
// a private operation of this class working on the members below.
//
// One object serves one request and is used on one thread. Releasing it runs
// termination: Form is emptied and, unless the whole body arrived (or the
// script switched UploadAllFilesOrNone off), the files it stored are deleted.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "form/form_item.h"
#include "runtime/collection.h"
#include "upload/host_interfaces.h"
#include "runtime/object.h"
#include "runtime/raised_error.h"
#include "storage/mod_win32.h"

namespace parcelmoor {

class UploadFile : public Object {
  // Tests reach the private operations and members through this peer.
  friend class UploadFileTestPeer;

 public:
  static constexpr int32_t kRequestSize = 65535;  // bytes asked of each read
  static constexpr int32_t kBoundaryCapacity = 1024;
  static constexpr int32_t kLineCapacity = 2048;

  // Construction never raises.
  UploadFile();
  // Runs termination if release() was not called, swallowing its error.
  ~UploadFile() override;
  static std::shared_ptr<UploadFile> Create() { return std::make_shared<UploadFile>(); }

  // The collection of form items, keyed by field name. Reading it while no
  // collection exists creates an empty one.
  std::shared_ptr<Collection> get_Form();
  void putref_Form(std::shared_ptr<Collection> form) { Form = std::move(form); }

  // Processes the request once and returns 1; later calls return 1 at once.
  int32_t storeUploadedFiles();
  // Keeps the context's request and response; empties the upload directory.
  // Never raises.
  void OnStartPage(const std::shared_ptr<ScriptingContext>& MyScriptingContext);

  void put_DeleteMaxFile(Boolean bDelete) { bDeleteMaxFile = bDelete; }
  Boolean get_DeleteMaxFile() const { return bDeleteMaxFile; }
  void put_MaxFileSize(int32_t lMaximumFileSize);
  int32_t get_MaxFileSize() const { return lMaxFileSize; }
  // Stores the directory trimmed of spaces with "\" appended when missing; an
  // empty or all-space value leaves the directory empty. Never raises.
  void put_UploadDirectory(const std::string& strDirectory);
  std::string get_UploadDirectory() const { return strUploadDirectory; }
  Boolean get_UploadAllFilesOrNone() const { return bUploadAllFilesOrNone; }
  void put_UploadAllFilesOrNone(Boolean bUpload) { bUploadAllFilesOrNone = bUpload; }

  // Termination: drops the host references and resets the form (deleting the
  // stored files of an incomplete upload). Raises its failure to the caller;
  // runs once.
  void release();
  void OnFinalRelease() override { release(); }

  // Late-bound calls through the member table.
  DispId GetIDOfName(std::string_view name) override;
  Variant Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) override;

  // C++ API beyond the script's view.
  // The last failure that stopped the parsing of the body, if any.
  const std::optional<RaisedError>& lastParseFailure() const { return lastParseFailure_; }
  // Number of files this object created and still owns on disk.
  size_t storedFileCount() const { return storedFiles_.size(); }
  // Replaces the file layer (tests inject failures). REQUIRES: `layer`
  // outlives the object; no file is open.
  void setFileLayer(modWin32::FileLayer& layer) { files_ = &layer; }

 private:
  // Upload object (construction, storeUploadedFiles).
  std::shared_ptr<Collection>& form();  // Form, created on first use

  // Request body reader.
  void readRequestBody();

  // Line scanner.
  int32_t processChunk();
  void captureBoundary();
  int32_t nextLine();

  // Part state machine.
  int32_t handleLine();
  void prepareFilePart(std::string_view strCDHeader, bool merged);
  void finishFilePart();

  // Header patterns and byte comparison.
  void initHeaderPatterns();
  static int32_t bytesEqual(const uint8_t* a, int32_t offsetA, const uint8_t* b, int32_t offsetB,
                            int32_t count);
  static int32_t matchBytes(const uint8_t* pattern, const uint8_t* line, int32_t count, Boolean foldCase,
                            int32_t start);

  // Upload file writer.
  void openUploadFile();
  void writeBytes(const uint8_t* buffer, int32_t count, int32_t start);
  void closeUploadFile();
  void abandonUploadFile() noexcept;

  // Form reset and upload clean-up.
  void resetForm();

 public:
  // Public data member, as the script sees it.
  std::shared_ptr<Collection> Form;

 private:
  std::shared_ptr<HostRequest> objRequest;
  std::shared_ptr<HostResponse> objResponse;
  std::string strFilePath;
  std::string strUploadDirectory;
  Boolean bBoundaryKnown = kFalse;
  int32_t lBoundaryLength = 0;
  std::unique_ptr<uint8_t[]> abChunk;  // kRequestSize bytes once reading starts
  int32_t lChunkLength = 0;
  int32_t lChunkPos = 0;
  Boolean bPendingCRLF = kFalse;
  int32_t lInFilePart = 0;
  int32_t hFile = -1;
  Boolean bInContent = kFalse;
  int32_t lPartState = 0;
  Boolean bCRAtChunkEnd = kFalse;
  std::shared_ptr<FormItem> objCurrentItem;
  Boolean bAbort = kFalse;
  Boolean bProcessed = kFalse;
  std::array<uint8_t, kBoundaryCapacity> abBoundary{};
  std::vector<uint8_t> abLine;  // kLineCapacity bytes while storeUploadedFiles reads
  int32_t lLineLength = 0;
  std::array<uint8_t, 12> abContentType{};
  std::array<uint8_t, 19> abContentDisposition{};
  std::array<uint8_t, 2> abCRLF{};
  int32_t lMaxFileSize = 0;
  Boolean bMaxSizeExceeded = kFalse;
  int64_t lFileSize = 0;  // 64-bit: files past 2 GiB are counted exactly
  int32_t lMaxFileSizeSet = 0;
  Boolean bUploadAllFilesOrNone = kTrue;
  Boolean bDeleteMaxFile = kFalse;

  // Beyond the script-visible state.
  // Files this object created, recorded when opened: the all-or-none clean-up
  // deletes exactly these, never a name rebuilt later.
  struct StoredFile {
    std::string path;
    modWin32::FileIdentity identity;
  };
  std::vector<StoredFile> storedFiles_;
  modWin32::FileLayer* files_ = &modWin32::FileLayer::Posix();
  // The current part has a Content-Disposition line; content of a part
  // without one is skipped.
  bool partHasItem_ = false;
  // The open file is the current item's own file (its first), whose size the
  // item reports; later files merged under the same name are stored but not
  // sized on the item.
  bool fileIsItemsOwn_ = false;
  // The current part already handed content to its item: later pieces of the
  // same part join its entry instead of adding one.
  bool valueStarted_ = false;
  std::optional<RaisedError> lastParseFailure_;
  bool terminated_ = false;
};

}  // namespace parcelmoor
