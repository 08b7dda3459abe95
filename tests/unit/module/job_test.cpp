#include <gtest/gtest.h>

#include "base/download_job.h"
#include "base/option_store.h"

namespace lumo {
namespace {

TEST(DownloadJob, BuffersRefuseTextsThatDoNotFit) {
  DownloadJob job;
  EXPECT_TRUE(CopyIntoJobBuffer(nullptr, &job.fileName));
  EXPECT_TRUE(job.FileName().empty());
  const WString fits(259, 'a');
  EXPECT_TRUE(CopyIntoJobBuffer(fits.c_str(), &job.fileName));
  EXPECT_EQ(job.FileName(), fits);
  const WString tooLong(260, 'b');
  EXPECT_FALSE(CopyIntoJobBuffer(tooLong.c_str(), &job.fileName));
  EXPECT_EQ(job.FileName(), fits);  // untouched
  // A text without a terminator within the limit is never read past the limit.
  std::vector<WChar> unterminated(260, 'c');
  EXPECT_FALSE(CopyIntoJobBuffer(unterminated.data(), &job.saveDir));
}

TEST(OptionStore, EngineOptionsInAscendingHostOrder) {
  OptionStore store;
  const uint32_t speed = 1000;
  store.Set(11, &speed, 4);
  store.Set(8, "sid", 3);
  store.Set(2, "\x01", 1);
  store.Set(0, &speed, 4);
  std::vector<int32_t> order;
  store.ForEachEngineOption(
      [&](int32_t engineId, const std::vector<uint8_t>&) { order.push_back(engineId); });
  EXPECT_EQ(order, (std::vector<int32_t>{0, 2, 5}));
  std::vector<uint8_t> value;
  EXPECT_TRUE(store.Get(8, &value));
  EXPECT_EQ(std::string(value.begin(), value.end()), "sid");
  EXPECT_FALSE(store.Get(3, &value));
}

}  // namespace
}  // namespace lumo
