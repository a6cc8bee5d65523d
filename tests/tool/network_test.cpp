// The tool against real network software: its captures read back by tshark
// and replayed, and its responder answering the host's ping and arping
// through a TAP interface inside a network namespace of the test's own.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "support/tool.h"

namespace tvtest {
namespace {

using nlohmann::json;

struct WireFrame {
  std::string source, destination, type;
  int length;
};

TEST(ToolNetwork, CaptureDecodedByTsharkThenReplayed) {
  if (!HaveProgram("tshark")) GTEST_SKIP() << "tshark is not installed (apt-get install tshark)";
  TempDir dir;
  const std::string pcap = dir / "traffic.pcap";
  const Result run = RunTool(
      {"--registry", FastRegistry(), "--frames", "60", "--seed", "9", "--pcap", pcap, "--json"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const json report = json::parse(run.out);
  EXPECT_FALSE(std::filesystem::exists(pcap + ".partial"));

  const Result decoded = Shell("tshark -r '" + pcap +
                               "' -T fields -e eth.src -e eth.dst -e frame.len -e eth.type "
                               "2>/dev/null");
  ASSERT_EQ(decoded.status, 0) << decoded.err;
  std::vector<WireFrame> frames;
  for (const std::string& line : Lines(decoded.out)) {
    std::istringstream in(line);
    WireFrame f;
    in >> f.source >> f.destination >> f.length >> f.type;
    frames.push_back(f);
  }
  ASSERT_EQ(frames.size(), 60u) << decoded.out;

  std::vector<std::string> stations;
  for (const json& d : report["devices"]) stations.push_back(d["station"]);
  ASSERT_EQ(stations.size(), 2u);
  std::map<std::string, uint64_t> directed_from, broadcast_from;
  for (const WireFrame& f : frames) {
    EXPECT_TRUE(f.source == stations[0] || f.source == stations[1]) << f.source;
    EXPECT_NE(f.source, f.destination);
    EXPECT_TRUE(f.destination == stations[0] || f.destination == stations[1] ||
                f.destination == "ff:ff:ff:ff:ff:ff")
        << f.destination;
    EXPECT_GE(f.length, 60);
    EXPECT_LE(f.length, 1514);
    EXPECT_EQ(f.type, "0x88b5");
    (f.destination == "ff:ff:ff:ff:ff:ff" ? broadcast_from : directed_from)[f.source]++;
  }
  // What the wire carried is what each client's statistics say it wrote.
  for (size_t d = 0; d < 2; ++d) {
    const json& c = report["devices"][d]["client_statistics"];
    EXPECT_EQ(c["TxDirected"].get<uint64_t>(), directed_from[stations[d]]) << stations[d];
    EXPECT_EQ(c["TxBroadcast"].get<uint64_t>(), broadcast_from[stations[d]]) << stations[d];
  }

  // Replaying the capture: each device must read every frame its controller
  // accepts (addressed to it or broadcast) except its own, which the driver
  // drops by their source address.
  uint64_t accepted = 0;
  for (const std::string& station : stations) {
    for (const WireFrame& f : frames) {
      if ((f.destination == station || f.destination == "ff:ff:ff:ff:ff:ff") &&
          f.source != station) {
        ++accepted;
      }
    }
  }
  const Result replay =
      RunTool({"--registry", FastRegistry(), "--frames", "0", "--replay", pcap, "--json"});
  EXPECT_EQ(replay.status, 0) << replay.out << replay.err;
  const json r = json::parse(replay.out);
  EXPECT_EQ(r["replay"]["injected"], 60);
  EXPECT_EQ(r["replay"]["expected"].get<uint64_t>(), accepted);
  EXPECT_EQ(r["replay"]["read"].get<uint64_t>(), accepted);
}

// Runs a command line; for messages.
std::string Describe(const Result& r) {
  return "status " + std::to_string(r.status) + "\n" + r.out + r.err;
}

TEST(ToolNetwork, RespondAnswersPingAndArpingInANamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a TAP interface and a network namespace";
  if (!std::filesystem::exists("/dev/net/tun")) GTEST_SKIP() << "/dev/net/tun is missing";
  if (!HaveProgram("ip") || !HaveProgram("ping")) {
    GTEST_SKIP() << "needs ip and ping (apt-get install iproute2 iputils-ping)";
  }
  const std::string id = std::to_string(getpid() % 100000);
  const std::string ns = "tvtns" + id;
  const std::string tap = "tvtap" + id;
  struct Cleanup {
    std::string ns, tap;
    ~Cleanup() {
      Shell("ip netns del " + ns + " 2>/dev/null");
      Shell("ip link del " + tap + " 2>/dev/null");
    }
  } cleanup{ns, tap};
  if (Shell("ip netns add " + ns).status != 0) {
    GTEST_SKIP() << "cannot make a network namespace here (ip netns add failed)";
  }

  TempDir dir;
  Child responder(ToolPath(),
                  {"respond", "--tap", tap, "--ip", "192.0.2.2/24", "--registry", FastRegistry(),
                   "--interval", "1"},
                  "", dir, "respond");
  ASSERT_TRUE(responder.WaitForOutput([](const std::string& out) {
    return out.find("answering") != std::string::npos;
  })) << responder.Out()
      << responder.Err();

  const std::string in_ns = "ip netns exec " + ns + " ";
  for (const std::string& step :
       {"ip link set " + tap + " netns " + ns, "ip -n " + ns + " link set lo up",
        "ip -n " + ns + " addr add 192.0.2.1/24 dev " + tap,
        "ip -n " + ns + " link set " + tap + " up"}) {
    const Result r = Shell(step);
    ASSERT_EQ(r.status, 0) << step << "\n" << Describe(r);
  }

  const Result ping = Shell(in_ns + "ping -c 5 -W 2 -i 0.2 192.0.2.2");
  EXPECT_EQ(ping.status, 0) << Describe(ping);
  EXPECT_NE(ping.out.find("5 received"), std::string::npos) << ping.out;

  if (HaveProgram("arping")) {
    const Result arping = Shell(in_ns + "arping -c 3 -I " + tap + " 192.0.2.2");
    EXPECT_EQ(arping.status, 0) << Describe(arping);
    // Two arping flavours: "3 packets received" and "Received 3 response(s)".
    EXPECT_TRUE(arping.out.find("3 packets received") != std::string::npos ||
                arping.out.find("Received 3 response") != std::string::npos)
        << arping.out;
  } else {
    std::cout << "[ SKIPPED  ] arping part: arping is not installed\n";
  }

  kill(responder.pid(), SIGTERM);
  const Result r = responder.Finish();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("ping answered 5,"), std::string::npos) << r.out;
  EXPECT_NE(lines.back().find("write failures 0"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace tvtest
