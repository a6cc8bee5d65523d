// The self-checking test frame: its header layout (captures of the tool's
// runs hold it), and that a receiver's check catches every way a frame can
// arrive wrong.
#include "platform/net/test_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace {

using Mac = std::array<uint8_t, 6>;
using Bytes = std::vector<uint8_t>;
const Mac kTo = {0x00, 0xA0, 0xC9, 0x10, 0x00, 0x02};
const Mac kFrom = {0x00, 0xA0, 0xC9, 0x10, 0x00, 0x01};

TEST(TestFrame, HeaderLayoutRoundTripAndRunts) {
  const Bytes frame = sim::BuildTestFrame(7, 2, 0x01020304, kTo, kFrom, 300);
  ASSERT_EQ(frame.size(), 300u);
  const Bytes head(frame.begin(), frame.begin() + 26);
  EXPECT_EQ(head,
            (Bytes{0x00, 0xA0, 0xC9, 0x10, 0x00, 0x02, 0x00, 0xA0, 0xC9, 0x10, 0x00, 0x01, 0x88,
                   0xB5, 'T',  'V',  'L',  'N',  0x02, 0x00, 0x04, 0x03, 0x02, 0x01, 0x2C, 0x01}));
  const auto parsed = sim::ParseTestFrame(frame.data(), frame.size());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_TRUE(parsed->sender == 2 && parsed->sequence == 0x01020304u && parsed->length == 300);
  EXPECT_TRUE(sim::IsWholeTestFrame(7, frame.data(), frame.size()));
  // The same inputs give the same bytes; another number gives another payload.
  EXPECT_EQ(frame, sim::BuildTestFrame(7, 2, 0x01020304, kTo, kFrom, 300));
  const Bytes next = sim::BuildTestFrame(7, 2, 0x01020305, kTo, kFrom, 300);
  EXPECT_FALSE(std::equal(frame.begin() + 26, frame.end(), next.begin() + 26));

  // Below the 26-byte header a test frame is the header cut short, and
  // parses as nothing.
  const Bytes whole = sim::BuildTestFrame(0, 0, 9, kTo, kFrom, 26);
  const Bytes runt = sim::BuildTestFrame(0, 0, 9, kTo, kFrom, 20);
  EXPECT_EQ(runt, Bytes(whole.begin(), whole.begin() + 20));
  EXPECT_FALSE(sim::ParseTestFrame(runt.data(), runt.size()).has_value());
}

TEST(TestFrame, CheckCatchesEveryDamageAndRenumberingChangesOnlyTheSequence) {
  const Bytes good = sim::BuildTestFrame(7, 1, 40, kTo, kFrom, 200);
  const Bytes other = sim::BuildTestFrame(7, 1, 41, kTo, kFrom, 200);
  const std::pair<std::string, std::function<void(Bytes&)>> damages[] = {
      {"payload byte flipped", [](auto& f) { f[150] ^= 0x10; }},
      {"last byte flipped", [](auto& f) { f.back() ^= 0x01; }},
      {"sequence changed", [](auto& f) { f[20] ^= 0x01; }},
      {"cut by one byte", [](auto& f) { f.pop_back(); }},
      {"one byte too many", [](auto& f) { f.push_back(0); }},
      {"torn: second half of the next frame",
       [&](auto& f) { std::copy(other.begin() + 100, other.end(), f.begin() + 100); }},
      {"not a test frame", [](auto& f) { f[13] = 0x00; }},
      {"cut below the header", [](auto& f) { f.resize(20); }},
      {"renumbered", [](auto& f) { sim::RenumberTestFrame(f.data(), 77); }},
  };
  for (const auto& [name, damage] : damages) {
    Bytes frame = good;
    damage(frame);
    EXPECT_FALSE(sim::IsWholeTestFrame(7, frame.data(), frame.size())) << name;
  }
  EXPECT_FALSE(sim::IsWholeTestFrame(8, good.data(), good.size())) << "another seed";
  EXPECT_TRUE(sim::IsWholeTestFrame(7, good.data(), good.size()));

  // Renumbered, only the sequence's bytes 20-23 change.
  Bytes renumbered = good;
  sim::RenumberTestFrame(renumbered.data(), 77);
  const auto parsed = sim::ParseTestFrame(renumbered.data(), renumbered.size());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_TRUE(parsed->sequence == 77u && parsed->sender == 1);
  Bytes expected = good;
  std::copy(renumbered.begin() + 20, renumbered.begin() + 24, expected.begin() + 20);
  EXPECT_EQ(renumbered, expected);
}

}  // namespace
