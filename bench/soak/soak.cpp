// Soak run: JOBS downloads with random faults through one downloader object and the real engine,
// in batches. At the end every completed file is compared with its source by MD5, the failures
// must equal the jobs whose faults cannot be recovered, resident memory must not have grown, and
// the log and telemetry counts must agree with what the jobs did.
//   lumo_soak [JOBS] [SEED]        exit 0 when every check holds
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine_services.h"
#include "local_services.h"
#include "base/endpoints.h"
#include "module/engine_binding.h"
#include "base/log.h"
#include "module/downloader.h"
#include "base/timing.h"
#include "platform/platform.h"
#include "telemetry/reporter.h"

namespace {

namespace fs = std::filesystem;
using lumo::services::Faults;
using lumo::services::LocalServices;
using Clock = std::chrono::steady_clock;

class RealEngine final : public lumo::EngineBinding {
 public:
  int32_t Bind(std::string*) override {
    loaded_ = true;
    int32_t code = zdl::EngineInit();
    if (code >= 0) code = zdl::EngineGetObject(&IID_IZDownloadService, reinterpret_cast<void**>(&download_));
    if (code >= 0) code = zdl::EngineGetObject(&IID_IZHttpService, reinterpret_cast<void**>(&http_));
    return code;
  }
  IZDownloadService* DownloadService() const override { return download_; }
  IZHttpService* HttpService() const override { return http_; }
  void ReleaseAndTerminate() override {
    if (download_ != nullptr) download_->Release();
    if (http_ != nullptr) http_->Release();
    download_ = nullptr;
    http_ = nullptr;
    zdl::EngineTerm();
  }
  bool IsLoaded() const override { return loaded_; }

 private:
  IZDownloadService* download_ = nullptr;
  IZHttpService* http_ = nullptr;
  bool loaded_ = false;
};

enum class Fault { kClean, kDrops, kRangeIgnored, kFirst404, kFirst500, kLongerLength, kTrickle,
                   kStall, kUnrecoverable };
const char* const kFaultNames[] = {"clean", "drops", "200-to-range", "first-mirror-404",
                                   "first-mirror-500", "longer-content-length", "trickle",
                                   "stall", "unrecoverable-404"};

Fault PickFault(std::mt19937_64& random) {
  const unsigned roll = random() % 1000;
  if (roll < 500) return Fault::kClean;
  if (roll < 640) return Fault::kDrops;
  if (roll < 700) return Fault::kRangeIgnored;
  if (roll < 760) return Fault::kFirst404;
  if (roll < 820) return Fault::kFirst500;
  if (roll < 870) return Fault::kLongerLength;
  if (roll < 910) return Fault::kTrickle;
  if (roll < 915) return Fault::kStall;
  return Fault::kUnrecoverable;
}

std::string RandomBytes(size_t size, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::string Md5Hex(const std::string& bytes) {
  lumo::platform::Md5Digest md5;
  md5.Update(bytes.data(), bytes.size());
  return lumo::platform::DigestHex(md5.Finish());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Resident memory of this process in KiB (Linux).
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  }
  return -1;
}

size_t CountLines(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

struct Job {
  std::string name;
  std::shared_ptr<const std::string> content;
  Fault fault;
  std::vector<std::string> urls;
};

}  // namespace

int main(int argc, char** argv) {
  const int jobCount = argc > 1 ? std::atoi(argv[1]) : 2000;
  const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  const int batchSize = 200;
  std::mt19937_64 random(seed);

  LocalServices mirror, services;  // services: the collector and the CDN configuration
  if (!mirror.Start() || !services.Start()) {
    std::fprintf(stderr, "cannot start the local servers\n");
    return 2;
  }
  // HTTP DNS is down: a closed port.
  LocalServices closed;
  closed.Start();
  const std::string dnsUrl = closed.Url("/?ws_domain=");
  closed.Stop();

  std::vector<std::shared_ptr<const std::string>> pool;
  for (int i = 0; i < 48; ++i) {
    const size_t size = i < 4 ? (8u << 20) : 1024 + random() % (512 * 1024);
    pool.push_back(std::make_shared<const std::string>(RandomBytes(size, seed * 1000 + i)));
  }
  const auto tiny = std::make_shared<const std::string>(RandomBytes(2048, seed));

  lumo::Timing timing = lumo::Timing::Scaled(100);
  timing.httpPoll = std::chrono::milliseconds(10);
  timing.telemetryPoll = std::chrono::milliseconds(10);
  timing.destructorWait = std::chrono::milliseconds(3000);
  const lumo::Endpoints endpoints{services.Url("/post"), services.Url("/cdn-domain/"), dnsUrl,
                                  "cdn.soak.test"};
  std::error_code noLog;
  fs::remove(fs::path(lumo::LogPath()), noLog);
  RealEngine engine;
  lumo::Reporter reporter(nullptr, endpoints.reportUrl, timing);
  auto* downloader = new lumo::LumoDownloader(engine, reporter, timing, endpoints);
  downloader->AddRef();
  std::string error;
  if (downloader->Initialize(&error) != 0) {
    std::fprintf(stderr, "initialisation failed: %s\n", error.c_str());
    return 2;
  }
  const uint32_t connectTimeout = 1;
  downloader->SetOption(kLumoOptionConnectTimeout, &connectTimeout, 4);

  const fs::path dir = fs::temp_directory_path() / ("lumo-soak-" + std::to_string(seed));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string dirText = dir.string();
  const std::u16string wideDir(dirText.begin(), dirText.end());

  std::map<Fault, int> faultCounts;
  size_t verified = 0, mismatched = 0, failed = 0, unexpected = 0, runs = 0, batches = 0;
  uint64_t bytesVerified = 0;
  long rssStart = -1;
  const auto started = Clock::now();
  for (int first = 0; first < jobCount; first += batchSize) {
    std::vector<Job> jobs;
    for (int i = first; i < std::min(jobCount, first + batchSize); ++i) {
      Job job;
      job.name = "job" + std::to_string(i) + ".bin";
      job.fault = PickFault(random);
      job.content = job.fault == Fault::kTrickle ? tiny : pool[random() % pool.size()];
      ++faultCounts[job.fault];
      const std::string base = "/j" + std::to_string(i);
      Faults faults;
      const uint64_t size = job.content->size();
      switch (job.fault) {
        case Fault::kClean:
          mirror.AddFile(base + "/f", job.content);
          job.urls = {mirror.Url(base + "/f")};
          break;
        case Fault::kDrops: {
          const int drops = 1 + static_cast<int>(random() % 3);
          std::vector<uint64_t> offsets;
          for (int k = 0; k < drops; ++k) offsets.push_back(1 + random() % (size - 1));
          std::sort(offsets.begin(), offsets.end());
          faults.dropAt = offsets;
          mirror.AddFile(base + "/f", job.content, faults);
          job.urls = {mirror.Url(base + "/f"), mirror.Url(base + "/f")};
          break;
        }
        case Fault::kRangeIgnored:
          faults.ignoreRange = true;
          faults.dropAt = {size / 2};
          mirror.AddFile(base + "/f", job.content, faults);
          job.urls = {mirror.Url(base + "/f")};
          break;
        case Fault::kFirst404:
        case Fault::kFirst500:
          faults.status = job.fault == Fault::kFirst404 ? 404 : 500;
          mirror.AddFile(base + "/a", job.content, faults);
          mirror.AddFile(base + "/b", job.content);
          job.urls = {mirror.Url(base + "/a"), mirror.Url(base + "/b")};
          break;
        case Fault::kLongerLength:
          faults.declaredLength = static_cast<int64_t>(size) + 1000;
          mirror.AddFile(base + "/f", job.content, faults);
          job.urls = {mirror.Url(base + "/f")};
          break;
        case Fault::kTrickle:
          faults.chunkBytes = 256;
          faults.rate = 128000;  // 256 bytes every 2 ms
          mirror.AddFile(base + "/f", job.content, faults);
          job.urls = {mirror.Url(base + "/f")};
          break;
        case Fault::kStall:
          // A third of the file, then nothing for 4 s, longer than the stall bound. The server's
          // own stalls may last until it stops and would use up its threads over a long run.
          faults.chunkBytes = size / 3 + 1;
          faults.rate = faults.chunkBytes / 4;
          mirror.AddFile(base + "/a", job.content, faults);
          mirror.AddFile(base + "/b", job.content);
          job.urls = {mirror.Url(base + "/a"), mirror.Url(base + "/b")};
          break;
        case Fault::kUnrecoverable:
          job.urls = {mirror.Url(base + "/missing-a"), mirror.Url(base + "/missing-b")};
          break;
      }
      std::vector<const char*> urls;
      for (const auto& u : job.urls) urls.push_back(u.c_str());
      const std::u16string wideName(job.name.begin(), job.name.end());
      if (downloader->AddDownload(urls.data(), static_cast<uint32_t>(urls.size()),
                                  reinterpret_cast<const LumoWChar*>(wideDir.c_str()),
                                  reinterpret_cast<const LumoWChar*>(wideName.c_str()), nullptr,
                                  0, nullptr) != 0) {
        ++unexpected;
      }
      jobs.push_back(std::move(job));
    }
    // Denied only when the worker already took a job of this batch (RunState 1).
    const int32_t startCode = downloader->Start();
    if (startCode != 0 && startCode != static_cast<int32_t>(0x80070005u)) ++unexpected;
    ++batches;
    const auto deadline = Clock::now() + std::chrono::minutes(10);
    while (downloader->RunState() != kLumoRunStateIdle && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    downloader->SampleStatistics();
    for (const Job& job : jobs) {
      const fs::path path = dir / job.name;
      const bool expectFailure = job.fault == Fault::kUnrecoverable;
      runs += expectFailure ? 2 : 1;
      if (!fs::exists(path)) {
        ++failed;
        if (!expectFailure) {
          ++unexpected;
          std::printf("job %s (%s) failed\n", job.name.c_str(), kFaultNames[static_cast<int>(job.fault)]);
        }
        continue;
      }
      if (expectFailure) ++unexpected;
      const std::string data = ReadFile(path);
      if (Md5Hex(data) == Md5Hex(*job.content)) {
        ++verified;
        bytesVerified += data.size();
      } else {
        ++mismatched;
        std::printf("job %s (%s) differs from its source\n", job.name.c_str(),
                    kFaultNames[static_cast<int>(job.fault)]);
      }
      fs::remove(path);
    }
    if (first == 0) rssStart = ResidentKiB();  // after the first batch: caches and pools warm
    std::printf("batch %zu: %d jobs done, %zu verified, %zu failed, RSS %ld KiB, %.0f s\n", batches,
                std::min(jobCount, first + batchSize), verified, failed, ResidentKiB(),
                std::chrono::duration<double>(Clock::now() - started).count());
    std::fflush(stdout);
  }
  const long rssEnd = ResidentKiB();

  // Let the sender deliver what is queued, then shut down.
  const auto drainDeadline = Clock::now() + std::chrono::seconds(60);
  while (reporter.PendingForTest() > 0 && Clock::now() < drainDeadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  downloader->Stop(0);
  downloader->Release();

  const std::string log = ReadFile(fs::path(lumo::LogPath()));
  const size_t successLines = CountLines(log, " INFO - Download file success from ");
  const size_t errorLines = CountLines(log, " ERROR - ");
  std::map<std::string, size_t> received;  // eventType -> bodies received
  for (const auto& [type, count] : services.TelemetryCountByType()) {
    received[type] = static_cast<size_t>(count);
  }
  const size_t unrecoverable = static_cast<size_t>(faultCounts[Fault::kUnrecoverable]);
  bool ok = true;
  auto check = [&ok](bool holds, const char* what) {
    std::printf("%-66s %s\n", what, holds ? "ok" : "FAILED");
    ok = ok && holds;
  };

  std::printf("\njobs %d in %zu batches, seed %llu, %.0f s\n", jobCount, batches,
              static_cast<unsigned long long>(seed),
              std::chrono::duration<double>(Clock::now() - started).count());
  for (const auto& f : faultCounts) std::printf("  %-24s %d\n", kFaultNames[static_cast<int>(f.first)], f.second);
  std::printf("files verified %zu (%.1f MiB), failed %zu, mismatched %zu\n", verified,
              bytesVerified / 1048576.0, failed, mismatched);
  std::printf("resident memory after batch 1 %ld KiB, at the end %ld KiB\n", rssStart, rssEnd);
  std::printf("log: %zu success lines, %zu ERROR lines\n", successLines, errorLines);
  std::printf("telemetry received:");
  for (const auto& e : received) std::printf(" %s=%zu", e.first.c_str(), e.second);
  std::printf("\ntelemetry posts seen by the collector %zu, delivered by the sender %llu\n",
              services.Telemetry().size(),
              static_cast<unsigned long long>(reporter.DeliveredForTest()));
  std::printf("server requests recorded: %zu\n\n", mirror.RequestCount());

  check(unexpected == 0, "every job ended as its faults allow");
  check(mismatched == 0, "every completed file is byte-identical (MD5)");
  check(failed == unrecoverable, "failures equal the unrecoverable faults");
  check(verified + failed == static_cast<size_t>(jobCount), "every job accounted for");
  check(rssEnd - rssStart < 64 * 1024, "resident memory grew by less than 64 MiB");
  check(successLines == verified, "one success log line per completed file");
  check(received["RUNNING_EXCEPTION"] == errorLines, "one RUNNING_EXCEPTION per ERROR log line");
  check(received["CDN_PREFER_REQUEST"] == runs, "one CDN_PREFER_REQUEST per run of a job");
  check(received["DNS_REQUEST"] == 2 * unrecoverable, "one DNS_REQUEST per fully failed run");
  check(received["MODULE_VERSION"] == batches, "one MODULE_VERSION per Start");
  check(received["DOWNLOAD_STATISTICS"] == batches, "one DOWNLOAD_STATISTICS per sample");
  std::printf("\n%s\n", ok ? "soak: all checks passed" : "soak: CHECKS FAILED");
  mirror.Stop();
  services.Stop();
  fs::remove_all(dir);
  return ok ? 0 : 1;
}
