// lumo-services: plays the downloader module's outside world on this machine.
//
//   lumo-services --root DIR [--files-port N] [--preferred-domain [GAME=]DOMAIN]...
//                 [--telemetry-dir DIR] [--ready-file FILE]
//
// Serves DIR over HTTP with Range support, and answers on the endpoints the module was built
// with: the CDN configuration endpoint, the HTTP DNS service and the telemetry collector.
// Runs until interrupted, then prints the telemetry events received by type.
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "local_services.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv) {
  using lumo::services::LocalServices;
  lumo::services::ServicesConfig config = lumo::services::DefaultServicesConfig();
  std::vector<std::string> domains;
  std::string readyFile;
  bool quiet = false;

  CLI::App app{"Local stand-ins for the downloader module's file servers and web services"};
  app.add_option("-r,--root", config.filesRoot, "Folder served by the file server")
      ->check(CLI::ExistingDirectory);
  app.add_option("--files-host", config.filesHost, "Address of the file server");
  app.add_option("--files-port", config.filesPort, "Port of the file server (0: any)")
      ->capture_default_str();
  app.add_option("--report-url", config.reportUrl, "Telemetry collector endpoint")
      ->capture_default_str();
  app.add_option("--cdn-config-url", config.cdnConfigUrl, "CDN configuration endpoint prefix")
      ->capture_default_str();
  app.add_option("--httpdns-url", config.httpDnsUrl, "HTTP DNS query prefix")
      ->capture_default_str();
  app.add_option("--cdn-host", config.cdnHost, "Host name the HTTP DNS service resolves")
      ->capture_default_str();
  app.add_option("--preferred-domain", domains,
                 "Preferred domain for a game code, GAME=DOMAIN, or DOMAIN for every game");
  app.add_option("--resolved-port", config.resolvedPort,
                 "The file server also listens here, for URLs rewritten to the address that "
                 "HTTP DNS answers (they carry no port; 0: answer address:files-port)")
      ->capture_default_str();
  app.add_option("--dns-answer", config.dnsAnswer,
                 "HTTP DNS answer text (default: the file server's address and --dns-ttl)");
  app.add_option("--dns-ttl", config.dnsTtl, "Lifetime in the HTTP DNS answer, seconds")
      ->capture_default_str();
  app.add_option("--telemetry-dir", config.telemetryDir, "Write every telemetry body here");
  app.add_option("--ready-file", readyFile, "Create this file once every port listens");
  app.add_flag("-q,--quiet", quiet, "Print telemetry events only");
  CLI11_PARSE(app, argc, argv);

  for (const std::string& item : domains) {
    const size_t equals = item.find('=');
    if (equals == std::string::npos) {
      config.preferredDomains["*"] = item;
    } else {
      config.preferredDomains[item.substr(0, equals)] = item.substr(equals + 1);
    }
  }
  if (!config.telemetryDir.empty()) std::filesystem::create_directories(config.telemetryDir);
  config.log = [quiet](const std::string& line) {
    if (quiet && line.rfind("[telemetry]", 0) != 0) return;
    std::cout << line << std::endl;
  };

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  LocalServices services(config);
  std::string error;
  if (!services.Start(&error)) {
    std::cerr << "lumo-services: " << error << std::endl;
    return 1;
  }
  std::cout << "lumo-services: files " << services.Url() << "/ from " << config.filesRoot
            << "; telemetry " << config.reportUrl << "; CDN configuration " << config.cdnConfigUrl
            << "; HTTP DNS " << config.httpDnsUrl << " for " << config.cdnHost << std::endl;
  if (!readyFile.empty()) std::ofstream(readyFile) << services.filesPort() << "\n";

  while (!gStop) std::this_thread::sleep_for(std::chrono::milliseconds(100));

  services.Stop();
  std::cout << "lumo-services: telemetry events received by type:" << std::endl;
  const auto counts = services.TelemetryCountByType();
  if (counts.empty()) std::cout << "  (none)" << std::endl;
  for (const auto& [type, count] : counts) {
    std::printf("  %-22s %d\n", type.c_str(), count);
  }
  std::fflush(stdout);
  return 0;
}
