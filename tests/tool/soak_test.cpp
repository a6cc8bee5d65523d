// The soak runs the real tool binary for a short while: every client action,
// availability event, BAR move and controller fault at once, with its own
// invariants (no hang, every paced frame whole, once and in order, counters,
// no leak). The test checks that it held them and did real work.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tool_runner.h"

namespace {

using namespace tool_test;

uint64_t Number(const std::string& text, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern))) return 0;
  return std::stoull(match[1]);
}

TEST(Soak, ShortRunHoldsEveryInvariant) {
  const Result result = RunTool({"soak", "--seconds", "12", "--seed", "7"});
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("soak: ok"), std::string::npos) << result.out;
  // Real work was done: frames went through the pair and every kind of
  // event happened at least once.
  EXPECT_GT(Number(result.out, R"(frames verified: (\d+))"), 0u) << result.out;
  EXPECT_GT(Number(result.out, R"(suspend/resume (\d+))"), 0u) << result.out;
  EXPECT_GT(Number(result.out, R"(BAR moves (\d+))"), 0u) << result.out;
  EXPECT_EQ(Number(result.out, R"(aborts (\d+))"), 1u) << result.out;
  EXPECT_GT(Number(result.out, R"(\((\d+) ending a blocked read\))"), 0u) << result.out;
  const uint64_t after_boot = Number(result.out, R"(arena blocks: (\d+) after boot)");
  EXPECT_EQ(Number(result.out, R"((\d+) after the last close)"), after_boot) << result.out;
}

TEST(Soak, RejectsABadDuration) {
  const Result result = RunTool({"soak", "--seconds", "0"});
  EXPECT_EQ(result.status, 2) << result.out << result.err;
}

}  // namespace
