// `torvelin run`: the report a newcomer sees, its JSON twin, exit statuses,
// bad input and captures that are never left half written.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "support/tool.h"

namespace tvtest {
namespace {

using nlohmann::json;

TEST(ToolRun, ReportShowsMachineDevicesTrafficAndStatistics) {
  const Result r = RunTool({"--registry", FastRegistry(), "--frames", "300", "--seed", "5"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // Not a terminal: no progress line on standard error.
  EXPECT_EQ(r.err, "");
  for (const char* expected :
       {"a simulated PC with 2 controllers on 1 segment", "00:03.0", "00:04.0", "0xE000", "0xE040",
        "TORVELIN: Ethernet address is 00:A0:C9:10:00:01", "/DEV/MAC/TORVELIN/0  00:a0:c9:10:00:01",
        "/DEV/MAC/TORVELIN/1  00:a0:c9:10:00:02", "Traffic: 300 frames",
        "Client statistics (control code 0x80002", "Adapter statistics (control code 0x80003)",
        "Global statistics (control code 0x80004)", "RxAlignmentErrors", "PASS: all"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << "missing '" << expected << "' in\n"
                                                       << r.out;
  }
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
  for (const char* zero : {"  lost                   0", "  corrupted              0",
                           "  out of order           0", "  duplicated             0"}) {
    EXPECT_NE(r.out.find(zero), std::string::npos) << zero << "\n" << r.out;
  }
}

TEST(ToolRun, VersionHelpAndVerboseConsole) {
  const Result version = RunTool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("1.2.0"), std::string::npos) << version.out;

  const Result help = RunTool({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* word :
       {"script", "respond", "--machine", "--registry", "--controllers", "--frames", "--seed",
        "--pcap", "--replay", "--tap", "--clock", "--json", "--verbose"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word << "\n" << help.out;
  }

  // --verbose shows the console as it is printed instead of a block.
  const Result verbose = RunTool({"--registry", FastRegistry(), "--frames", "10", "-v"});
  EXPECT_EQ(verbose.status, 0) << verbose.out;
  EXPECT_EQ(verbose.out.find("Driver console (start-up)"), std::string::npos);
  EXPECT_LT(verbose.out.find("TORVELIN: Reading EEPROM address... PASSED."),
            verbose.out.find("Devices"));
}

TEST(ToolRun, JsonCountsAgreeWithTheDriversStatistics) {
  const Result r =
      RunTool({"--registry", FastRegistry(), "--frames", "400", "--seed", "11", "--json"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const json j = json::parse(r.out);
  EXPECT_TRUE(j["ok"].get<bool>());
  EXPECT_EQ(j["version"], "1.2.0");
  const json& t = j["traffic"];
  EXPECT_EQ(t["written"], 400);
  // Two devices on one segment: every frame has exactly one receiver.
  EXPECT_EQ(t["deliveries_expected"], 400);
  EXPECT_EQ(t["delivered"], 400);
  EXPECT_EQ(t["lost"], 0);
  EXPECT_EQ(t["corrupted"], 0);
  EXPECT_EQ(t["out_of_order"], 0);
  ASSERT_EQ(j["devices"].size(), 2u);
  uint64_t tx = 0, rx = 0, broadcast_tx = 0, broadcast_rx = 0;
  for (const json& d : j["devices"]) {
    const json& c = d["client_statistics"];
    EXPECT_EQ(c["TxDirected"], d["adapter_statistics"]["TxDirected"]);
    EXPECT_EQ(c["RxBroadcast"], d["adapter_statistics"]["RxBroadcast"]);
    EXPECT_EQ(c["TxDirected"], d["tool"]["written_directed"]);
    EXPECT_EQ(c["TxBroadcast"], d["tool"]["written_broadcast"]);
    EXPECT_EQ(c["TxMulticast"], 0);
    tx += c["TxDirected"].get<uint64_t>() + c["TxBroadcast"].get<uint64_t>();
    rx += c["RxDirected"].get<uint64_t>() + c["RxBroadcast"].get<uint64_t>();
    broadcast_tx += c["TxBroadcast"].get<uint64_t>();
    broadcast_rx += c["RxBroadcast"].get<uint64_t>();
  }
  EXPECT_EQ(tx, 400u);
  EXPECT_EQ(rx, 400u);
  EXPECT_EQ(broadcast_tx, broadcast_rx);
  EXPECT_GT(broadcast_tx, 0u);  // the mix has both kinds
  EXPECT_LT(broadcast_tx, 400u);
  EXPECT_EQ(j["global_statistics"]["TxBroadcast"], broadcast_tx);
  EXPECT_EQ(j["global_statistics"]["RxDirected"].get<uint64_t>() + broadcast_rx, 400u);
  for (const json& c : j["checks"]) EXPECT_EQ(c["result"], "ok") << c.dump();
  EXPECT_NE(j["console"].get<std::string>().find("TORVELIN: Ethernet address is"),
            std::string::npos);
}

TEST(ToolRun, MachineFileWithTwoSegmentsAndAPolledController) {
  TempDir dir;
  const Result r =
      RunTool({"--machine", SourceDir() + "/tests/tool/data/two_segments.txt", "--registry",
               FastRegistry(), "--frames", "120", "--pcap", dir / "wire.pcap", "--json"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const json j = json::parse(r.out);
  ASSERT_EQ(j["machine"]["controllers"].size(), 4u);
  EXPECT_TRUE(j["machine"]["controllers"][1]["polled"].get<bool>());
  ASSERT_EQ(j["devices"].size(), 4u);
  EXPECT_EQ(j["devices"][2]["station"], "00:a0:c9:20:00:03");
  // The EEPROM image's station: 00:a0:c9:10:00:03, low byte of each word first.
  EXPECT_EQ(j["devices"][3]["station"], "00:a0:c9:10:00:03");
  EXPECT_EQ(j["traffic"]["delivered"], 120);
  // One capture per segment, each holding only its own segment's frames.
  ASSERT_EQ(j["captures"].size(), 2u);
  EXPECT_EQ(j["captures"][0]["file"], dir / "wire.pcap");
  EXPECT_EQ(j["captures"][1]["file"], dir / "wire.1.pcap");
  EXPECT_EQ(j["captures"][0]["frames"].get<uint64_t>() + j["captures"][1]["frames"].get<uint64_t>(),
            120u);
  EXPECT_TRUE(std::filesystem::exists(dir / "wire.pcap"));
  EXPECT_TRUE(std::filesystem::exists(dir / "wire.1.pcap"));
  EXPECT_FALSE(std::filesystem::exists(dir / "wire.pcap.partial"));
}

TEST(ToolRun, BadInputIsOneLineNamingFileAndLineWithStatus2) {
  TempDir dir;
  // Bad machine files, an EEPROM image with a bad word, a file that is no
  // capture: each refused with one line naming what is wrong.
  const std::string bad = SourceDir() + "/tests/tool/data/bad/";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--machine", bad + "slot.txt"}, "slot.txt:4: PCI slot 00:03.0 is already taken"},
      {{"--machine", bad + "irq.txt"}, "irq.txt:2: bad irq '16'"},
      {{"--machine", bad + "key.txt"}, "key.txt:1: unknown controller key 'colour'"},
      {{"--machine", bad + "seg.txt"}, "seg.txt:1: segment 'nowhere' is not declared"},
      {{"--machine", bad + "eeprom.txt"}, "image.hex:1: 'zz00' is not a 16-bit hex word"},
      {{"--machine", bad + "empty.txt"}, "empty.txt:1: no controller described"},
      {{"--machine", dir / "missing.txt"}, "missing.txt: cannot open"},
      {{"--registry", dir / "missing.reg"}, "missing.reg"},
      {{"--replay", bad + "notpcap"}, "notpcap"},
      {{"--pcap", dir / "no/such/dir/x.pcap"}, "x.pcap"},
      {{"--controllers", "0"}, "--controllers 0: must be from 1 to 16"},
      {{"--controllers", "2", "--machine", bad + "key.txt"}, "cannot be combined"},
      {{"--frames", "many"}, "--frames"},
      {{"--clock", "fast"}, "--clock"},
      {{"--no-such-option"}, "--no-such-option"},
      {{"script", dir / "missing.script"}, "missing.script: cannot open"},
      {{"respond", "--tap", "tv0", "--ip", "300.1.1.1"}, "--ip 300.1.1.1"},
      {{"soak", "--seconds", "0"}, "--seconds: Value 0 not in range 1 to 86400"},
  };
  for (const Case& c : cases) {
    const Result r = RunTool(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.status, 2) << joined << "\n" << r.out << r.err;
    EXPECT_EQ(r.out, "") << joined;
    ASSERT_EQ(Lines(r.err).size(), 1u) << joined << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << joined << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("torvelin: ", 0), 0u) << r.err;
  }
  // A bad TAP name is found after the capture was opened: nothing is left.
  const Result r = RunTool({"--pcap", dir / "cap.pcap", "--tap", "a-name-far-too-long-for-linux"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "cap.pcap"));
  EXPECT_FALSE(std::filesystem::exists(dir / "cap.pcap.partial"));
}

TEST(ToolRun, FailedChecksExitWith1) {
  const std::string bad = SourceDir() + "/tests/tool/data/bad/";
  // No supported controller: the driver finds nothing and says so.
  const Result none = RunTool({"--machine", bad + "none.txt"});
  EXPECT_EQ(none.status, 1) << none.out;
  EXPECT_NE(none.out.find("TORVELIN: No compatible controllers found system."), std::string::npos)
      << none.out;
  EXPECT_NE(none.out.find("FAIL  driver started"), std::string::npos) << none.out;

  // The registry gives every adapter one address: the drivers drop each
  // other's frames as their own, so no traffic can be checked.
  const Result same = RunTool({"--registry", bad + "same.reg", "--frames", "10"});
  EXPECT_EQ(same.status, 1) << same.out;
  EXPECT_NE(same.out.find("FAIL  traffic: no two devices on one segment with different station"),
            std::string::npos)
      << same.out;
}

TEST(ToolRun, InterruptedRunLeavesNoCapture) {
  TempDir dir;
  Child child(ToolPath(),
              {"--registry", FastRegistry(), "--frames", "10000000", "--pcap", dir / "long.pcap"},
              "", dir);
  ASSERT_TRUE(child.WaitForOutput([](const std::string& out) {
    return out.find("Traffic:") != std::string::npos;
  })) << child.Out()
      << child.Err();
  kill(child.pid(), SIGINT);
  const Result r = child.Finish();
  EXPECT_EQ(r.status, 130) << r.out << r.err;
  EXPECT_NE(r.out.find("Interrupted"), std::string::npos) << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir / "long.pcap"));
  EXPECT_FALSE(std::filesystem::exists(dir / "long.pcap.partial"));
}

}  // namespace
}  // namespace tvtest
