// `torvelin script`: the documented example session answer for answer, and
// the protocol's refusals, pending reads and machine changes.
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

// One request for each thing a client cannot see through the device alone:
// PCI and MDI accesses, configure bytes, the interrupt mask of a polled
// adapter, the kernel's records, raw device calls and control codes, a
// foreign client, a read ended by close, a failed start-up, device numbers
// with a gap and faults from power-up.
TEST(ToolScript, ObservationSessionReplaysExactly) {
  const Transcript t =
      ParseTranscript(ReadText(SourceDir() + "/tests/tool/data/observe_session.txt"));
  ASSERT_GE(t.size(), 40u);
  Replay(t, "observation session");
}

TEST(ToolScript, RefusalsPendingReadsAndMachineChanges) {
  TempDir dir;
  const std::string registry = dir / "ha.reg";
  WriteText(registry, "[TORVELIN]\nHaDetect=1\nConfigDelay=10\n");
  const std::string broadcast = "ffffffffffff0200000000018888" + [] {
    std::string bytes;
    for (int i = 0; i < 46; ++i) bytes += "ab";
    return bytes;
  }();
  const Transcript t = {
      {"open 0", "error state no machine: send boot first"},
      {"console", "error state no machine"},
      {"boot registry=" + registry + " quiet=1 ha=suspend", "ok devices=2"},
      {"boot", "error state a machine is running: send stop first"},
      {"open 0", "ok 1"},
      {"open 9", "error nodevice no device 9 (published: 0 1)"},
      // A read that times out stays pending; the next read waits for it.
      {"read 1 timeout_ms=20", "error timeout no frame within 20 ms (the read stays pending)"},
      {"open 1", "ok 2"},
      // A frame on the wire reaches both controllers; each device reads it.
      {"send 0 hex:" + broadcast, "ok"},
      {"read 1 timeout_ms=5000", "ok 60 " + broadcast},
      {"read 2 timeout_ms=5000", "ok 60 " + broadcast},
      {"send 1 hex:00", "error usage no segment 1 (the machine has 1)"},
      {"write 1 hex:" + std::string(1537 * 2, '0'),
       "error 0x10000000 frame longer than 1536 bytes"},
      {"write 1 gen dst=broadcast len=1514", "ok 1514"},  // longer: refused by the receiver
      {"read 2 timeout_ms=5000 size=20", "ok 20 ffffffffffff00a0c910000188b554564c4e0000"},
      {"stats client 2",
       "ok TxDirected=0 TxMulticast=0 TxBroadcast=0 RxDirected=0 RxMulticast=0 RxBroadcast=2 "
       "ReadErrors=0 WriteErrors=0 WriteTooShort=0 WriteTooLong=0"},
      {"stats client 1",
       "ok TxDirected=0 TxMulticast=0 TxBroadcast=1 RxDirected=0 RxMulticast=0 RxBroadcast=1 "
       "ReadErrors=0 WriteErrors=0 WriteTooShort=0 WriteTooLong=1"},
      // Moving controller 0's I/O base: the driver's check reports the change
      // and the kernel (ha=suspend) suspends the adapter.
      {"bar 0 io=0xD000", "ok"},
      {"write 1 gen dst=broadcast", "error 19 adapter suspended"},
      {"stats adapter 1",
       "ok TxDirected=0 TxMulticast=0 TxBroadcast=1 RxDirected=0 RxMulticast=0 RxBroadcast=1 "
       "ReadErrors=0 WriteErrors=0 RxTooShort=0 RxCrcErrors=0 RxAlignmentErrors=0 RxOverruns=0 "
       "WriteTooShort=0 WriteTooLong=1"},
      {"fault 0 no_such_fault on",
       "error usage unknown fault 'no_such_fault' (known: blocks_never_complete "
       "command_never_accepted cu_stuck_active mdi_never_ready rbd_count_beyond_buffer "
       "rbd_missing_eof rbd_missing_f registers_all_ones ru_out_of_resources "
       "selective_reset_hangs)"},
      {"fault 1 ru_out_of_resources maybe", "error usage fault takes on or off"},
      {"inject 5 hex:00", "error usage no controller 5 (the machine has 2)"},
      {"inject 1 hex:0g", "error usage bad hex bytes"},
      {"inject 1 hex:00 bent", "error usage unknown error mark 'bent' (crc, align, overrun)"},
      {"write 9 hex:00", "error handle no open handle 9"},
      {"write 2 gen dst=nowhere", "error usage bad dst 'nowhere'"},
      {"stats bogus 1", "error usage stats client|adapter|global <handle>"},
      {"filter 2 sideways", "error usage unknown filter bit 'sideways'"},
      {"filter 2 0x5", "ok"},
      {"read 2 colour=red", "error usage unknown argument 'colour'"},
      // A read still blocked when its handle closes or the machine stops
      // ends without hanging the tool.
      {"read 2 timeout_ms=20", "error timeout no frame within 20 ms (the read stays pending)"},
      {"close 2", "ok read=2"},  // the read the close ended
      // Refused at once; the long bound only matters on a loaded machine.
      {"read 1 timeout_ms=5000", "error 19 adapter suspended"},
      {"open 1", "ok 3"},
      {"read 3 timeout_ms=20", "error timeout no frame within 20 ms (the read stays pending)"},
      {"stop", "ok"},
      {"stop", "error state no machine"},
      {"version", "ok 1.2.0"},
  };
  Replay(t, "refusals");
}

TEST(ToolScript, AMachineAfterAStopAndNothingAfterQuit) {
  Replay({{"boot controllers=1 quiet=1 registry=tests/tool/data/fast.reg", "ok devices=1"},
          {"stop", "ok"},
          {"boot controllers=1 quiet=1 registry=tests/tool/data/fast.reg", "ok devices=1"},
          {"devices", "ok /DEV/MAC/TORVELIN/0"},
          {"open 0", "ok 1"}},
         "second boot");
  const Result r = RunTool({"script"}, "version\nquit\nversion\n");
  EXPECT_EQ(r.out, "ok 1.2.0\nok\n");
}

}  // namespace
}  // namespace tvtest
