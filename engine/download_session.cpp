#include "download_session.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "base/file_name.h"
#include "checksum_manifest.h"
#include "path_text.h"
#include "platform/engine_file.h"
#include "response_rules.h"
#include "segment_map.h"
#include "transport/throttle.h"

#ifndef ZDL_MAX_CONNECTIONS
#define ZDL_MAX_CONNECTIONS 16
#endif

namespace zdl {
namespace {

using Clock = std::chrono::steady_clock;
using lumo::platform::EngineFile;

constexpr uint32_t kDefaultConnectTimeoutSeconds = 30;
constexpr auto kSpeedSampleEvery = std::chrono::milliseconds(200);
constexpr auto kCurrentSpeedWindow = std::chrono::milliseconds(1000);
constexpr size_t kMaxMetaBytes = 16384;
constexpr int kMaxAttempts = 2;  // one restart from zero when a resume cannot be used

// Connections of one file. More are opened while they add throughput: a mirror that caps each
// connection climbs, an open one stays at one.
constexpr int kMaxConnections = ZDL_MAX_CONNECTIONS > 0 ? ZDL_MAX_CONNECTIONS : 1;
constexpr uint64_t kMinSegmentedBytes = 4ull << 20;  // smaller files cannot win the set-up back
constexpr uint64_t kMinPieceBytes = 1ull << 20;      // ranges are not split below this
constexpr auto kGrowWindow = std::chrono::milliseconds(150);
// More connections only while the rest of the file would take longer than this at the
// present rate; and only while the last step gained this share of what it could have.
constexpr double kMinGainSeconds = 1.0;
constexpr double kMinGainShare = 0.3;
// A lone connection whose thread is busy this share of the time is held back by this machine,
// not by the server: more connections would only share the same processor.
constexpr double kBusyShare = 0.5;
constexpr auto kCheckpointEvery = std::chrono::seconds(2);
constexpr int kMaxIdleRetries = 3;  // failed exchanges in a row, without a byte, per connection

// The one mapping of an HTTP status that ends a transfer to a result code; the extended code
// is the status itself.
EngineResult ResultFromHttpStatus(uint32_t status) {
  return EngineResult{status == 404 ? kZdlResultNotFound : kZdlResultServer,
                      static_cast<int32_t>(status)};
}

uint32_t ClampToU32(uint64_t value) {
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

bool IsHttpUrl(const char* url) {
  auto startsWith = [url](const char* prefix) {
    size_t n = std::strlen(prefix);
    for (size_t i = 0; i < n; ++i) {
      char c = url[i];
      if (c == '\0') return false;
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != prefix[i]) return false;
    }
    return true;
  };
  return startsWith("http://") || startsWith("https://");
}

}  // namespace

class DownloadSession::Core final : public TransferObserver {
 public:
  Core(std::string url, WString checksumPath, WString saveDir, WString fileName,
       std::shared_ptr<Throttle> throttle, std::unique_ptr<Transport> transport)
      : url_(std::move(url)),
        checksumPath_(std::move(checksumPath)),
        saveDir_(std::move(saveDir)),
        fileName_(std::move(fileName)),
        throttle_(std::move(throttle)),
        transport_(std::move(transport)) {
    // A name may hold subfolders of the save folder, with either separator.
    WString name = fileName_;
    for (auto& c : name) {
      if (lumo::platform::IsPathSeparator(c)) c = lumo::platform::kPathSeparator;
    }
    size_t cut = name.find_last_of(lumo::platform::kPathSeparator);
    if (cut != WString::npos && cut > 0) folders_ = name.substr(0, cut);
    finalPath_ = JoinPath(saveDir_, name);
    partDir_ = folders_.empty() ? saveDir_ : JoinPath(saveDir_, folders_);
    partPath_ = finalPath_ + Utf8ToWide(".part");
    metaPath_ = finalPath_ + Utf8ToWide(".part.meta");
  }

  int32_t SetOption(int32_t id, const void* value, uint32_t size);
  int32_t GetOption(int32_t id, void* value, uint32_t* size);
  // Starts the clock and puts the options in force; false when already started.
  bool MarkStarted();
  void Run();
  void Cancel() {
    cancelled_.store(true);
    transport_->Cancel();
    throttle_->Cancel();
    StopHelpers();
  }
  void FailToStart() { Finish(EngineResult{kZdlResultGeneral, 0}); }
  // An abort before Start ends the session at once; Start then fails.
  void AbortUnstarted() {
    {
      lumo::MutexLock lock(optionsLock_);
      if (started_) return;
      started_ = true;
    }
    Finish(EngineResult{kZdlResultAborted, 0});
  }

  void Status(int32_t* status, uint64_t* total, uint64_t* downloaded, uint32_t* average,
              uint32_t* current);
  int32_t Result(int32_t* result, int32_t* extended);
  void FileInfo(ZdlFileInfo* info);

  // TransferObserver, on the engine thread.
  bool OnResponse(const ResponseHead& head) override;
  bool OnData(const void* data, size_t length) override;

  // One connection of a segmented transfer, with the range it works on.
  class Connection;
  // Connections' exchanges, on their threads.
  bool OnSegmentResponse(Connection& connection, const ResponseHead& head);
  bool OnSegmentData(Connection& connection, const void* data, size_t length);

  CompletionNotifier notifier;  // told once the status is final

 private:
  struct Sample {
    Clock::time_point at;
    uint64_t bytes;
  };

  EngineResult Transfer();
  // A session that ends unfinished gives back its reserved room and leaves no empty part of
  // its own making behind.
  void Abandon();
  void Finish(EngineResult result);
  bool ReadMeta(PartMeta* meta);
  void WriteValidator(const std::string& validator);
  // The finished ranges, once their bytes are on the device.
  void WriteRangedMeta();
  void MaybeCheckpoint();
  // Splits the rest of the file into segments, the main connection on the first; on the
  // engine thread, between or inside the main connection's calls.
  void EnterSegmented(const std::vector<ByteRange>& pending, uint64_t mainAt, uint64_t mainEnd);
  // Opens more connections, or closes the last ones added, by the throughput they brought.
  void MaybeGrow();
  void GrowLocked() REQUIRES(growLock_);
  void SpawnHelpersLocked(int from, int to) REQUIRES(helpersLock_);
  // Runs a connection until no work is left for it; `first` is an exchange already done.
  void RunConnection(Connection& connection, const TransferOutcome* first);
  void RunHelper(Connection* connection);
  // Ends the segmented transfer: the file is fetched again from zero on one connection.
  void FallBack();
  void StopHelpers();
  void JoinHelpers();
  void RecordSegmentFailure(EngineResult result, const std::string& detail);
  // What a segmented transfer came to once every connection has ended.
  EngineResult FinishSegmented(bool* again);
  void Fail(EngineResult result) {
    failed_ = true;
    failure_ = result;
  }
  bool ClaimFits(uint64_t total);
  // Applies the options that act on the transport at once; under optionsLock_.
  void ApplyLiveOptionsLocked() REQUIRES(optionsLock_);
  void AddSample(bool force);
  uint64_t ElapsedMs();
  TransferRequest NewRequest();

  const std::string url_;
  const WString checksumPath_;
  const WString saveDir_;
  const WString fileName_;
  WString folders_;  // subfolders of saveDir_ named by fileName_, or empty
  WString partDir_;
  WString finalPath_;
  WString partPath_;
  WString metaPath_;
  const std::shared_ptr<Throttle> throttle_;    // rate and deadline of every connection
  const std::unique_ptr<Transport> transport_;  // Cancel is thread-safe

  lumo::Mutex optionsLock_;
  SessionOptions options_ GUARDED_BY(optionsLock_);
  bool started_ GUARDED_BY(optionsLock_) = false;
  Clock::time_point startedAt_ GUARDED_BY(optionsLock_);  // set with started_

  // Read by the polling threads, written by the engine thread.
  std::atomic<int32_t> status_{kZdlStatusInit};
  std::atomic<uint64_t> total_{0};
  std::atomic<uint64_t> downloaded_{0};
  std::atomic<uint64_t> resumedFrom_{0};
  std::atomic<bool> cancelled_{false};
  std::atomic<int64_t> startNs_{0};       // steady clock at Start
  std::atomic<int64_t> finalElapsedMs_{-1};  // frozen when the session ends

  lumo::Mutex resultLock_;
  EngineResult result_ GUARDED_BY(resultLock_){kZdlResultGeneral, 0};
  std::string detail_ GUARDED_BY(resultLock_);

  lumo::Mutex speedLock_;
  std::deque<Sample> samples_ GUARDED_BY(speedLock_);  // the last ~2 s of progress
  Clock::time_point lastSample_ GUARDED_BY(speedLock_);

  // Segmented transfers. The map and the file are shared by the connections; the flags below
  // are read by all of them.
  SegmentMap segments_;
  std::atomic<bool> segmented_{false};
  std::atomic<bool> stopSegments_{false};
  std::atomic<bool> fallBack_{false};
  std::atomic<bool> noMoreConnections_{false};  // a server refused an extra connection
  std::atomic<int> allowed_{1};                 // connections with a lower index may work
  lumo::Mutex helpersLock_;
  lumo::CondVar helpersChanged_;
  std::vector<std::unique_ptr<Connection>> helpers_ GUARDED_BY(helpersLock_);
  int helpersRunning_ GUARDED_BY(helpersLock_) = 0;
  bool helpersStopped_ GUARDED_BY(helpersLock_) = false;
  lumo::Mutex segmentFailureLock_;
  bool segmentFailed_ GUARDED_BY(segmentFailureLock_) = false;
  EngineResult segmentFailure_ GUARDED_BY(segmentFailureLock_);
  std::string segmentFailureDetail_ GUARDED_BY(segmentFailureLock_);
  lumo::Mutex growLock_;
  bool growing_ GUARDED_BY(growLock_) = false;
  bool probing_ GUARDED_BY(growLock_) = false;  // the last step is being judged
  int countBefore_ GUARDED_BY(growLock_) = 1;
  double rateBefore_ GUARDED_BY(growLock_) = 0;
  Clock::time_point windowStart_ GUARDED_BY(growLock_);
  uint64_t windowBytes_ GUARDED_BY(growLock_) = 0;
  uint64_t windowCpuNs_ GUARDED_BY(growLock_) = 0;  // the lone connection's thread, at the start
  lumo::Mutex checkpointLock_;
  Clock::time_point lastCheckpoint_ GUARDED_BY(checkpointLock_);

  // Engine thread only.
  EngineFile file_;
  uint64_t offset_ = 0;  // bytes of the part file the current answer continues
  std::string validator_;
  bool partCreated_ = false;  // this session made the part file
  bool failed_ = false;
  EngineResult failure_;
  std::string failureDetail_;
  bool restart_ = false;          // the answer cannot continue the part: start over
  bool alreadyComplete_ = false;  // 416 for a part that already holds the whole file
  bool confirmEnd_ = false;       // 416 without validator: ask for the last byte next
  bool confirming_ = false;       // this exchange asks for the last byte of the part
  bool segmentsAllowed_ = true;   // false once a resume met a changed file or a plain answer
  bool canGrow_ = false;          // the answer allows ranges on more connections
  PartMeta resume_;               // the part's record when the session began
  uint64_t rangeEnd_ = 0;         // end of the range the main exchange asks for (0: the end)
  std::unique_ptr<Connection> main_;
};

class DownloadSession::Core::Connection final : public TransferObserver {
 public:
  Connection(Core* core, Transport* transport, std::unique_ptr<Transport> owned, int index)
      : core_(core), transport(transport), owned_(std::move(owned)), index(index) {}
  bool OnResponse(const ResponseHead& head) override {
    return core_->OnSegmentResponse(*this, head);
  }
  bool OnData(const void* data, size_t length) override {
    return core_->OnSegmentData(*this, data, length);
  }

 private:
  Core* const core_;

 public:
  Transport* const transport;
  const std::unique_ptr<Transport> owned_;
  const int index;  // 0: the session's own connection
  std::thread thread;
  // The connection's thread only.
  int segment = SegmentMap::kNone;
  ByteRange range;
  uint64_t progress = 0;  // bytes written over its life
  bool refused = false;   // 429 or 503
  bool changed = false;   // the answer is of another file, or the whole file
  bool retired = false;
  bool httpFailed = false;
  EngineResult httpFailure;
};

int32_t DownloadSession::Core::SetOption(int32_t id, const void* value, uint32_t size) {
  if (value == nullptr && size > 0) return kZdlPointer;
  auto u32 = [value, size](uint32_t* out) {
    if (size < sizeof(uint32_t)) return false;
    std::memcpy(out, value, sizeof(uint32_t));
    return true;
  };
  auto text = [value, size](std::string* out) {
    const char* p = static_cast<const char*>(value);
    size_t n = 0;
    while (n < size && p[n] != '\0') ++n;
    out->assign(p, n);
  };
  lumo::MutexLock lock(optionsLock_);
  // A running session takes every option but overwrite: its data is already chosen.
  switch (id) {
    case kZdlOptionMaxSpeed:
      if (!u32(&options_.maxBytesPerSecond)) return kZdlInvalidArg;
      break;
    case kZdlOptionConnectTimeout:
      if (!u32(&options_.connectTimeoutSeconds)) return kZdlInvalidArg;
      break;
    case kZdlOptionOverwrite:
      if (started_) return kZdlWrongState;
      if (size < 1) return kZdlInvalidArg;
      options_.overwrite = static_cast<const uint8_t*>(value)[0] != 0;
      break;
    case kZdlOptionProxy:
      text(&options_.proxy);
      break;
    case kZdlOptionUserAgent:
      text(&options_.userAgent);
      break;
    case kZdlOptionTransferTimeout:
      if (!u32(&options_.transferTimeoutSeconds)) return kZdlInvalidArg;
      break;
    default:
      return kZdlInvalidArg;
  }
  if (started_) ApplyLiveOptionsLocked();
  return kZdlOk;
}

void DownloadSession::Core::ApplyLiveOptionsLocked() {
  transport_->SetMaxBytesPerSecond(options_.maxBytesPerSecond);
  transport_->SetDeadline(options_.transferTimeoutSeconds == 0
                              ? Clock::time_point::max()
                              : startedAt_ + std::chrono::seconds(options_.transferTimeoutSeconds));
}

int32_t DownloadSession::Core::GetOption(int32_t id, void* value, uint32_t* size) {
  if (size == nullptr || (value == nullptr && *size > 0)) return kZdlPointer;
  std::vector<uint8_t> bytes;
  auto putU32 = [&bytes](uint32_t v) {
    bytes.resize(sizeof v);
    std::memcpy(bytes.data(), &v, sizeof v);
  };
  {
    lumo::MutexLock lock(optionsLock_);
    switch (id) {
      case kZdlOptionMaxSpeed: putU32(options_.maxBytesPerSecond); break;
      case kZdlOptionConnectTimeout: putU32(options_.connectTimeoutSeconds); break;
      case kZdlOptionOverwrite: bytes.push_back(options_.overwrite ? 1 : 0); break;
      case kZdlOptionProxy: bytes.assign(options_.proxy.begin(), options_.proxy.end()); break;
      case kZdlOptionUserAgent:
        bytes.assign(options_.userAgent.begin(), options_.userAgent.end());
        break;
      case kZdlOptionTransferTimeout: putU32(options_.transferTimeoutSeconds); break;
      case kZdlOptionFailureDetail: {
        lumo::MutexLock result(resultLock_);
        bytes.assign(detail_.begin(), detail_.end());
        break;
      }
      default: return kZdlInvalidArg;
    }
  }
  if (*size < bytes.size()) {
    *size = static_cast<uint32_t>(bytes.size());
    return kZdlInvalidArg;
  }
  if (!bytes.empty()) std::memcpy(value, bytes.data(), bytes.size());
  *size = static_cast<uint32_t>(bytes.size());
  return kZdlOk;
}

bool DownloadSession::Core::MarkStarted() {
  lumo::MutexLock lock(optionsLock_);
  if (started_) return false;
  started_ = true;
  startedAt_ = Clock::now();
  startNs_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                     startedAt_.time_since_epoch()).count());
  ApplyLiveOptionsLocked();
  return true;
}

uint64_t DownloadSession::Core::ElapsedMs() {
  int64_t frozen = finalElapsedMs_.load();
  if (frozen >= 0) return static_cast<uint64_t>(frozen);
  int64_t start = startNs_.load();
  if (start == 0) return 0;
  int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count();
  return now > start ? static_cast<uint64_t>((now - start) / 1000000) : 0;
}

void DownloadSession::Core::Finish(EngineResult result) {
  // Keep the file handle from outliving the session's end.
  if (result.result != kZdlResultSuccess) Abandon();
  file_.Close();
  finalElapsedMs_.store(static_cast<int64_t>(ElapsedMs()));
  {
    lumo::MutexLock lock(resultLock_);
    result_ = result;
    if (result.result != kZdlResultSuccess) detail_ = failureDetail_;
  }
  status_.store(result.result == kZdlResultSuccess ? kZdlStatusDownloaded : kZdlStatusError);
  notifier.Ended();
}

void DownloadSession::Core::Run() {
  EngineResult result;
  try {
    result = Transfer();
  } catch (const std::bad_alloc&) {
    result = EngineResult{kZdlResultGeneral, kZdlOutOfMemory};
  } catch (...) {
    result = EngineResult{kZdlResultGeneral, kZdlFail};
  }
  // No connection may write once the session has ended.
  stopSegments_.store(true);
  StopHelpers();
  JoinHelpers();
  Finish(result);
}

void DownloadSession::Core::Abandon() {
  if (!file_.IsOpen()) return;
  if (segmented_.load()) WriteRangedMeta();
  const uint64_t written = file_.Size();
  file_.ReleaseReserve();
  file_.Close();
  if (partCreated_ && written == 0) {
    lumo::platform::RemoveFile(partPath_);
    lumo::platform::RemoveFile(metaPath_);
  }
}

bool DownloadSession::Core::ReadMeta(PartMeta* meta) {
  EngineFile file;
  if (EngineFile::OpenForRead(metaPath_, &file) != 0) return false;
  std::vector<char> buffer(kMaxMetaBytes);
  size_t got = 0;
  if (file.Read(buffer.data(), buffer.size(), &got) != 0 || got == 0 || got == buffer.size()) {
    return false;
  }
  // Whatever the file holds becomes a request header: one clean line or nothing.
  return ParsePartMeta(std::string(buffer.data(), got), meta);
}

void DownloadSession::Core::WriteRangedMeta() {
  PartMeta meta;
  meta.validator = validator_;
  meta.ranged = true;
  meta.total = total_.load();
  meta.done = segments_.Done();
  // Ranges are claimed only once their bytes are on the device, and the record is replaced
  // whole, so a crash leaves the old record or the new one.
  const WString fresh = metaPath_ + Utf8ToWide(".new");
  const std::string text = FormatPartMeta(meta);
  EngineFile out;
  if (file_.Flush() != 0 || EngineFile::OpenForAppend(fresh, true, &out) != 0 ||
      out.Write(text.data(), text.size()) != 0 || out.Flush() != 0 || out.Close() != 0 ||
      lumo::platform::ReplaceFileWith(fresh, metaPath_) != 0) {
    lumo::platform::RemoveFile(fresh);
    lumo::platform::RemoveFile(metaPath_);
  }
}

void DownloadSession::Core::MaybeCheckpoint() {
  // Another connection writing the checkpoint is as good as this one doing it.
  if (!checkpointLock_.TryLock()) return;
  const Clock::time_point now = Clock::now();
  if (now - lastCheckpoint_ >= kCheckpointEvery) {
    lastCheckpoint_ = now;
    WriteRangedMeta();
  }
  checkpointLock_.Unlock();
}

void DownloadSession::Core::WriteValidator(const std::string& validator) {
  // Without a validator a later session cannot resume safely: it starts from zero then.
  if (!IsUsableValidator(validator)) {
    lumo::platform::RemoveFile(metaPath_);
    return;
  }
  EngineFile meta;
  std::string line = validator + "\n";
  if (EngineFile::OpenForAppend(metaPath_, true, &meta) != 0 ||
      meta.Write(line.data(), line.size()) != 0 || meta.Close() != 0) {
    lumo::platform::RemoveFile(metaPath_);
  }
}

bool DownloadSession::Core::ClaimFits(uint64_t total) {
  // Truncating for a whole file frees the part's bytes; a resume keeps them.
  const uint64_t have = std::min(total, file_.Size());
  uint64_t free = 0;
  return !lumo::platform::FreeSpaceAt(partDir_, &free) || total - have <= free;
}

bool DownloadSession::Core::OnResponse(const ResponseHead& head) {
  const bool confirmed = confirming_ && ConfirmsEnd(head, offset_, validator_);
  AnswerPlan plan =
      confirming_
          ? AnswerPlan{confirmed ? AnswerUse::kAlreadyComplete : AnswerUse::kRestart, offset_}
          : PlanAnswer(head, offset_, validator_);
  if (resume_.ranged && plan.use == AnswerUse::kAppend &&
      (!AnswerCarriesValidator(head, validator_) || plan.total != resume_.total)) {
    plan.use = AnswerUse::kRestart;
  }
  // A resume answered with the whole file, or refused, goes on with one connection.
  if ((offset_ > 0 || resume_.ranged) &&
      (plan.use == AnswerUse::kWholeFile || plan.use == AnswerUse::kRestart)) {
    segmentsAllowed_ = false;
  }
  switch (plan.use) {
    case AnswerUse::kAlreadyComplete:
      alreadyComplete_ = true;
      total_.store(plan.total);
      downloaded_.store(offset_);
      resumedFrom_.store(offset_);
      return false;
    case AnswerUse::kConfirmEnd:
      confirmEnd_ = true;
      return false;
    case AnswerUse::kRestart:
      restart_ = true;
      return false;
    case AnswerUse::kHttpError:
      Fail(ResultFromHttpStatus(head.status));
      return false;
    case AnswerUse::kEncoded:
      Fail(EngineResult{kZdlResultServer, 0});
      return false;
    case AnswerUse::kWholeFile:
    case AnswerUse::kAppend:
      break;
  }
  const bool fromZero = plan.use == AnswerUse::kWholeFile || (offset_ == 0 && !resume_.ranged);
  // A size the disk cannot hold fails this URL before anything is reserved or discarded:
  // the next mirror may tell the truth, and an earlier part stays for its resume.
  if (plan.total > 0 && !ClaimFits(plan.total)) {
    Fail(EngineResult{kZdlResultFileSystem, kZdlExtClaimExceedsSpace});
    return false;
  }
  if (fromZero) {
    // The whole file: a changed file, a server without ranges, or a part of no use.
    if (file_.Size() > 0) {
      int32_t status = file_.Truncate();
      if (status != 0) {
        Fail(EngineResult{kZdlResultFileSystem, status});
        return false;
      }
    }
    offset_ = 0;
    resume_ = PartMeta();
    validator_ = ValidatorOf(head);
    WriteValidator(validator_);
  }
  const uint64_t total = plan.total;

  uint64_t have = offset_;
  if (resume_.ranged) {
    have = total;
    for (const ByteRange& gap : MissingRanges(total, resume_.done)) have -= gap.end - gap.begin;
  }
  resumedFrom_.store(have);
  downloaded_.store(have);
  total_.store(total);
  {
    lumo::MutexLock lock(speedLock_);
    samples_.clear();
  }
  AddSample(true);

  status_.store(kZdlStatusAllocating);
  if (total > 0) {
    int32_t status = file_.Reserve(total);
    if (status != 0) {
      Fail(EngineResult{kZdlResultFileSystem, status});
      return false;
    }
  }
  canGrow_ = segmentsAllowed_ && kMaxConnections > 1 && total >= kMinSegmentedBytes &&
             IsUsableValidator(validator_) && (head.status == 206 || head.acceptsRanges);
  {
    lumo::MutexLock lock(growLock_);
    growing_ = canGrow_;
    probing_ = false;
    windowStart_ = Clock::now();
    windowBytes_ = have;
    windowCpuNs_ = lumo::platform::ThreadCpuNanoseconds();
  }
  status_.store(kZdlStatusDownloading);
  if (resume_.ranged) {
    // A part with holes goes on in segments from the start, this answer filling the first gap.
    std::vector<ByteRange> gaps = MissingRanges(total, resume_.done);
    EnterSegmented(gaps, offset_, rangeEnd_ ? rangeEnd_ : total);
  }
  return true;
}

bool DownloadSession::Core::OnData(const void* data, size_t length) {
  if (segmented_.load()) return OnSegmentData(*main_, data, length);
  int32_t status = file_.Write(data, length);
  if (status != 0) {
    Fail(EngineResult{kZdlResultFileSystem, status});
    return false;
  }
  offset_ += length;
  downloaded_.fetch_add(length, std::memory_order_relaxed);
  AddSample(false);
  if (canGrow_) MaybeGrow();
  return true;
}

void DownloadSession::Core::AddSample(bool force) {
  Clock::time_point now = Clock::now();
  lumo::MutexLock lock(speedLock_);
  if (!force && now - lastSample_ < kSpeedSampleEvery) return;
  lastSample_ = now;
  samples_.push_back(Sample{now, downloaded_.load(std::memory_order_relaxed)});
  while (samples_.size() > 2 && now - samples_[1].at > 2 * kCurrentSpeedWindow) {
    samples_.pop_front();
  }
}

void DownloadSession::Core::EnterSegmented(const std::vector<ByteRange>& pending, uint64_t mainAt,
                                           uint64_t mainEnd) {
  std::vector<ByteRange> rest;
  for (const ByteRange& range : pending) {
    if (range.end <= mainAt || range.begin >= mainEnd) {
      rest.push_back(range);
    } else {
      // The main connection's range goes first, so it claims it.
      if (range.begin < mainAt) rest.push_back(ByteRange{range.begin, mainAt});
      if (range.end > mainEnd) rest.push_back(ByteRange{mainEnd, range.end});
    }
  }
  std::vector<ByteRange> ordered{ByteRange{mainAt, mainEnd}};
  ordered.insert(ordered.end(), rest.begin(), rest.end());
  segments_.Reset(total_.load(), ordered);
  main_ = std::make_unique<Connection>(this, transport_.get(), nullptr, 0);
  main_->segment = segments_.Claim(kMinPieceBytes, &main_->range);  // the lowest: its own
  // Segments land far past the written end; without holes the file system would fill the gap
  // with zeros first.
  file_.MarkSparse();
  segmented_.store(true);
  {
    lumo::MutexLock lock(checkpointLock_);
    lastCheckpoint_ = Clock::now();
  }
  // From here on only the ranged record describes the part.
  WriteRangedMeta();
}

void DownloadSession::Core::MaybeGrow() {
  // One connection judges the window; the others go on writing.
  if (!growLock_.TryLock()) return;
  GrowLocked();
  growLock_.Unlock();
}

void DownloadSession::Core::GrowLocked() {
  if (!growing_) return;
  const Clock::time_point now = Clock::now();
  const auto window = now - windowStart_;
  if (window < kGrowWindow) return;
  const uint64_t bytes = downloaded_.load();
  const double seconds = std::chrono::duration<double>(window).count();
  const double rate = static_cast<double>(bytes - std::min(bytes, windowBytes_)) / seconds;
  windowStart_ = now;
  windowBytes_ = bytes;
  // Before the first split only the main connection calls, on its own thread.
  const bool lone = !segmented_.load();
  const uint64_t cpuNs = lone ? lumo::platform::ThreadCpuNanoseconds() : 0;
  const double busy = lone && cpuNs > windowCpuNs_
                          ? static_cast<double>(cpuNs - windowCpuNs_) / 1e9 / seconds
                          : 0;
  windowCpuNs_ = cpuNs;
  const int count = allowed_.load();
  if (probing_) {
    probing_ = false;
    const double possible = rateBefore_ * count / countBefore_;
    if (rate < rateBefore_ + kMinGainShare * (possible - rateBefore_)) {
      // The last connections brought too little: they go, their ranges to the others.
      allowed_.store(countBefore_);
      growing_ = false;
      return;
    }
  }
  const uint64_t total = total_.load();
  const uint64_t left = total - std::min(total, bytes);
  if (count >= kMaxConnections || noMoreConnections_.load() || stopSegments_.load() || rate <= 0 ||
      static_cast<double>(left) / rate < kMinGainSeconds) {
    if (count >= kMaxConnections || noMoreConnections_.load()) growing_ = false;
    return;
  }
  if (lone && busy >= kBusyShare) return;  // looked at again in the next window
  if (lone) {
    // Only the main connection runs: its thread is the caller.
    EnterSegmented({ByteRange{offset_, total}}, offset_, total);
  }
  // Four at a time while each step pays in full (a capped mirror), two once it pays less.
  const bool linear = countBefore_ > 0 && rateBefore_ > 0 && count > countBefore_ &&
                      rate >= 0.8 * rateBefore_ * count / countBefore_;
  const int next = std::min(kMaxConnections, count * (count == 1 || linear ? 4 : 2));
  countBefore_ = count;
  rateBefore_ = rate;
  probing_ = true;
  allowed_.store(next);
  lumo::MutexLock helpers(helpersLock_);
  SpawnHelpersLocked(count, next);
}

void DownloadSession::Core::SpawnHelpersLocked(int from, int to) {
  if (helpersStopped_ || cancelled_.load()) return;
  for (int index = from; index < to; ++index) {
    std::unique_ptr<Transport> transport = CreateTransport(throttle_);
    if (!transport) return;
    Transport* raw = transport.get();
    helpers_.push_back(std::make_unique<Connection>(this, raw, std::move(transport), index));
    Connection* connection = helpers_.back().get();
    ++helpersRunning_;
    try {
      connection->thread = std::thread([this, connection] { RunHelper(connection); });
    } catch (...) {
      --helpersRunning_;
      return;
    }
  }
}

void DownloadSession::Core::RunHelper(Connection* connection) {
  try {
    RunConnection(*connection, nullptr);
  } catch (const std::bad_alloc&) {
    RecordSegmentFailure(EngineResult{kZdlResultGeneral, kZdlOutOfMemory}, std::string());
  } catch (...) {
    RecordSegmentFailure(EngineResult{kZdlResultGeneral, kZdlFail}, std::string());
  }
  lumo::MutexLock lock(helpersLock_);
  --helpersRunning_;
  helpersChanged_.NotifyAll();
}

TransferRequest DownloadSession::Core::NewRequest() {
  lumo::MutexLock lock(optionsLock_);
  TransferRequest request;
  request.url = url_;
  request.ifRange = validator_;
  request.connectTimeoutSeconds = options_.connectTimeoutSeconds ? options_.connectTimeoutSeconds
                                                                 : kDefaultConnectTimeoutSeconds;
  request.proxy = options_.proxy;
  request.userAgent = options_.userAgent;
  return request;
}

void DownloadSession::Core::RunConnection(Connection& connection, const TransferOutcome* first) {
  const bool isMain = connection.index == 0;
  int idleFailures = 0;
  for (;;) {
    TransferOutcome outcome;
    const uint64_t before = connection.progress;
    if (first != nullptr) {
      outcome = *first;
      first = nullptr;
    } else {
      if (stopSegments_.load() || cancelled_.load() || connection.index >= allowed_.load()) break;
      connection.segment = segments_.Claim(kMinPieceBytes, &connection.range);
      if (connection.segment == SegmentMap::kNone) {
        if (!isMain) break;
        // The main connection stays while helpers run: one that gives up leaves its range.
        lumo::MutexLock lock(helpersLock_);
        while (helpersRunning_ != 0 && !stopSegments_.load() && !cancelled_.load() &&
               !segments_.HasWork(kMinPieceBytes)) {
          helpersChanged_.Wait(helpersLock_);
        }
        if (helpersRunning_ == 0 && !segments_.HasWork(kMinPieceBytes)) break;
        continue;
      }
      TransferRequest request = NewRequest();
      request.rangeStart = connection.range.begin;
      request.rangeEnd = connection.range.end;
      connection.refused = connection.changed = connection.retired = false;
      connection.httpFailed = false;
      outcome = connection.transport->Perform(request, connection);
    }
    if (outcome.end == TransferEnd::kCancelled || cancelled_.load()) break;
    const bool finished = segments_.Finished(connection.segment);
    if (!finished) segments_.Release(connection.segment);
    connection.segment = SegmentMap::kNone;
    {
      lumo::MutexLock lock(helpersLock_);
      helpersChanged_.NotifyAll();
    }
    if (finished) {
      idleFailures = 0;
      continue;
    }
    if (connection.changed) {
      FallBack();
      break;
    }
    if (connection.refused) {
      // The server wants fewer connections: no more of them, and this one only if it is the
      // last.
      noMoreConnections_.store(true);
      if (!isMain) break;
    }
    if (connection.httpFailed) {
      if (!isMain) break;
      RecordSegmentFailure(connection.httpFailure, std::string());
      break;
    }
    if (connection.retired || stopSegments_.load()) break;
    // A dropped connection resumes its range; one that brings nothing gives up.
    idleFailures = connection.progress > before ? 0 : idleFailures + 1;
    if (idleFailures >= kMaxIdleRetries) {
      if (isMain) {
        RecordSegmentFailure(outcome.end == TransferEnd::kFailed
                                 ? outcome.failure
                                 : EngineResult{kZdlResultNetwork, 0},
                             outcome.detail);
      }
      break;
    }
  }
  if (connection.segment != SegmentMap::kNone) {
    segments_.Release(connection.segment);
    connection.segment = SegmentMap::kNone;
  }
}

bool DownloadSession::Core::OnSegmentResponse(Connection& connection, const ResponseHead& head) {
  if (stopSegments_.load() || cancelled_.load()) return false;
  if (head.status == 429 || head.status == 503) {
    connection.refused = true;
    connection.httpFailure = ResultFromHttpStatus(head.status);
    return false;
  }
  const AnswerPlan plan = PlanAnswer(head, connection.range.begin, validator_);
  switch (plan.use) {
    case AnswerUse::kAppend:
      // Every piece must prove it is of the same file as the rest.
      if (AnswerCarriesValidator(head, validator_) && plan.total == total_.load()) return true;
      connection.changed = true;
      return false;
    case AnswerUse::kHttpError:
      connection.httpFailed = true;
      connection.httpFailure = ResultFromHttpStatus(head.status);
      return false;
    case AnswerUse::kEncoded:
      connection.httpFailed = true;
      connection.httpFailure = EngineResult{kZdlResultServer, 0};
      return false;
    default:
      // The whole file, another version of it, or a size that no longer fits.
      connection.changed = true;
      return false;
  }
}

bool DownloadSession::Core::OnSegmentData(Connection& connection, const void* data, size_t length) {
  if (stopSegments_.load() || cancelled_.load()) return false;
  if (connection.index >= allowed_.load()) {
    connection.retired = true;
    return false;
  }
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    uint64_t at = 0;
    const uint64_t n = segments_.Take(connection.segment, length - done, &at);
    if (n == 0) return false;  // the range ends here: another connection has the rest
    const int32_t status = file_.WriteAt(at, bytes + done, static_cast<size_t>(n));
    if (status != 0) {
      RecordSegmentFailure(EngineResult{kZdlResultFileSystem, status}, std::string());
      stopSegments_.store(true);
      return false;
    }
    segments_.Commit(connection.segment, n);
    connection.progress += n;
    downloaded_.fetch_add(n, std::memory_order_relaxed);
    done += static_cast<size_t>(n);
  }
  AddSample(false);
  MaybeGrow();
  MaybeCheckpoint();
  return true;
}

void DownloadSession::Core::FallBack() {
  fallBack_.store(true);
  stopSegments_.store(true);
  StopHelpers();
}

void DownloadSession::Core::StopHelpers() {
  lumo::MutexLock lock(helpersLock_);
  helpersStopped_ = true;
  for (auto& helper : helpers_) helper->transport->Cancel();
  helpersChanged_.NotifyAll();
}

void DownloadSession::Core::JoinHelpers() {
  {
    lumo::MutexLock lock(growLock_);
    growing_ = false;
  }
  std::vector<std::unique_ptr<Connection>> helpers;
  {
    lumo::MutexLock lock(helpersLock_);
    helpersStopped_ = true;
    helpers.swap(helpers_);
  }
  for (auto& helper : helpers) {
    if (helper->thread.joinable()) helper->thread.join();
  }
}

void DownloadSession::Core::RecordSegmentFailure(EngineResult result, const std::string& detail) {
  lumo::MutexLock lock(segmentFailureLock_);
  if (segmentFailed_) return;
  segmentFailed_ = true;
  segmentFailure_ = result;
  segmentFailureDetail_ = detail;
}

EngineResult DownloadSession::Core::FinishSegmented(bool* again) {
  *again = false;
  JoinHelpers();
  if (cancelled_.load()) return EngineResult{kZdlResultAborted, 0};
  if (fallBack_.load()) {
    // Back to one connection and the whole file: what is in the part cannot be trusted.
    segmented_.store(false);
    stopSegments_.store(false);
    fallBack_.store(false);
    {
      lumo::MutexLock lock(helpersLock_);
      helpersStopped_ = false;
    }
    allowed_.store(1);
    segmentsAllowed_ = false;
    resume_ = PartMeta();
    main_.reset();
    lumo::platform::RemoveFile(metaPath_);
    offset_ = 0;
    rangeEnd_ = 0;
    validator_.clear();
    *again = true;
    return EngineResult{kZdlResultSuccess, 0};
  }
  if (segments_.AllDone()) return EngineResult{kZdlResultSuccess, 0};
  lumo::MutexLock lock(segmentFailureLock_);
  if (segmentFailed_) {
    failureDetail_ = segmentFailureDetail_;
    return segmentFailure_;
  }
  return EngineResult{kZdlResultNetwork, 0};
}

EngineResult DownloadSession::Core::Transfer() {
  status_.store(kZdlStatusConnecting);
  if (cancelled_.load()) return EngineResult{kZdlResultAborted, 0};

  int32_t status = lumo::platform::MakeDirectories(saveDir_);
  if (status == 0 && !folders_.empty()) {
    status = lumo::platform::MakeSubdirectories(saveDir_, folders_);
  }
  if (status != 0) return EngineResult{kZdlResultFileSystem, status};

  std::string expectedMd5;
  if (!checksumPath_.empty()) {
    // Checked first: a file that cannot be verified is not worth fetching.
    EngineResult found =
        LoadExpectedDigest(checksumPath_, WideToUtf8(fileName_), url_, &expectedMd5);
    if (found.result != kZdlResultSuccess) return found;
  }

  SessionOptions options;
  {
    lumo::MutexLock lock(optionsLock_);
    options = options_;
  }
  // The part is opened as it is; it is emptied only once an answer for the whole file arrives,
  // so a failed attempt leaves an earlier run's data where it was.
  status = EngineFile::OpenForAppend(partPath_, false, &file_, &partCreated_);
  if (status != 0) return EngineResult{kZdlResultFileSystem, status};
  const uint64_t partSize = file_.Size();
  PartMeta meta;
  if (!options.overwrite && partSize > 0 && ReadMeta(&meta) &&
      (!meta.ranged || partSize <= meta.total)) {
    validator_ = meta.validator;
    offset_ = partSize;
    if (meta.ranged) {
      resume_ = meta;
      std::vector<ByteRange> gaps = MissingRanges(meta.total, meta.done);
      // A part recorded whole but not yet renamed proves itself with its last byte.
      if (gaps.empty()) gaps.push_back(ByteRange{meta.total - 1, meta.total});
      offset_ = gaps.front().begin;
      rangeEnd_ = gaps.front().end;
    }
  } else {
    offset_ = 0;
    validator_.clear();
    lumo::platform::RemoveFile(metaPath_);
  }

  for (int restarts = 0;;) {
    {
      // Connection settings changed while the session ran apply from its next exchange.
      lumo::MutexLock lock(optionsLock_);
      options = options_;
    }
    TransferRequest request;
    request.url = url_;
    request.rangeStart = confirming_ ? offset_ - 1 : offset_;
    request.rangeEnd = rangeEnd_;
    request.ifRange = validator_;
    request.connectTimeoutSeconds = options.connectTimeoutSeconds
                                        ? options.connectTimeoutSeconds
                                        : kDefaultConnectTimeoutSeconds;
    request.proxy = options.proxy;
    request.userAgent = options.userAgent;

    restart_ = false;
    alreadyComplete_ = false;
    confirmEnd_ = false;
    TransferOutcome outcome = transport_->Perform(request, *this);
    if (segmented_.load()) {
      RunConnection(*main_, &outcome);
      bool again = false;
      EngineResult ended = FinishSegmented(&again);
      if (again) {
        if (++restarts >= kMaxAttempts) return EngineResult{kZdlResultServer, 0};
        continue;
      }
      if (ended.result != kZdlResultSuccess) return ended;
      break;
    }
    if (outcome.end == TransferEnd::kCancelled || cancelled_.load()) {
      return EngineResult{kZdlResultAborted, 0};
    }
    if (failed_) return failure_;
    if (alreadyComplete_) break;
    confirming_ = confirmEnd_ && !confirming_;
    if (confirming_) continue;
    if (restart_) {
      if (++restarts >= kMaxAttempts) return EngineResult{kZdlResultServer, 0};
      // The part stays until an answer for the whole file takes its place.
      lumo::platform::RemoveFile(metaPath_);
      offset_ = 0;
      rangeEnd_ = 0;
      resume_ = PartMeta();
      validator_.clear();
      continue;
    }
    if (outcome.end == TransferEnd::kFailed) {
      failureDetail_ = outcome.detail;
      return outcome.failure;
    }
    if (outcome.end != TransferEnd::kCompleted) return EngineResult{kZdlResultGeneral, 0};
    break;
  }

  uint64_t total = total_.load();
  const uint64_t written = file_.Size();
  if (total > 0 && written != total) {
    // A short body the stack did not notice; the part stays for a resume.
    return EngineResult{kZdlResultNetwork, 0};
  }
  status = file_.Close();
  if (status != 0) return EngineResult{kZdlResultFileSystem, status};
  if (total == 0) total_.store(downloaded_.load());

  if (!expectedMd5.empty()) {
    std::string actual;
    EngineResult hashed = FileMd5Hex(partPath_, &actual, &cancelled_);
    if (hashed.result != kZdlResultSuccess) return hashed;
    if (actual != expectedMd5) {
      // Bad data must not seed a later resume either.
      lumo::platform::RemoveFile(partPath_);
      lumo::platform::RemoveFile(metaPath_);
      return EngineResult{kZdlResultChecksum, 0};
    }
  }
  status = lumo::platform::ReplaceFileWith(partPath_, finalPath_);
  if (status != 0) return EngineResult{kZdlResultFileSystem, status};
  lumo::platform::RemoveFile(metaPath_);
  return EngineResult{kZdlResultSuccess, 0};
}

void DownloadSession::Core::Status(int32_t* status, uint64_t* total, uint64_t* downloaded,
                                   uint32_t* average, uint32_t* current) {
  int32_t now = status_.load();
  uint64_t bytes = downloaded_.load();
  if (status) *status = now;
  if (total) *total = total_.load();
  if (downloaded) *downloaded = bytes;
  uint64_t sessionBytes = bytes - std::min(bytes, resumedFrom_.load());
  if (average) {
    uint64_t ms = ElapsedMs();
    *average = ms ? ClampToU32(sessionBytes * 1000 / ms) : 0;
  }
  if (current) {
    *current = 0;
    if (now == kZdlStatusDownloading) {
      Clock::time_point at = Clock::now();
      lumo::MutexLock lock(speedLock_);
      // The newest sample at least a window old, else the oldest one.
      const Sample* base = nullptr;
      for (const Sample& sample : samples_) {
        if (at - sample.at >= kCurrentSpeedWindow || base == nullptr) base = &sample;
      }
      if (base) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - base->at).count();
        if (ms > 0 && bytes >= base->bytes) {
          *current = ClampToU32((bytes - base->bytes) * 1000 / static_cast<uint64_t>(ms));
        }
      }
    }
  }
}

int32_t DownloadSession::Core::Result(int32_t* result, int32_t* extended) {
  int32_t now = status_.load();
  EngineResult copy;
  {
    lumo::MutexLock lock(resultLock_);
    copy = result_;
  }
  if (result) *result = copy.result;
  if (extended) *extended = copy.extended;
  return (now == kZdlStatusDownloaded || now == kZdlStatusError) ? kZdlOk : kZdlWrongState;
}

void DownloadSession::Core::FileInfo(ZdlFileInfo* info) {
  info->totalBytes = total_.load();
  info->downloadedBytes = downloaded_.load();
  info->resumedFrom = resumedFrom_.load();
  info->elapsedMs = ElapsedMs();
}

// ---- the COM object ----

DownloadSession::DownloadSession(std::shared_ptr<Core> core)
    : NotifyingRefCounted<IZDownloadSession>(IID_IZDownloadSession), core_(std::move(core)) {}

CompletionNotifier& DownloadSession::Notifier() { return core_->notifier; }

int32_t DownloadSession::Create(const char* url, const ZdlWChar* checksumPath,
                                const ZdlWChar* saveDir, const ZdlWChar* fileName,
                                IZDownloadSession** out) {
  if (out == nullptr || url == nullptr || saveDir == nullptr) return kZdlPointer;
  *out = nullptr;
  if (!IsHttpUrl(url) || saveDir[0] == 0) return kZdlInvalidArg;
  try {
    auto throttle = std::make_shared<Throttle>();
    std::unique_ptr<Transport> transport = CreateTransport(throttle);
    if (!transport) return kZdlFail;
    WString name = (fileName && fileName[0]) ? WString(fileName) : Utf8ToWide(lumo::FileNameFromUrl(url));
    // Nothing the caller names may lead out of the save folder or to a device.
    if (!lumo::IsLegalHostFileName(WideToUtf8(name))) return kZdlInvalidArg;
    auto core =
        std::make_shared<Core>(url, checksumPath ? WString(checksumPath) : WString(),
                               WString(saveDir), name, std::move(throttle), std::move(transport));
    auto* session = new DownloadSession(std::move(core));
    session->AddRef();
    *out = session;
    return kZdlOk;
  } catch (const std::bad_alloc&) {
    return kZdlOutOfMemory;
  } catch (...) {
    return kZdlFail;
  }
}

void DownloadSession::OnFinalRelease() {
  std::shared_ptr<EngineTask> task;
  {
    lumo::MutexLock lock(lock_);
    task = task_;
  }
  if (task) {
    // Nothing of this session may run after its last reference is gone.
    core_->Cancel();
    EngineRuntime::Instance().Finish(task);
  }
  delete this;
}

int32_t DownloadSession::GetOption(int32_t id, void* value, uint32_t* size) {
  return core_->GetOption(id, value, size);
}

int32_t DownloadSession::SetOption(int32_t id, const void* value, uint32_t size) {
  try {
    return core_->SetOption(id, value, size);
  } catch (...) {
    return kZdlOutOfMemory;
  }
}

int32_t DownloadSession::Start() {
  lumo::MutexLock lock(lock_);
  if (!core_->MarkStarted()) return kZdlWrongState;
  std::shared_ptr<Core> core = core_;
  task_ = EngineRuntime::Instance().Launch([core] { core->Run(); }, [core] { core->Cancel(); });
  if (!task_) {
    core_->FailToStart();
    return kZdlWrongState;
  }
  return kZdlOk;
}

int32_t DownloadSession::Abort() {
  core_->Cancel();
  core_->AbortUnstarted();
  return kZdlOk;
}

int32_t DownloadSession::Pause() { return Abort(); }

int32_t DownloadSession::GetStatus(int32_t* status, uint64_t* totalBytes,
                                   uint64_t* downloadedBytes, uint32_t* averageSpeed,
                                   uint32_t* currentSpeed) {
  core_->Status(status, totalBytes, downloadedBytes, averageSpeed, currentSpeed);
  return kZdlOk;
}

int32_t DownloadSession::GetResult(int32_t* result, int32_t* extendedCode) {
  return core_->Result(result, extendedCode);
}

int32_t DownloadSession::GetFileInfo(ZdlFileInfo* info) {
  if (info == nullptr) return kZdlPointer;
  core_->FileInfo(info);
  return kZdlOk;
}

}  // namespace zdl
