// The Ethernet segment, test ports, pcap capture and replay, the TAP bridge.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "nic_rig.h"

namespace nic_test {
namespace {

// A port that answers every frame from `peer` with a reply of its own,
// sent from inside Receive.
class EchoPort : public sim::SegmentPort {
 public:
  EchoPort(sim::Segment& segment) : segment_(segment) { segment_.Attach(this); }
  ~EchoPort() override { segment_.Detach(this); }
  void Receive(const sim::Frame& frame) override {
    if (frame.bytes.size() > 14 && frame.bytes[14] == 0xEE) return;  // a reply
    sim::Frame reply = frame;
    reply.bytes[14] = 0xEE;
    segment_.Send(this, reply);
  }

 private:
  sim::Segment& segment_;
};

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          (name + "." + std::to_string(getpid()) + ".pcap"))
      .string();
}

TEST(Segment, DeliversToEveryOtherPortInOrder) {
  sim::Segment segment;
  sim::TestPort a(segment), b(segment), c(segment);
  for (uint8_t i = 0; i < 5; ++i) a.Inject(MakeFrame(kBroadcast, Station(0), 60, i));
  b.Inject(MakeFrame(kBroadcast, Station(1), 60, 100), {.crc = true});
  EXPECT_EQ(a.Heard().size(), 1u);  // only b's frame
  EXPECT_TRUE(a.Heard()[0].errors.crc);
  ASSERT_EQ(b.Heard().size(), 5u);
  ASSERT_EQ(c.Heard().size(), 6u);
  for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(c.Heard()[i].bytes[14], i + 14);
  // From outside the segment: everyone hears it.
  segment.Send(nullptr, sim::Frame{MakeFrame(kBroadcast, Station(2), 60), {}});
  EXPECT_EQ(a.Heard().size(), 2u);
  EXPECT_EQ(segment.frames(), 7u);
  // Detached ports hear nothing more.
  segment.Detach(&c);
  a.Inject(MakeFrame(kBroadcast, Station(0), 60));
  EXPECT_EQ(c.Heard().size(), 7u);
  segment.Attach(&c);
}

TEST(Segment, ConcurrentSendersAreSerialisedIntoOneOrder) {
  sim::Segment segment;
  sim::TestPort listener1(segment), listener2(segment);
  constexpr int kSenders = 4;
  constexpr int kFrames = 300;
  std::vector<std::unique_ptr<sim::TestPort>> senders;
  for (int s = 0; s < kSenders; ++s) senders.push_back(std::make_unique<sim::TestPort>(segment));
  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < kFrames; ++i) {
        std::vector<uint8_t> frame = MakeFrame(kBroadcast, Station(s), 60);
        frame[14] = static_cast<uint8_t>(s);
        frame[15] = static_cast<uint8_t>(i);
        frame[16] = static_cast<uint8_t>(i >> 8);
        senders[s]->Inject(frame);
      }
    });
  }
  for (auto& t : threads) t.join();
  segment.Flush();
  const auto heard1 = listener1.Heard();
  const auto heard2 = listener2.Heard();
  ASSERT_EQ(heard1.size(), static_cast<size_t>(kSenders * kFrames));
  ASSERT_EQ(heard2.size(), heard1.size());
  std::map<int, int> next;
  for (size_t k = 0; k < heard1.size(); ++k) {
    ASSERT_EQ(heard1[k].bytes, heard2[k].bytes) << "frame " << k;
    const int s = heard1[k].bytes[14];
    const int i = heard1[k].bytes[15] | heard1[k].bytes[16] << 8;
    EXPECT_EQ(i, next[s]++) << "sender " << s;
  }
  // Every sender heard the others' frames and none of its own.
  EXPECT_EQ(senders[0]->Heard().size(), static_cast<size_t>((kSenders - 1) * kFrames));
}

TEST(Segment, SendingFromInsideReceiveQueuesBehind) {
  sim::Segment segment;
  sim::TestPort source(segment);
  EchoPort echo(segment);
  sim::TestPort observer(segment);
  source.Inject(MakeFrame(kBroadcast, Station(0), 60, 1));
  source.Inject(MakeFrame(kBroadcast, Station(0), 60, 2));
  const auto heard = observer.Heard();
  ASSERT_EQ(heard.size(), 4u);
  EXPECT_EQ(heard[0].bytes[14], 1 + 14);
  EXPECT_EQ(heard[1].bytes[14], 0xEE);  // the first reply, before the second frame
  EXPECT_EQ(heard[2].bytes[14], 2 + 14);
  EXPECT_EQ(heard[3].bytes[14], 0xEE);
  EXPECT_EQ(source.Heard().size(), 2u);
}

TEST(Segment, PortsComeAndGoWhileFramesFlow) {
  sim::Segment segment;
  sim::TestPort sender(segment);
  std::atomic<bool> stop{false};
  std::thread traffic([&] {
    while (!stop) sender.Inject(MakeFrame(kBroadcast, Station(0), 60));
  });
  for (int i = 0; i < 200; ++i) {
    auto port = std::make_unique<sim::TestPort>(segment);
    std::this_thread::yield();
    port.reset();  // detaches, waiting for a delivery to it in flight
  }
  stop = true;
  traffic.join();
}

TEST(Capture, PcapFileReadsBackAndOpensInTshark) {
  Rig rig;
  const std::string path = TempPath("nic_capture");
  sim::TestPort& port = rig.AddTestPort();
  auto capture = std::make_unique<sim::CapturePort>(rig.segment(), path, rig.machine().clock());
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < 3; ++i) {
    sent.push_back(MakeFrame(Station(1), Station(0), 60 + 500 * i, static_cast<uint8_t>(i)));
    rig.machine().clock().Advance(1'500'000);  // 1.5 ms of machine time apart
    port.Inject(sent.back());
  }
  EXPECT_EQ(capture->frames(), 3u);
  capture->Close();
  EXPECT_TRUE(capture->error().empty());
  port.Inject(sent[0]);  // after Close: not captured
  EXPECT_EQ(capture->frames(), 3u);
  EXPECT_EQ(sim::ReadPcapFrames(path), sent);

  if (std::system("command -v tshark > /dev/null 2>&1") != 0) {
    std::filesystem::remove(path);
    GTEST_SKIP() << "tshark is not installed; the pcap file was only checked with libpcap";
  }
  const std::string command = "tshark -r " + path +
                              " -T fields -e frame.len -e eth.dst -e eth.src -e frame.time_relative"
                              " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  EXPECT_EQ(pclose(pipe), 0) << output;
  std::istringstream lines(output);
  std::string line;
  std::vector<std::string> rows;
  while (std::getline(lines, line)) rows.push_back(line);
  ASSERT_EQ(rows.size(), 3u) << output;
  EXPECT_EQ(rows[0].substr(0, rows[0].find('\t')), "60");
  EXPECT_EQ(rows[2].substr(0, rows[2].find('\t')), "1060");
  EXPECT_NE(rows[1].find("02:00:5e:10:20:31\t02:00:5e:10:20:30"), std::string::npos) << rows[1];
  EXPECT_NE(rows[1].find("0.0015"), std::string::npos) << rows[1];  // machine time
  std::filesystem::remove(path);
}

TEST(Capture, ErrorsNameTheFile) {
  sim::Segment segment;
  sim::Clock clock;
  try {
    sim::CapturePort port(segment, "/nonexistent-dir/x.pcap", clock);
    ADD_FAILURE() << "opened a file in a missing directory";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/x.pcap"), std::string::npos);
  }
  try {
    sim::ReadPcapFrames("/nonexistent-dir/y.pcap");
    ADD_FAILURE() << "read a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/y.pcap"), std::string::npos);
  }
  const std::string garbage = TempPath("nic_garbage");
  std::ofstream(garbage) << "this is not a capture file at all";
  try {
    sim::ReadPcapFrames(garbage);
    ADD_FAILURE() << "read a text file as pcap";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(garbage), std::string::npos);
  }
  std::filesystem::remove(garbage);

  // A capture cut off in the middle of a frame.
  const std::string cut = TempPath("nic_cut");
  {
    sim::CapturePort port(segment, cut, clock);
    sim::TestPort source(segment);
    source.Inject(MakeFrame(kBroadcast, Station(0), 200));
  }
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 50);
  EXPECT_THROW(sim::ReadPcapFrames(cut), std::runtime_error);
  std::filesystem::remove(cut);
}

// Files other programs write: either byte order, microsecond or nanosecond
// timestamps. Only Ethernet captures are replayed.
TEST(Capture, ReadsEitherByteOrderAndTimestampKindOfEthernetFiles) {
  struct Case {
    const char* name;
    uint32_t magic;
    bool big_endian;
    uint32_t link_type;
    bool readable;
  };
  const Case cases[] = {
      {"little-endian microseconds", 0xA1B2C3D4, false, 1, true},
      {"big-endian microseconds", 0xA1B2C3D4, true, 1, true},
      {"little-endian nanoseconds", 0xA1B23C4D, false, 1, true},
      {"big-endian nanoseconds", 0xA1B23C4D, true, 1, true},
      {"not Ethernet (802.11)", 0xA1B2C3D4, false, 105, false},
  };
  const std::vector<uint8_t> first = MakeFrame(kBroadcast, Station(0), 60, 1);
  const std::vector<uint8_t> second = MakeFrame(kBroadcast, Station(1), 75, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes;
    const auto put32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i) {
        const int shift = c.big_endian ? 24 - 8 * i : 8 * i;
        bytes.push_back(static_cast<char>(v >> shift));
      }
    };
    const auto put16 = [&](uint16_t v) {
      for (int i = 0; i < 2; ++i) {
        const int shift = c.big_endian ? 8 - 8 * i : 8 * i;
        bytes.push_back(static_cast<char>(v >> shift));
      }
    };
    put32(c.magic);
    put16(2);
    put16(4);
    put32(0);
    put32(0);
    put32(65535);
    put32(c.link_type);
    for (const auto* frame : {&first, &second}) {
      put32(1700000000);
      put32(123456);
      put32(static_cast<uint32_t>(frame->size()));
      put32(static_cast<uint32_t>(frame->size()));
      bytes.append(frame->begin(), frame->end());
    }
    const std::string path = TempPath("nic_foreign");
    std::ofstream(path, std::ios::binary) << bytes;
    if (c.readable) {
      EXPECT_EQ(sim::ReadPcapFrames(path), (std::vector<std::vector<uint8_t>>{first, second}));
    } else {
      EXPECT_THROW(sim::ReadPcapFrames(path), std::runtime_error);
    }
    std::filesystem::remove(path);
  }
}

// Brings an interface up; false when the host does not let us.
bool BringInterfaceUp(const std::string& name) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return ok;
}

// Waits (bounded, in wall time: the host's network stack is not simulated)
// for a condition.
template <class F>
bool Eventually(F condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TEST(Tap, BridgeCarriesFramesBothWaysOrExplainsWhyNot) {
  sim::Segment segment;
  sim::TestPort source(segment);
  std::unique_ptr<sim::TapPort> tap;
  try {
    tap = std::make_unique<sim::TapPort>(segment, "tvnic" + std::to_string(getpid() % 10000));
  } catch (const std::runtime_error& e) {
    const std::string why = e.what();
    EXPECT_TRUE(why.find("/dev/net/tun") != std::string::npos ||
                why.find("permission") != std::string::npos || why.find("TAP") != std::string::npos)
        << why;
    GTEST_SKIP() << "no TAP interface here: " << why;
  }
  const std::string name = tap->interface_name();
  EXPECT_FALSE(name.empty());
  EXPECT_THROW(sim::TapPort(segment, std::string(40, 'x')), std::runtime_error);

  // While the interface is down the host refuses the write; that is counted,
  // not fatal.
  source.Inject(MakeFrame(kBroadcast, Station(0), 60));
  EXPECT_EQ(tap->frames_out() + tap->write_errors(), 1u);

  if (!BringInterfaceUp(name)) GTEST_SKIP() << "cannot bring " << name << " up here";
  const int raw = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (raw < 0) GTEST_SKIP() << "no packet socket here";
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(if_nametoindex(name.c_str()));
  ASSERT_EQ(bind(raw, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  // Host -> segment: a 42-byte frame arrives padded to 60.
  std::vector<uint8_t> from_host = MakeFrame(Station(1), Station(2), 42, 0x55);
  from_host[12] = 0x88;
  from_host[13] = 0xB5;
  ASSERT_EQ(send(raw, from_host.data(), from_host.size(), 0),
            static_cast<ssize_t>(from_host.size()));
  std::vector<uint8_t> expected = from_host;
  expected.resize(60, 0);
  auto heard_it = [&] {
    for (const sim::Frame& f : source.Heard()) {
      if (f.bytes == expected) return true;
    }
    return false;
  };
  EXPECT_TRUE(Eventually(heard_it));
  EXPECT_GE(tap->frames_in(), 1u);

  // Segment -> host.
  std::vector<uint8_t> to_host = MakeFrame(Station(2), Station(1), 80, 0x66);
  to_host[12] = 0x88;
  to_host[13] = 0xB5;
  source.Inject(to_host);
  timeval timeout{5, 0};
  setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  bool got = false;
  std::vector<uint8_t> buffer(2048);
  for (int i = 0; i < 100 && !got; ++i) {
    const ssize_t n = recv(raw, buffer.data(), buffer.size(), 0);
    if (n < 0) break;
    got = std::vector<uint8_t>(buffer.begin(), buffer.begin() + n) == to_host;
  }
  EXPECT_TRUE(got);
  close(raw);
  tap.reset();  // stops and joins the reader
}

}  // namespace
}  // namespace nic_test
