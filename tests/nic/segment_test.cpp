// The Ethernet segment, test ports, pcap capture and replay, the TAP bridge.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "support/model.h"

namespace tvtest {
namespace {

// A port that answers every frame with a reply of its own, sent from inside
// Receive.
struct EchoPort : sim::TestPort {
  using TestPort::TestPort;
  void Receive(const sim::Frame& frame) override {
    if (frame.bytes[14] == 0xEE) return;  // a reply
    std::vector<uint8_t> reply = frame.bytes;
    reply[14] = 0xEE;
    Inject(reply);
  }
};

std::vector<std::vector<uint8_t>> HeardBytes(const sim::TestPort& port) {
  std::vector<std::vector<uint8_t>> bytes;
  for (const sim::Frame& frame : port.Heard()) bytes.push_back(frame.bytes);
  return bytes;
}

std::string TempPath(const std::string& name) {
  return testing::TempDir() + name + "." + std::to_string(getpid()) + ".pcap";
}

std::vector<uint8_t> Tagged(unsigned source, uint8_t tag, size_t length = 60) {
  return PatternFrame(kBroadcast, Station(source), length, tag);
}

TEST(Segment, DeliversToEveryOtherPortInOrderAndRepliesQueueBehind) {
  sim::Segment segment;
  sim::TestPort a(segment), b(segment), c(segment);
  for (uint8_t i = 0; i < 5; ++i) a.Inject(Tagged(0, i));
  b.Inject(Tagged(1, 100), {.crc = true});
  EXPECT_EQ(a.Heard().size(), 1u);  // only b's frame
  EXPECT_TRUE(a.Heard()[0].errors.crc);
  ASSERT_EQ(b.Heard().size(), 5u);
  ASSERT_EQ(c.Heard().size(), 6u);
  for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(c.Heard()[i].bytes[14], i + 14);
  // From outside the segment: everyone hears it.
  segment.Send(nullptr, sim::Frame{Tagged(2, 0), {}});
  EXPECT_EQ(a.Heard().size(), 2u);
  EXPECT_EQ(segment.frames(), 7u);
  // Detached ports hear nothing more.
  segment.Detach(&c);
  a.Inject(Tagged(0, 0));
  EXPECT_EQ(c.Heard().size(), 7u);

  // A reply sent from inside Receive comes before the next frame.
  EchoPort echo(segment);
  b.ClearHeard();
  a.Inject(Tagged(0, 1));
  a.Inject(Tagged(0, 2));
  std::vector<uint8_t> tags;
  for (const auto& frame : HeardBytes(b)) tags.push_back(frame[14]);
  EXPECT_EQ(tags, (std::vector<uint8_t>{1 + 14, 0xEE, 2 + 14, 0xEE}));
  EXPECT_EQ(a.Heard().size(), 2u + 2u);  // the sender hears the replies
}

TEST(Segment, ConcurrentSendersAreSerialisedAndPortsComeAndGoWhileFramesFlow) {
  sim::Segment segment;
  sim::TestPort listener1(segment), listener2(segment);
  constexpr int kSenders = 4;
  constexpr uint32_t kFrames = 300;
  std::vector<std::unique_ptr<sim::TestPort>> senders;
  for (int s = 0; s < kSenders; ++s) senders.push_back(std::make_unique<sim::TestPort>(segment));
  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s) {
    threads.emplace_back([&, s] {
      for (uint32_t i = 0; i < kFrames; ++i) {
        std::vector<uint8_t> frame = Tagged(s, 0);
        const uint32_t tag = static_cast<uint32_t>(s) << 16 | i;
        std::memcpy(frame.data() + 14, &tag, 4);
        senders[s]->Inject(frame);
      }
    });
  }
  for (auto& t : threads) t.join();
  segment.Flush();
  const auto heard = HeardBytes(listener1);
  ASSERT_EQ(heard.size(), static_cast<size_t>(kSenders * kFrames));
  ASSERT_EQ(HeardBytes(listener2), heard);
  std::map<uint32_t, uint32_t> next;
  for (const auto& frame : heard) {
    uint32_t tag;
    std::memcpy(&tag, frame.data() + 14, 4);
    EXPECT_EQ(tag & 0xFFFF, next[tag >> 16]++) << "sender " << (tag >> 16);
  }
  // Every sender heard the others' frames and none of its own.
  EXPECT_EQ(senders[0]->Heard().size(), static_cast<size_t>((kSenders - 1) * kFrames));

  // Ports come and go while frames flow: a detach waits for a delivery to
  // the port in flight.
  std::atomic<bool> stop{false};
  std::thread traffic([&] {
    while (!stop) senders[0]->Inject(Tagged(0, 0));
  });
  for (int i = 0; i < 200; ++i) {
    auto port = std::make_unique<sim::TestPort>(segment);
    std::this_thread::yield();
    port.reset();
  }
  stop = true;
  traffic.join();
}

TEST(Capture, PcapFileReadsBackWithMachineTime) {
  Rig rig;
  const std::string path = TempPath("nic_capture");
  sim::TestPort& port = rig.AddTestPort();
  auto capture = std::make_unique<sim::CapturePort>(rig.segment(), path, rig.machine().clock());
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < 3; ++i) {
    sent.push_back(PatternFrame(Station(1), Station(0), 60 + 500 * i, static_cast<uint8_t>(i)));
    rig.machine().clock().Advance(1'500'000);  // 1.5 ms of machine time apart
    port.Inject(sent.back());
  }
  EXPECT_EQ(capture->frames(), 3u);
  capture->Close();
  EXPECT_TRUE(capture->error().empty());
  port.Inject(sent[0]);  // after Close: not captured
  EXPECT_EQ(capture->frames(), 3u);
  EXPECT_EQ(sim::ReadPcapFrames(path), sent);

  // Stamped with machine time, 1.5 ms apart: the record headers (seconds,
  // microseconds) of the first two frames. That other programs decode the
  // file is the tool's network test's (tshark).
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
  ASSERT_GE(bytes.size(), 108u);
  const auto time = [&](size_t at) {
    uint32_t t[2];
    std::memcpy(t, bytes.data() + at, 8);
    return uint64_t{t[0]} * 1'000'000 + t[1];
  };
  EXPECT_EQ(time(24 + 16 + 60) - time(24), 1500u);
  std::filesystem::remove(path);
}

// A capture cut off in the middle of a frame is refused, not read short.
// (Missing and foreign files: the tool's bad-input test names them.)
TEST(Capture, TruncatedFileIsRefused) {
  sim::Segment segment;
  sim::Clock clock;
  const std::string cut = TempPath("nic_cut");
  {
    sim::CapturePort port(segment, cut, clock);
    sim::TestPort(segment).Inject(Tagged(0, 0, 200));
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
  const std::vector<std::vector<uint8_t>> frames = {Tagged(0, 1), Tagged(1, 2, 75)};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes;
    const auto put = [&](uint64_t value, int size) {
      for (int i = 0; i < size; ++i) {
        bytes.push_back(static_cast<char>(value >> (c.big_endian ? 8 * (size - 1 - i) : 8 * i)));
      }
    };
    // File header: magic, version 2.4, zone, accuracy, snap length, link type.
    for (auto [value, size] : {std::pair<uint64_t, int>{c.magic, 4},
                               {2, 2},
                               {4, 2},
                               {0, 8},
                               {65535, 4},
                               {c.link_type, 4}}) {
      put(value, size);
    }
    for (const auto& frame : frames) {
      const auto size = static_cast<uint32_t>(frame.size());
      for (uint32_t word : {1700000000u, 123456u, size, size}) put(word, 4);
      bytes.append(frame.begin(), frame.end());
    }
    const std::string path = TempPath("nic_foreign");
    std::ofstream(path, std::ios::binary) << bytes;
    if (c.readable) {
      EXPECT_EQ(sim::ReadPcapFrames(path), frames);
    } else {
      EXPECT_THROW(sim::ReadPcapFrames(path), std::runtime_error);
    }
    std::filesystem::remove(path);
  }
}

TEST(Tap, BridgeOpensOrExplainsWhyNot) {
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
  EXPECT_FALSE(tap->interface_name().empty());
  EXPECT_THROW(sim::TapPort(segment, std::string(40, 'x')), std::runtime_error);

  // While the interface is down the host refuses the write; that is counted,
  // not fatal.
  source.Inject(Tagged(0, 0));
  EXPECT_EQ(tap->frames_out() + tap->write_errors(), 1u);
  // Frames both ways through the bridge: the tool's network test (ping and
  // arping from a namespace to the tool's responder).
}

}  // namespace
}  // namespace tvtest
