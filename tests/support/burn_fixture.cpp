// SPDX-License-Identifier: MIT
#include "support/burn_fixture.h"

namespace {

// Counts its own release.
class CountedReader final : public ImageReader {
 public:
  CountedReader(std::unique_ptr<ImageReader> inner, std::shared_ptr<std::atomic<int>> released)
      : inner_(std::move(inner)), released_(std::move(released)) {}
  ~CountedReader() override { ++*released_; }
  uint64_t Size() const override { return inner_->Size(); }
  int32_t FileRead(uint8_t* buffer, int32_t count) override {
    return inner_->FileRead(buffer, count);
  }
  std::span<const uint8_t> Head(size_t count) const override { return inner_->Head(count); }

 private:
  std::unique_ptr<ImageReader> inner_;
  std::shared_ptr<std::atomic<int>> released_;
};

// Shows every request to the test before it goes out.
class WatchedLink final : public Link {
 public:
  WatchedLink(std::unique_ptr<Link> inner,
              const std::function<void(std::span<const uint8_t>)>& watch)
      : inner_(std::move(inner)), watch_(watch) {}
  size_t Write(const uint8_t* data, size_t n) override {
    if (watch_) watch_({data, n});
    return inner_->Write(data, n);
  }
  size_t Read(uint8_t* data, size_t n) override { return inner_->Read(data, n); }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return inner_->Drain(data, n, quietMs);
  }
  void SetTimeouts(const Timeouts& timeouts) override { inner_->SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    inner_->ApplyLineSettings(settings);
  }

 private:
  std::unique_ptr<Link> inner_;
  const std::function<void(std::span<const uint8_t>)>& watch_;
};

}  // namespace

LinkOpening RecordingEnvironment::Record(const std::string& what) {
  LinkOpening opening;
  if (openFails_ > 0) {
    --openFails_;
    opening.failure = openFailure_;
    opening.detail = "held by a test";
  } else if (plc_ == nullptr) {
    opening.failure = OpenFailure::kMissing;
  } else {
    opening.link = std::make_unique<WatchedLink>(OpenSimLink(*plc_), onWrite);
  }
  events.push_back(what + (opening ? "" : " failed"));
  return opening;
}

std::unique_ptr<ImageReader> CountingImageSource::OpenImage() {
  ++opened;
  return std::make_unique<CountedReader>(inner_.OpenImage(), released);
}

void BurnTest::Prepare(std::string_view name, uint32_t size, const std::string& comPort) {
  const int index = *FindModel(name);
  rules = &ModelAt(index);
  port = comPort;
  UseImage(TestImage(size));
  settings = DefaultPlcSettings(index, size);
}

void BurnTest::UseImage(std::vector<uint8_t> bytes, uint64_t size) {
  image = bytes;
  source = std::make_unique<CountingImageSource>(std::move(bytes), size);
}

void BurnTest::RunBurn(bool withPlc) {
  if (withPlc && !plc) plc = std::make_unique<PlcSimulator>(settings);
  env = std::make_unique<RecordingEnvironment>(withPlc ? plc.get() : nullptr, port);
  if (onPrompt) env->onPrompt = onPrompt;
  result = StartBurn({*rules, *source, *env, *env, cancel, demoImageAllowed});
}

void BurnTest::ExpectCleanEnd() {
  EXPECT_EQ(env->elapsedTime, 0);
  EXPECT_EQ(env->status, BurnStatus{});
  EXPECT_TRUE(env->buttonEnabled);
  EXPECT_EQ(source->opened, 1);
  EXPECT_EQ(*source->released, 1);
  if (plc) {
    EXPECT_FALSE(plc->connected());
  }
}

std::vector<uint8_t> BurnTest::ExpectedFlash() const {
  const BlockPlan plan = BlockPlanOf(rules->name, static_cast<uint32_t>(image.size()));
  std::vector<uint8_t> flash(image.begin(), image.begin() + plan.imageBytes);
  flash.resize(static_cast<size_t>(plan.blocks) * plan.dataBytes, 0x1A);
  return flash;
}
