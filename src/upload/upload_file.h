#pragma once
// The upload object a page script creates and drives: bound to a request by
// OnStartPage, configured by four properties, it reads the request body once
// (storeUploadedFiles), splits it into parts, stores file contents in the
// upload directory and leaves the form items in Form. The body reader, line
// scanner, part state machine and form reset are private operations of this
// class, each working on its own group of the members below; the file of a
// file part and the record of stored files belong to the file writer.
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
#include "upload/part_policy.h"
#include "runtime/object.h"
#include "runtime/raised_error.h"
#include "storage/mod_win32.h"
#include "storage/upload_file_writer.h"

namespace parcelmoor {

class UploadFile : public Object {
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

  void put_DeleteMaxFile(Boolean bDelete) { settings_.bDeleteMaxFile = bDelete; }
  Boolean get_DeleteMaxFile() const { return settings_.bDeleteMaxFile; }
  void put_MaxFileSize(int32_t lMaximumFileSize);
  // The limit as set; a limit above 2147483647, which only the C++ API below
  // can set, reads as 2147483647.
  int32_t get_MaxFileSize() const;
  // Stores the directory trimmed of spaces with "\" appended when missing; an
  // empty or all-space value leaves the directory empty. Never raises.
  void put_UploadDirectory(const std::string& strDirectory);
  std::string get_UploadDirectory() const { return settings_.strUploadDirectory; }
  Boolean get_UploadAllFilesOrNone() const { return settings_.bUploadAllFilesOrNone; }
  void put_UploadAllFilesOrNone(Boolean bUpload) { settings_.bUploadAllFilesOrNone = bUpload; }
  // Limits beyond the classic four, 0 (or less) meaning none, the default:
  // the longest value of one plain field's part in bytes, and the most parts
  // one body may have. Crossing either raises, stops reading the body and
  // keeps no file of the upload (as when the body does not arrive whole).
  void put_MaxFieldSize(int32_t bytes) { settings_.maxFieldSize_ = bytes; }
  int32_t get_MaxFieldSize() const { return settings_.maxFieldSize_; }
  void put_MaxParts(int32_t parts) { settings_.maxParts_ = parts; }
  int32_t get_MaxParts() const { return settings_.maxParts_; }

  // Termination: drops the host references and resets the form (deleting the
  // stored files of an incomplete upload). Raises its failure to the caller;
  // runs once.
  void release();
  void OnFinalRelease() override { release(); }

  // Late-bound calls through the member table.
  DispId GetIDOfName(std::string_view name) override;
  Variant Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) override;

  // C++ API beyond the script's view.
  // MaxFileSize in 64 bits, for hosts whose limit a script's 32-bit put
  // cannot carry: same effect as the put otherwise.
  void setMaxFileSizeBytes(int64_t bytes);
  // The last failure that stopped the parsing of the body, if any.
  const std::optional<RaisedError>& lastParseFailure() const { return body_.lastParseFailure_; }
  // What became of every file the body carried, in body order: kept
  // current through the release, so a host that takes it before releasing
  // the object reads the final outcome after.
  std::shared_ptr<const std::vector<FileRecord>> fileRecords() const { return writer_.records(); }
  // The host's policy, asked once per part whose headers are complete; none
  // (the default) decides as the script's settings say. REQUIRES: set before
  // storeUploadedFiles.
  void setPartPolicy(std::shared_ptr<PartPolicy> policy) { partPolicy_ = std::move(policy); }
  // Replaces the file layer (tests inject failures). REQUIRES: `layer`
  // outlives the object; no file is open.
  void setFileLayer(modWin32::FileLayer& layer) { writer_.setFileLayer(layer); }
  // Replaces the store the files go to (a host's store, with its sync
  // choice). One store per object. REQUIRES: set before storeUploadedFiles.
  void setStore(std::shared_ptr<Store> store) { writer_.setStore(std::move(store)); }

 private:
  // Upload object.
  // Returns Form, creating an empty collection first when there is none.
  std::shared_ptr<Collection>& form();

  // Request body reader.
  // Reads the body chunk by chunk into body_.abChunk and scans each; a parse
  // failure sets bAbort and is kept, the notice goes to the response. Once
  // every announced byte arrived, commits the upload.
  void readRequestBody();
  // Writes the notice of a stopped parse to the response, and the pending
  // error's number and text when there is one (a failing write replaces it).
  void writeAbortNotice(std::optional<RaisedError>& pending);
  // The body arrived whole: clears bUploadAllFilesOrNone, ends a file still
  // open and commits every file under its final name.
  void commitUpload();

  // Line scanner (all of scan_; raises what handleLine and writeBytes raise).
  // Hands every line of the current chunk to handleLine, capturing the
  // delimiter first; leaves body_.lChunkPos at the chunk end.
  void processChunk();
  // Takes the body's first line as the delimiter once it is whole. Raises the
  // scanner's errors for an empty or over-long first line.
  void captureBoundary();
  // Returns 1 with the next line in abLine (lLineLength bytes) and
  // lChunkPos past it, or 0 with the chunk consumed and its tail carried.
  int32_t nextLine();
  // The first byte of a chunk after one that ended in CR: returns 1 when
  // that CR ended a line to hand over, 0 to go on scanning from lChunkPos.
  int32_t takeCarriedCR();
  // Header mode: returns 1 with one header line in abLine, or 0 with the
  // chunk's tail carried. Raises the scanner's errors for an over-long line.
  int32_t nextHeaderLine();
  // Content mode: writes content up to the next delimiter line and returns 1
  // with that line in abLine, or writes what cannot begin one and returns 0.
  int32_t nextContentLine();
  // Writes the held-back CR LF and the carried line bytes, leaving none.
  void writeHeldBack();
  // Appends chunk[from, from + count) to the carried line bytes.
  void carry(int32_t from, int32_t count);
  // Whether the `held` carried bytes followed by the chunk from `from` begin
  // a delimiter line; see line_scanner.cpp. Changes nothing.
  struct Prospect;
  Prospect measureProspect(int32_t held, int32_t from, bool delimiterFound) const;

  // Part state machine (all of part_, and bInContent/bPendingCRLF).
  // Acts on the line in abLine: a delimiter ends the part, headers start an
  // item, content goes to writeBytes. Leaves lLineLength 0 for a used line.
  void handleLine();
  // Opens the file of a part whose header names one. Raises 0x800401F7 for
  // an empty file name and the writer's errors, prefixed; lInFilePart says
  // whether a file is open after.
  void prepareFilePart(std::string_view strCDHeader, bool merged);
  // Closes the part's file, sizing the item; an over-limit file is abandoned.
  void finishFilePart();
  // Counts a part that a delimiter line opens. Raises 0x800401FC (and sets
  // body_.stopReading_) when it is one more than MaxParts allows.
  void countPart();
  // Hands content to the current part: a file part's file, a field's value
  // (one entry per part), or nowhere for a part without an item.
  void writeBytes(const uint8_t* buffer, int32_t count, int32_t start);
  // Sizes the item of the open file and abandons the file (deleted when
  // DeleteMaxFile is set). Never raises.
  void abandonUploadFile() noexcept;

  // Header patterns and byte comparison.
  void initHeaderPatterns();
  // Returns 0 when count bytes of a and b at their offsets are equal, else 1.
  static int32_t bytesEqual(const uint8_t* a, int32_t offsetA, const uint8_t* b, int32_t offsetB,
                            int32_t count);
  // Returns 0 when line[start..] begins with pattern's count bytes (letters
  // folded when foldCase), else 1.
  static int32_t matchBytes(const uint8_t* pattern, const uint8_t* line, int32_t count, Boolean foldCase,
                            int32_t start);

  // Form reset and upload clean-up.
  // Abandons an open file, deletes the stored files when
  // bUploadAllFilesOrNone is still set, empties Form and drops it.
  void resetForm();

 public:
  // Public data member, as the script sees it.
  std::shared_ptr<Collection> Form;

 private:
  // What the script assigns.
  struct Settings {
    std::string strUploadDirectory;
    int64_t lMaxFileSize = 0;
    int32_t lMaxFileSizeSet = 0;
    Boolean bUploadAllFilesOrNone = kTrue;
    Boolean bDeleteMaxFile = kFalse;
    int32_t maxFieldSize_ = 0;
    int32_t maxParts_ = 0;
  } settings_;

  // The request, its body read chunk by chunk, and how processing went.
  struct Body {
    std::shared_ptr<HostRequest> objRequest;
    std::shared_ptr<HostResponse> objResponse;
    std::unique_ptr<uint8_t[]> abChunk;  // kRequestSize bytes once reading starts
    int32_t lChunkLength = 0;
    int32_t lChunkPos = 0;
    Boolean bAbort = kFalse;
    Boolean bProcessed = kFalse;
    std::optional<RaisedError> lastParseFailure_;
    bool terminated_ = false;
    // Delimiter lines that opened a part.
    int32_t partsOpened_ = 0;
    // A limit was crossed: no further body byte is read.
    bool stopReading_ = false;
  } body_;

  // The line scanner: the delimiter and what a chunk border cut.
  struct Scanner {
    Boolean bBoundaryKnown = kFalse;
    int32_t lBoundaryLength = 0;
    std::array<uint8_t, kBoundaryCapacity> abBoundary{};
    std::vector<uint8_t> abLine;  // kLineCapacity bytes while storeUploadedFiles reads
    int32_t lLineLength = 0;
    // A CR ended the last chunk; the next byte decides whether it ends a line.
    Boolean bCRAtChunkEnd = kFalse;
    // A CR LF that ended a content line is held back until the next line is
    // known not to be a delimiter line.
    Boolean bPendingCRLF = kFalse;
    // Inside a part's content (set by the part state machine).
    Boolean bInContent = kFalse;
    // Nothing of the current part's content has been written yet: the line
    // that begins right after the headers' blank line may be a delimiter
    // line although no line end of the content precedes it.
    bool atContentStart_ = false;
    std::array<uint8_t, 2> abCRLF{};
  } scan_;

  // The part being received.
  struct Part {
    int32_t lPartState = 0;
    int32_t lInFilePart = 0;
    std::shared_ptr<FormItem> objCurrentItem;
    std::array<uint8_t, 12> abContentType{};
    std::array<uint8_t, 19> abContentDisposition{};
    // The current part has a Content-Disposition line; content of a part
    // without one is skipped.
    bool partHasItem_ = false;
    // The open file is the current item's own file (its first), whose size
    // the item reports; later files merged under the same name are stored
    // but not sized on the item.
    bool fileIsItemsOwn_ = false;
    // The current part already handed content to its item: later pieces of
    // the same part join its entry instead of adding one.
    bool valueStarted_ = false;
    // Bytes of the current part's field value, for MaxFieldSize.
    int64_t fieldBytes_ = 0;
  } part_;

  // The file of a file part and the record of every file stored (hFile,
  // strFilePath, lFileSize, bMaxSizeExceeded live there).
  UploadFileWriter writer_;
  std::shared_ptr<PartPolicy> partPolicy_;
};

}  // namespace parcelmoor
