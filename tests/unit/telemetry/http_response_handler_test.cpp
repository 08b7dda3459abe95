#include "telemetry/http_response_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace lumo {
namespace {

// {00000000-0000-0000-C000-000000000046}
constexpr ZdlGuid kIidUnknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

TEST(HttpResponseHandler, AnswersOnlyItsOwnInterface) {
  HttpResponseHandler* handler = HttpResponseHandler::Create();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->ReferenceCount(), 0u);
  EXPECT_EQ(handler->AddRef(), 1u);

  void* out = &out;  // any marker: a refused query must leave it alone
  EXPECT_EQ(handler->QueryInterface(&kIidUnknown, &out), static_cast<int32_t>(0x80004002u));
  EXPECT_EQ(out, &out);
  EXPECT_EQ(handler->QueryInterface(&IID_IZHttpRequest, &out), kZdlNoInterface);
  EXPECT_EQ(out, &out);
  EXPECT_EQ(handler->ReferenceCount(), 1u);

  EXPECT_EQ(handler->QueryInterface(&IID_IZHttpResponseHandler, &out), kZdlOk);
  EXPECT_EQ(out, static_cast<void*>(static_cast<IZHttpResponseHandler*>(handler)));
  EXPECT_EQ(handler->ReferenceCount(), 2u);
  EXPECT_EQ(handler->QueryInterface(&IID_IZHttpResponseHandler, nullptr), kZdlPointer);

  EXPECT_EQ(handler->Release(), 1u);
  EXPECT_EQ(handler->Release(), 0u);  // destroyed (the sanitizer builds check that)
}

TEST(HttpResponseHandler, KeepsItsLimitAndRefusesTheRestAndWhatComesAfterTheWait) {
  constexpr int32_t kRefused = static_cast<int32_t>(0x80004004u);
  HttpResponseHandler* handler = HttpResponseHandler::Create(8);
  ASSERT_NE(handler, nullptr);
  handler->AddRef();
  EXPECT_EQ(handler->OnData("12345", 5), kZdlOk);
  EXPECT_EQ(handler->OnData("678", 3), kZdlOk);  // exactly the limit
  EXPECT_FALSE(handler->Overflowed());
  EXPECT_EQ(handler->OnData("9", 1), kRefused);
  EXPECT_TRUE(handler->Overflowed());
  EXPECT_EQ(handler->OnData("abc", 3), kRefused);
  EXPECT_EQ(handler->Response(), "12345678");
  handler->Release();

  handler = HttpResponseHandler::Create(8);
  handler->AddRef();
  EXPECT_EQ(handler->OnData("1234567890", 10), kRefused);  // one piece past the limit
  EXPECT_EQ(handler->Response(), "12345678");
  handler->Release();

  handler = HttpResponseHandler::Create();
  handler->AddRef();
  EXPECT_EQ(handler->OnData("ab", 2), kZdlOk);
  handler->Abandon();
  EXPECT_EQ(handler->OnData("cd", 2), kRefused);
  EXPECT_FALSE(handler->Overflowed());
  EXPECT_EQ(handler->Response(), "ab");
  EXPECT_EQ(handler->OnComplete(), kZdlOk);
  handler->Release();
}

TEST(HttpResponseHandler, PollerSeesAConsistentResponseWhileTheEngineAppends) {
  HttpResponseHandler* handler = HttpResponseHandler::Create();
  ASSERT_NE(handler, nullptr);
  handler->AddRef();
  const std::string chunk = "0123456789abcdef";
  constexpr int kChunks = 2000;

  handler->AddRef();  // the engine's own reference
  std::thread engine([handler, &chunk] {
    handler->OnBegin();
    handler->OnStatusCode(200);
    for (int i = 0; i < kChunks; ++i) {
      handler->OnData(chunk.data(), static_cast<uint32_t>(chunk.size()));
    }
    handler->OnComplete();
    handler->Release();
  });

  bool consistent = true;
  for (;;) {
    const bool done = handler->Done();
    const std::string copy = handler->Response();
    if (copy.size() % chunk.size() != 0) consistent = false;
    for (size_t at = 0; consistent && at < copy.size(); at += chunk.size()) {
      if (copy.compare(at, chunk.size(), chunk) != 0) consistent = false;
    }
    if (done) {
      EXPECT_EQ(copy.size(), chunk.size() * kChunks);
      break;
    }
    std::this_thread::yield();
  }
  engine.join();
  EXPECT_TRUE(consistent);
  EXPECT_EQ(handler->Status(), 200u);
  EXPECT_EQ(handler->Release(), 0u);
}

}  // namespace
}  // namespace lumo
