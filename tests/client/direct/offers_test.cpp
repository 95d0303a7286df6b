// The two offers as the gateway receives them.
#include "direct/offers.hpp"

#include <gtest/gtest.h>

#include "direct_test_support.hpp"
#include "fake_halves.hpp"

namespace quillmar::test {
namespace {

const ProbeTargets LOOPBACK{LOOPBACK_IPV4_TARGETS, LOOPBACK_IPV6_TARGETS};

TEST(OfferPayload, ThreeFieldsTheLastRunningToTheEnd) {
  EXPECT_EQ(offer_payload("owner", "nas,office", "192.0.2.10|80|lan,!2001:db8::10|80|v6"),
            "owner|nas,office|192.0.2.10|80|lan,!2001:db8::10|80|v6");
  EXPECT_EQ(offer_payload("visitor", "", ""), "visitor||");
}

class Offers : public DirectTest {};

TEST_F(Offers, CarryTheSettingsInForceAsOneFrameEach) {
  FrameSink gateway(io_, pool());
  auto frames = run([&]() -> asio::awaitable<std::vector<Frame>> {
    std::vector<Frame> got;
    shared_->punch_allow.set({"nas", "office"});
    const std::vector<std::uint16_t> mapped{8080, 22};
    auto owner = co_await send_owner_offer(*gateway.writer(), *shared_, mapped, LOOPBACK);
    EXPECT_TRUE(owner.ok());
    if (owner) {
      EXPECT_EQ(owner.value(), "");
    }
    shared_->punch_allow.set({});
    const std::vector<std::uint16_t> none;
    auto empty = co_await send_owner_offer(*gateway.writer(), *shared_, none, LOOPBACK);
    EXPECT_TRUE(empty.ok());
    shared_->punch_visit.set("kite");
    auto visitor = co_await send_visitor_offer(*gateway.writer(), *shared_, LOOPBACK);
    EXPECT_TRUE(visitor.ok());
    for (int i = 0; i < 3; ++i) {
      auto frame = co_await gateway.next();
      if (!frame) throw std::runtime_error("an offer did not arrive");
      got.push_back(std::move(*frame));
    }
    co_return got;
  }());
  ASSERT_EQ(frames.size(), 3u);
  for (const Frame& frame : frames) {
    EXPECT_EQ(frame.kind, KIND_PUNCH_OFFER);
    EXPECT_EQ(frame.id, 0u);
  }
  EXPECT_EQ(text_of(frames[0]), "owner|nas,office|");
  EXPECT_EQ(text_of(frames[1]), "owner||");
  EXPECT_EQ(text_of(frames[2]), "visitor|kite|");
  EXPECT_EQ(stdout_, "");  // the offers print nothing themselves
}

TEST_F(Offers, HandBackTheWriteError) {
  auto log = std::make_shared<WriteLog>();
  WriteBehaviour failing;
  failing.failing_writes = 1;
  SharedWriter writer(io_.get_executor(), std::make_unique<RecordingWriteHalf>(log, failing));
  shared_->punch_visit.set("kite");
  auto sent = run(send_visitor_offer(writer, *shared_, LOOPBACK));
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().kind, ErrorKind::BrokenPipe);
}

}  // namespace
}  // namespace quillmar::test
