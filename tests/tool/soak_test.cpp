// The soak runs the real tool binary for a short while: every client action,
// availability event, BAR move and controller fault at once, with its own
// invariants (no hang, every paced frame whole, once and in order, counters,
// no leak). The test checks that it held them and did real work.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "support/tool.h"

namespace {

using namespace tvtest;

// The number right after `label` in the report (0 when absent).
uint64_t NumberAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return 0;
  uint64_t value = 0;
  for (size_t i = at + label.size(); i < text.size() && std::isdigit(text[i]); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return value;
}

// The number right before `label` in the report (0 when absent).
uint64_t NumberBefore(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return 0;
  size_t start = at;
  while (start > 0 && std::isdigit(text[start - 1])) --start;
  return start == at ? 0 : std::stoull(text.substr(start, at - start));
}

TEST(Soak, ShortRunHoldsEveryInvariant) {
  const Result result = RunTool({"soak", "--seconds", "12", "--seed", "7"});
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("soak: ok"), std::string::npos) << result.out;
  // Real work was done: frames went through the pair and every kind of
  // event happened at least once.
  EXPECT_GT(NumberAfter(result.out, "frames verified: "), 0u) << result.out;
  EXPECT_GT(NumberAfter(result.out, "suspend/resume "), 0u) << result.out;
  EXPECT_GT(NumberAfter(result.out, "BAR moves "), 0u) << result.out;
  EXPECT_EQ(NumberAfter(result.out, "aborts "), 1u) << result.out;
  EXPECT_GT(NumberBefore(result.out, " ending a blocked read)"), 0u) << result.out;
  const uint64_t after_boot = NumberAfter(result.out, "arena blocks: ");
  EXPECT_EQ(NumberBefore(result.out, " after the last close"), after_boot) << result.out;
}

}  // namespace
