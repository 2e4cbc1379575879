#pragma once
// The upload object a page script creates and drives: bound to a request by
// OnStartPage, configured by its properties, it reads the request body once
// (storeUploadedFiles) and feeds it to the multipart parser, whose events it
// turns into form items and stored files. The body reader, part state
// machine and form reset are private operations of this class, each working
// on its own group of the members below; the file of a file part and the
// record of stored files belong to the file writer.
//
// One object serves one request and is used on one thread. Releasing it runs
// termination: Form is emptied and, unless the whole body arrived (or the
// script switched UploadAllFilesOrNone off), the files it stored are deleted.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "form/form_item.h"
#include "multipart/multipart_parser.h"
#include "runtime/collection.h"
#include "runtime/object.h"
#include "runtime/raised_error.h"
#include "storage/mod_win32.h"
#include "upload/upload_file_writer.h"
#include "upload/host_interfaces.h"
#include "upload/part_policy.h"

namespace parcelmoor {

// A file whose bytes arrived whole by other means (a resumable upload's),
// to be taken in as the one file part of a body.
struct FinishedFile {
  std::string fieldName;
  std::string clientPath;   // as the client gave it; the file name is its last piece
  std::string contentType;  // the client's word on its type: a hint, as a part's header is
  FinishedBytes* bytes = nullptr;
};

class UploadFile : public Object, private MultipartConsumer {
 public:
  static constexpr int32_t kRequestSize = 65535;  // bytes asked of each read
  static constexpr int32_t kBoundaryCapacity = MultipartParser::kBoundaryCapacity;
  static constexpr int32_t kLineCapacity = MultipartParser::kLineCapacity;

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
  // C++ API: in place of the request's body, takes in `file` as a body of
  // that one file part would be taken in (an item, the part policy's
  // decision and judgement of its first bytes, the record, the commit of a
  // body that arrived whole), without copying its bytes. Once only, as
  // storeUploadedFiles; raises as it does. REQUIRES: `file.bytes` outlives
  // the commit.
  int32_t storeFinishedFile(const FinishedFile& file);
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
  // Settings beyond those, off by default. SkipEmptyFileInputs: a file part
  // whose file name is empty (a file input sent without a file) stores
  // nothing, keeps its item, and the body goes on; its record says no file.
  // Off, such a part raises 0x800401F7 and stops the parsing.
  void put_SkipEmptyFileInputs(Boolean bSkip) { settings_.skipEmptyFileInputs_ = bSkip; }
  Boolean get_SkipEmptyFileInputs() const { return settings_.skipEmptyFileInputs_; }
  // MaxTotalFieldSize: the most bytes all plain fields' values of the body
  // may have together, 0 (or less) meaning none; crossing it stops like
  // MaxFieldSize. A limit above 2147483647 (C++ API) reads as 2147483647.
  void put_MaxTotalFieldSize(int32_t bytes) { setMaxTotalFieldBytes(bytes); }
  int32_t get_MaxTotalFieldSize() const;
  // FileRecords (read-only, dispatch id 0x68030008): a new collection with
  // one keyed collection per file part the body carried so far, as
  // upload/file_records_view.h lists them; read it after storeUploadedFiles
  // for the final outcomes.
  // UploadOutcome (read-only, dispatch id 0x68030009): a new collection
  // keyed Status, Reason, Word and FilesStored: what the upload means for
  // its sender, as the hosts answer it (upload/upload_verdict.h). Read after
  // storeUploadedFiles and before the release, it tells what the release
  // will leave: an upload that did not arrive whole keeps no file.
  std::shared_ptr<Collection> get_UploadOutcome() const;

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
  // MaxTotalFieldSize in 64 bits; 0 or less: none.
  void setMaxTotalFieldBytes(int64_t bytes) { settings_.maxTotalFieldBytes_ = bytes; }
  // The last failure that stopped the parsing of the body, if any.
  const std::optional<RaisedError>& lastParseFailure() const { return body_.lastParseFailure_; }
  // What became of every file the body carried, in body order: kept
  // current through the release, so a host that takes it before releasing
  // the object reads the final outcome after.
  std::shared_ptr<const std::vector<FileRecord>> fileRecords() const { return writer_.records(); }
  // The host's policy, asked once per part with a Content-Disposition line
  // when its headers are complete (or the part ends first); none (the
  // default) decides as the script's MaxFileSize and DeleteMaxFile say. A
  // file input sent without a file under SkipEmptyFileInputs is not asked
  // about. REQUIRES: set before storeUploadedFiles.
  void setPartPolicy(std::shared_ptr<PartPolicy> policy) { partPolicy_ = std::move(policy); }
  // Replaces the file layer (tests inject failures). REQUIRES: `layer`
  // outlives the object; no file is open.
  void setFileLayer(modWin32::FileLayer& layer) { writer_.setFileLayer(layer); }
  // Replaces the store the files go to (a host's store, with its sync
  // choice). One store per object. REQUIRES: set before storeUploadedFiles.
  void setStore(std::shared_ptr<Store> store) { writer_.setStore(std::move(store)); }
  // Each stored file's record gets the SHA-256 of its kept bytes.
  void setChecksums(bool on) { writer_.setChecksums(on); }
  // For a host that asks someone (an application) before anything is kept:
  // while held, a body that arrives whole commits nothing, each file waits
  // at its record's pendingPath, and the host then calls commitHeld (the
  // files take their final names) or discardHeld (they are given up, and an
  // earlier file of the same name stays as it was). Files still held at
  // the release are given up. REQUIRES: set before storeUploadedFiles.
  void holdCommits() { writer_.holdCommits(true); }
  void commitHeld() {
    writer_.holdCommits(false);
    writer_.commitAll();
  }
  void discardHeld() noexcept { writer_.discardUncommitted(); }
  // Gives up the held file of fileRecords()[record] alone (the others stay
  // held) and returns its record for the host to say why; nullptr when no
  // file of that record is held.
  FileRecord* discardHeldFile(size_t record) noexcept { return writer_.discardUncommittedOf(record); }

 private:
  // Upload object.
  // Returns Form, creating an empty collection first when there is none.
  std::shared_ptr<Collection>& form();

  // Runs `intake` once, as the first call of storeUploadedFiles or
  // storeFinishedFile, keeping what it raises for UploadOutcome.
  int32_t processOnce(const std::function<void()>& intake);
  // The finished file as the one part of a body (finished_file_intake.cpp).
  void takeFinishedFile(const FinishedFile& file);
  // Opens the finished file's record: taken in whole, or recorded as
  // deleted when it is over the decided limit.
  void adoptFinishedFile(const PartDecision& decision);

  // Request body reader.
  // Reads the body chunk by chunk (body_.chunkBytes) and parses each; a parse
  // failure sets bAbort and is kept, the notice goes to the response. Once
  // every announced byte arrived, commits the upload.
  void readRequestBody();
  // Hands the chunk to the parser; raises what its events raise and the
  // error of a refusal.
  void parseChunk();
  // Writes the notice of a stopped parse to the response, and the pending
  // error's number and text when there is one (a failing write replaces it).
  void writeAbortNotice(std::optional<RaisedError>& pending);
  // The body arrived whole: clears bUploadAllFilesOrNone, ends a file still
  // open and commits every file under its final name.
  void commitUpload();

  // The parser's events (part_state_machine.cpp): a delimiter line counts
  // a part, a Content-Disposition line makes a form item, the end of a
  // part's headers decides what becomes of the part (part_decision.cpp),
  // content goes to the file or the item's value, a delimiter line ends the
  // part's file.
  void OnPartBegin() override;
  void OnDisposition(std::string_view headerLine) override;
  void OnContentType(std::string_view value) override;
  void OnHeadersComplete() override;
  void OnContent(std::span<const uint8_t> bytes) override;
  void OnPartEnd() override;
  void OnBodyEnd() override {}
  // Raises the error of the parser's refusal.
  [[noreturn]] void raiseRefusal(MultipartRefusal refusal);

  // Part state machine (all of part_).
  // Keeps what a file-naming header says for the decision at the end of the
  // part's headers; sets the item's value to the client path. Raises
  // 0x800401F7 for an empty file name unless SkipEmptyFileInputs is set.
  void prepareFilePart(std::string_view strCDHeader, bool merged);
  // The same for a file whose item `ownFile` names it.
  void prepareNamedFile(const FormItem& ownFile, bool merged);
  // The part's headers are complete (or the part, or the body, ended
  // before): asks the policy once and acts on its answer, opening the file
  // of a stored file part. Raises the writer's errors, prefixed.
  void decidePart();
  // What the policy answers for the current part (the script's limits when
  // no policy is set).
  PartDecision askPolicy();
  // The current part's headers as the policy sees them; `fieldName` holds
  // the field name the result views.
  PartHeaders currentHeaders(std::string& fieldName) const;
  // While the policy judges a stored file's content (content_judgement.cpp):
  // takes up to PartPolicy::kJudgedBytes of the part's first bytes into the
  // held buffer, judging them once it is full, and returns the bytes past
  // the held ones, which go where the judgement sent the file.
  std::span<const uint8_t> holdContent(std::span<const uint8_t> bytes);
  // Asks the policy about the held bytes (all there are when the part ended
  // sooner): accepted, the file is opened and given them; refused, it is
  // recorded so and the rest of the part is read past. Raises as
  // openFilePart.
  void judgeHeldContent();
  // Opens the current part's file with the decided limit.
  void openFilePart(const PartDecision& decision);
  // Records a file part stored nowhere: refused, or no file.
  void recordFileWithoutFile(const PartDecision& decision);
  // A file-naming part whose headers never completed is decided now, at the
  // body's end, as it would have been at its blank line; a failure is kept
  // as the parse failure.
  void decidePendingFilePart();
  // Closes the part's file, sizing the item; an over-limit file is abandoned.
  void finishFilePart();
  // Counts a part that a delimiter line opens. Raises 0x800401FC (and sets
  // body_.stopReading_) when it is one more than MaxParts allows.
  void countPart();
  // Hands content to a plain field's value (one entry per part). Raises
  // when MaxFieldSize or MaxTotalFieldSize is crossed.
  void writeFieldValue(std::span<const uint8_t> bytes);
  // Sizes the item of the open file and abandons the file (deleted when the
  // part's decision says so). Never raises.
  void abandonUploadFile() noexcept;

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
    Boolean skipEmptyFileInputs_ = kFalse;
    int64_t maxTotalFieldBytes_ = 0;
  } settings_;

  // The request, its body read chunk by chunk, and how processing went.
  struct Body {
    std::shared_ptr<HostRequest> objRequest;
    std::shared_ptr<HostResponse> objResponse;
    std::unique_ptr<uint8_t[]> abChunk;  // kRequestSize bytes once reading starts
    // The next read's buffer: reads alternate between the two, so the last
    // chunk's file content can still be hashed while the next arrives.
    std::unique_ptr<uint8_t[]> abNextChunk;
    // The current chunk's bytes: in abChunk, or where the host holds them.
    const uint8_t* chunkBytes = nullptr;
    int32_t lChunkLength = 0;
    int32_t lChunkPos = 0;
    Boolean bAbort = kFalse;
    Boolean bProcessed = kFalse;
    std::optional<RaisedError> lastParseFailure_;
    std::optional<RaisedError> lastRaised_;  // what storeUploadedFiles raised
    bool terminated_ = false;
    // Delimiter lines that opened a part.
    int32_t partsOpened_ = 0;
    // A limit was crossed: no further body byte is read.
    bool stopReading_ = false;
    // Bytes of all plain fields' values so far, for MaxTotalFieldSize.
    int64_t fieldsBytes_ = 0;
  } body_;

  // The body's parser while storeUploadedFiles reads.
  std::unique_ptr<MultipartParser> parser_;

  // The part being received.
  struct Part {
    int32_t lInFilePart = 0;
    std::shared_ptr<FormItem> objCurrentItem;
    // The current part has a Content-Disposition line; content of a part
    // without one is skipped.
    bool partHasItem_ = false;
    // The policy has answered for the current item's part.
    bool decided_ = false;
    // The current item's header names a file (with a file name, or an empty
    // one under SkipEmptyFileInputs).
    bool namesFile_ = false;
    // The decision was not to store: the part's content is read past.
    bool dropContent_ = false;
    // An over-limit file is deleted instead of cut (the decision's).
    bool deleteOverLimit_ = false;
    // The open file is the current item's own file (its first), whose size
    // the item reports; later files merged under the same name are stored
    // but not sized on the item.
    bool fileIsItemsOwn_ = false;
    // The current part already handed content to its item: later pieces of
    // the same part join its entry instead of adding one.
    bool valueStarted_ = false;
    // Bytes of the current part's field value, for MaxFieldSize.
    int64_t fieldBytes_ = 0;
    // What the headers say, for the decision: the file name and client path
    // of this part's own file, and the Content-Type value.
    std::string fileName_;
    std::string clientPath_;
    std::string contentType_;
    // The file's first bytes are held for the policy's judgement of its
    // content (only under a policy that judgesContent): the file is opened
    // with `judgedDecision_` once they are judged acceptable.
    bool judging_ = false;
    PartDecision judgedDecision_;
    // PartPolicy::kJudgedBytes, made at the first judged part and reused.
    std::unique_ptr<uint8_t[]> heldBytes_;
    size_t heldCount_ = 0;
    // The part's bytes arrived whole before (storeFinishedFile): its file
    // is taken in from them rather than opened and written.
    FinishedBytes* finished_ = nullptr;
  } part_;

  // The file of a file part and the record of every file stored (hFile,
  // strFilePath, lFileSize, bMaxSizeExceeded live there).
  UploadFileWriter writer_;
  std::shared_ptr<PartPolicy> partPolicy_;
};

}  // namespace parcelmoor
