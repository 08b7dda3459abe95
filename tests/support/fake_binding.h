// An EngineBinding over the in-process fake engine, with a switch for a binding failure.
#pragma once

#include <string>

#include "module/engine_binding.h"
#include "support/fake_engine.h"

namespace lumo {
namespace testing {

class FakeBinding final : public EngineBinding {
 public:
  explicit FakeBinding(FakeEngine& engine) : engine_(engine) {}

  int32_t bindCode = 0;  // what Bind answers
  std::string bindText = "bind failed";
  int terminations = 0;

  int32_t Bind(std::string* errorText) override {
    loaded_ = true;
    if (bindCode < 0 && errorText != nullptr) *errorText = bindText;
    return bindCode;
  }
  IZDownloadService* DownloadService() const override { return engine_.DownloadService(); }
  IZHttpService* HttpService() const override { return engine_.HttpService(); }
  void ReleaseAndTerminate() override {
    ++terminations;
    engine_.Terminate();
  }
  bool IsLoaded() const override { return loaded_; }

 private:
  FakeEngine& engine_;
  bool loaded_ = false;
};

}  // namespace testing
}  // namespace lumo
