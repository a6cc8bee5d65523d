// The machine trace through the tool: `run --trace FILE` and the script's
// trace requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/tool.h"

namespace {

using namespace tvtest;

// The start-up thread's lines up to the signal that says every adapter is
// published: the bring-up, which under the virtual clock depends on nothing
// but the machine. What the thread does after it (serving memory requests)
// races with the clients' first calls for handle numbers, so it is left out.
std::vector<std::string> BringUp(const std::string& text) {
  std::vector<std::string> lines;
  for (const std::string& line : Lines(text)) {
    if (line.find("[driver main]") == std::string::npos) continue;
    lines.push_back(line);
    if (line.find("> KeSignalInterrupt") != std::string::npos) break;
  }
  return lines;
}

TEST(ToolTrace, RunWritesTraceEventJsonThatNestsPerThread) {
  TempDir dir;
  const std::string file = dir / "x.json";
  // A bring-up without the EEPROM reads and their clocking delays, and no
  // traffic (both adapters then have the same station): a third of the
  // trace of a run with traffic, the bus scan most of it, and still every
  // kind of event, every thread, and a client call the stop unwinds.
  const std::string registry = dir / "short.reg";
  WriteText(registry, "[TORVELIN]\nConfigDelay=10\nUseEeprom=0\n");
  const Result r = RunTool({"run", "--frames", "0", "--registry", registry, "--trace", file});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const nlohmann::json trace = nlohmann::json::parse(ReadText(file));
  const auto& events = trace.at("traceEvents");
  ASSERT_TRUE(events.is_array());
  std::map<int, std::vector<std::string>> open;
  std::map<int, std::string> thread_names;
  std::map<std::string, size_t> phases;
  for (const auto& e : events) {
    for (const char* field : {"name", "ph", "ts", "pid", "tid"}) {
      ASSERT_TRUE(e.contains(field)) << field << " missing in " << e.dump();
    }
    ASSERT_TRUE(e["name"].is_string() && e["ph"].is_string() && e["ts"].is_number() &&
                e["pid"].is_number_integer() && e["tid"].is_number_integer())
        << e.dump();
    const std::string ph = e["ph"];
    ++phases[ph];
    const int tid = e["tid"];
    if (ph == "M") {
      if (e["name"] == "thread_name") thread_names[tid] = e.at("args").at("name");
      continue;
    }
    ASSERT_TRUE(ph == "B" || ph == "E" || ph == "i" || ph == "C") << e.dump();
    ASSERT_TRUE(e.contains("args") && e["args"].is_object()) << e.dump();
    if (ph == "B") open[tid].push_back(e["name"]);
    if (ph == "E") {
      ASSERT_FALSE(open[tid].empty()) << "end without a begin: " << e.dump();
      ASSERT_EQ(open[tid].back(), e["name"].get<std::string>()) << e.dump();
      open[tid].pop_back();
    }
  }
  // The machine was stopped before the trace was written: every call the
  // stop unwound was ended too.
  for (const auto& [tid, names] : open) {
    EXPECT_TRUE(names.empty()) << thread_names[tid] << " left " << names.back() << " open";
  }
  for (const char* ph : {"B", "E", "i", "C"}) EXPECT_GT(phases[ph], 0u) << ph;
  std::vector<std::string> tracks;
  for (const auto& [tid, name] : thread_names) tracks.push_back(name);
  for (const char* track :
       {"driver main", "interrupt", "controller 00:03.0", "controller 00:04.0"}) {
    EXPECT_NE(std::find(tracks.begin(), tracks.end(), track), tracks.end()) << track;
  }
  // The run's client process, named by its process handle.
  EXPECT_TRUE(std::any_of(tracks.begin(), tracks.end(),
                          [](const std::string& name) { return name.rfind("client ", 0) == 0; }));
}

TEST(ToolTrace, BringUpTextIsTheSameFromRunToRun) {
  TempDir dir;
  std::vector<std::string> bring_ups[2];
  for (int i = 0; i < 2; ++i) {
    const std::string file = dir / ("run" + std::to_string(i) + ".txt");
    const Result r = RunTool({"run", "--frames", "10", "--trace", file});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    bring_ups[i] = BringUp(ReadText(file));
  }
  ASSERT_GT(bring_ups[0].size(), 1000u);
  ASSERT_NE(bring_ups[0].back().find("> KeSignalInterrupt"), std::string::npos);
  ASSERT_EQ(bring_ups[0].size(), bring_ups[1].size());
  for (size_t i = 0; i < bring_ups[0].size(); ++i) {
    ASSERT_EQ(bring_ups[0][i], bring_ups[1][i]) << "line " << i;
  }
}

TEST(ToolTrace, ScriptSwitchesTheTraceAndAnswersIt) {
  TempDir dir;
  const std::string file = dir / "s.json";
  const Result r = RunTool({"script"}, "trace on\nboot controllers=1\ntrace off\nconsole\ntrace " +
                                           file + "\ntrace\ntrace\nquit\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> answers = Lines(r.out);
  ASSERT_EQ(answers.size(), 8u) << r.out;
  EXPECT_EQ(answers[0], "ok");
  EXPECT_EQ(answers[2], "ok");
  EXPECT_EQ(answers[4].rfind("ok events=", 0), 0u) << answers[4];
  // The bring-up from power-up: the PCI address latch and the EEPROM.
  EXPECT_NE(answers[5].find("[driver main] - out port=0xcf8"), std::string::npos);
  EXPECT_NE(answers[5].find("EEPROM read"), std::string::npos);
  EXPECT_EQ(answers[6], "ok");  // nothing new since the last answer
  EXPECT_TRUE(nlohmann::json::accept(ReadText(file)));
}

}  // namespace
