// The self-checking test frame: its header layout (captures of the tool's
// runs hold it), and that a receiver's check catches every way a frame can
// arrive wrong.
#include "platform/net/test_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using Mac = std::array<uint8_t, 6>;
const Mac kTo = {0x00, 0xA0, 0xC9, 0x10, 0x00, 0x02};
const Mac kFrom = {0x00, 0xA0, 0xC9, 0x10, 0x00, 0x01};

TEST(TestFrame, HeaderLayoutAndRoundTrip) {
  const std::vector<uint8_t> frame = sim::BuildTestFrame(7, 2, 0x01020304, kTo, kFrom, 300);
  ASSERT_EQ(frame.size(), 300u);
  EXPECT_TRUE(std::equal(kTo.begin(), kTo.end(), frame.begin()));
  EXPECT_TRUE(std::equal(kFrom.begin(), kFrom.end(), frame.begin() + 6));
  const std::vector<uint8_t> header(frame.begin() + 12, frame.begin() + 26);
  EXPECT_EQ(header, (std::vector<uint8_t>{0x88, 0xB5, 'T', 'V', 'L', 'N', 0x02, 0x00, 0x04, 0x03,
                                          0x02, 0x01, 0x2C, 0x01}));
  const auto parsed = sim::ParseTestFrame(frame.data(), frame.size());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->sender, 2);
  EXPECT_EQ(parsed->sequence, 0x01020304u);
  EXPECT_EQ(parsed->length, 300);
  EXPECT_TRUE(sim::IsWholeTestFrame(7, frame.data(), frame.size()));
  // The same inputs give the same bytes; another number gives another payload.
  EXPECT_EQ(frame, sim::BuildTestFrame(7, 2, 0x01020304, kTo, kFrom, 300));
  const std::vector<uint8_t> next = sim::BuildTestFrame(7, 2, 0x01020305, kTo, kFrom, 300);
  EXPECT_FALSE(std::equal(frame.begin() + 26, frame.end(), next.begin() + 26));
}

TEST(TestFrame, CheckCatchesEveryDamage) {
  const std::vector<uint8_t> good = sim::BuildTestFrame(7, 1, 40, kTo, kFrom, 200);
  const std::vector<uint8_t> other = sim::BuildTestFrame(7, 1, 41, kTo, kFrom, 200);
  struct Case {
    std::string name;
    std::function<void(std::vector<uint8_t>&)> damage;
  };
  const Case cases[] = {
      {"payload byte flipped", [](auto& f) { f[150] ^= 0x10; }},
      {"last byte flipped", [](auto& f) { f.back() ^= 0x01; }},
      {"sequence changed", [](auto& f) { f[20] ^= 0x01; }},
      {"cut by one byte", [](auto& f) { f.pop_back(); }},
      {"one byte too many", [](auto& f) { f.push_back(0); }},
      {"torn: second half of the next frame",
       [&](auto& f) { std::copy(other.begin() + 100, other.end(), f.begin() + 100); }},
      {"not a test frame", [](auto& f) { f[13] = 0x00; }},
      {"cut below the header", [](auto& f) { f.resize(20); }},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> frame = good;
    c.damage(frame);
    EXPECT_FALSE(sim::IsWholeTestFrame(7, frame.data(), frame.size())) << c.name;
  }
  EXPECT_FALSE(sim::IsWholeTestFrame(8, good.data(), good.size())) << "another seed";
  EXPECT_TRUE(sim::IsWholeTestFrame(7, good.data(), good.size()));
}

// Below the 26-byte header a test frame is the header cut short, and parses
// as nothing.
TEST(TestFrame, RuntsAreTheHeaderCutAndParseAsNothing) {
  const std::vector<uint8_t> whole = sim::BuildTestFrame(0, 0, 9, kTo, kFrom, 26);
  const std::vector<uint8_t> runt = sim::BuildTestFrame(0, 0, 9, kTo, kFrom, 20);
  EXPECT_EQ(runt, std::vector<uint8_t>(whole.begin(), whole.begin() + 20));
  EXPECT_FALSE(sim::ParseTestFrame(runt.data(), runt.size()).has_value());
}

TEST(TestFrame, RenumberingChangesOnlyTheSequence) {
  std::vector<uint8_t> frame = sim::BuildTestFrame(0, 3, 0, kTo, kFrom, 60);
  std::vector<uint8_t> before = frame;
  sim::RenumberTestFrame(frame.data(), 77);
  const auto parsed = sim::ParseTestFrame(frame.data(), frame.size());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->sequence, 77u);
  EXPECT_EQ(parsed->sender, 3);
  std::copy(frame.begin() + 20, frame.begin() + 24, before.begin() + 20);
  EXPECT_EQ(frame, before) << "only the sequence's bytes 20-23 change";
  EXPECT_FALSE(sim::IsWholeTestFrame(0, frame.data(), frame.size()));
}

}  // namespace
