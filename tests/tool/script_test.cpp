// `torvelin script`: recorded sessions replayed answer for answer.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/tool.h"

namespace tvtest {
namespace {

using Transcript = std::vector<std::pair<std::string, std::string>>;  // request, answer

// "> request" / "< answer" lines.
Transcript ParseTranscript(const std::string& text) {
  Transcript t;
  for (const std::string& line : Lines(text)) {
    if (line.rfind("> ", 0) == 0) {
      t.emplace_back(line.substr(2), "");
    } else if (line.rfind("< ", 0) == 0 && !t.empty()) {
      t.back().second = line.substr(2);
    }
  }
  return t;
}

// Feeds the requests to the tool and compares every answer.
// Runs in the repository's top directory, as the documentation does.
void Replay(const Transcript& t, const std::string& where) {
  std::string input;
  for (const auto& [request, answer] : t) input += request + "\n";
  const Result r = RunTool({"script", "-"}, input, SourceDir());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> answers = Lines(r.out);
  ASSERT_EQ(answers.size(), t.size()) << where << "\n" << r.out << r.err;
  for (size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(answers[i], t[i].second)
        << where << ": request " << i + 1 << " '" << t[i].first << "'";
  }
}

TEST(ToolScript, DocumentedExampleSessionReplaysExactly) {
  const std::string session = ReadText(SourceDir() + "/tests/tool/data/example_session.txt");
  const Transcript t = ParseTranscript(session);
  ASSERT_GE(t.size(), 20u);
  Replay(t, "example session");
  // The documentation shows this very session.
  bool documented = false;
  for (const char* doc : {"/README.md"}) {
    if (ReadText(SourceDir() + doc).find(session) != std::string::npos) documented = true;
  }
  EXPECT_TRUE(documented) << "tests/tool/data/example_session.txt is not in the README";
}

// Sessions kept as transcripts beside the tests:
// - observe: one request for each thing a client cannot see through the
//   device alone (PCI and MDI accesses, configure bytes, the interrupt mask
//   of a polled adapter, the kernel's records, raw device calls and control
//   codes, a foreign client, a read ended by close, a failed start-up,
//   device numbers with a gap, faults from power-up);
// - refusals: every refusal names what is wrong, pending reads end without
//   hanging the tool, a moved I/O base suspends the adapter, and a machine
//   boots again after a stop.
TEST(ToolScript, SessionsReplayExactly) {
  for (const char* name : {"observe", "refusals"}) {
    SCOPED_TRACE(name);
    const Transcript t = ParseTranscript(
        ReadText(SourceDir() + "/tests/tool/data/" + std::string(name) + "_session.txt"));
    ASSERT_GE(t.size(), 40u);
    Replay(t, name);
  }
}

TEST(ToolScript, NothingAfterQuit) {
  const Result r = RunTool({"script"}, "version\nquit\nversion\n");
  EXPECT_EQ(r.out, "ok 1.2.0\nok\n");
}

}  // namespace
}  // namespace tvtest
