// `torvelin respond`: bridges controller 0's segment to a TAP interface and
// answers ARP requests and ICMP echo requests for one IPv4 address, as a
// client of device 0: every frame in and out goes through the driver.
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "tools/torvelin/commands.h"
#include "tools/torvelin/pc.h"
#include "tools/torvelin/util.h"

namespace tool {
namespace {

// Written by the responder thread, read by the main thread's counter lines:
// atomics, no lock.
struct Counters {
  std::atomic<uint64_t> read{0};
  std::atomic<uint64_t> arp_answered{0};
  std::atomic<uint64_t> echo_answered{0};
  std::atomic<uint64_t> ignored{0};
  std::atomic<uint64_t> write_failures{0};
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// The Internet checksum (ones' complement sum of 16-bit words).
uint16_t Checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += Get16(data + i);
  if (length % 2) sum += static_cast<uint32_t>(data[length - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// "192.0.2.2" or "192.0.2.2/24" (the prefix is shown, not used: the
// responder answers for its one address, whoever asks).
void ParseAddress(const std::string& text, std::array<uint8_t, 4>* address, unsigned* prefix) {
  const size_t slash = text.find('/');
  const std::string host = text.substr(0, slash);
  *prefix = 32;
  if (slash != std::string::npos) {
    const auto p = ParseNumber(text.substr(slash + 1), 32);
    if (!p) throw InputError("--ip " + text + ": the prefix must be a number from 0 to 32");
    *prefix = static_cast<unsigned>(*p);
  }
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = host.find('.', pos);
    if (i == 3) end = host.size();
    const auto byte =
        end == std::string::npos ? std::nullopt : ParseNumber(host.substr(pos, end - pos), 255);
    if (!byte || (i < 3 && end == host.size())) {
      throw InputError("--ip " + text + ": expected an IPv4 address such as 192.0.2.2/24");
    }
    (*address)[i] = static_cast<uint8_t>(*byte);
    pos = end + 1;
  }
}

// The reply to a frame, or nothing.
std::vector<uint8_t> Answer(const uint8_t* f, size_t length, const Mac& mac,
                            const std::array<uint8_t, 4>& ip, Counters& counters) {
  std::vector<uint8_t> reply;
  if (length < 14) return reply;
  const uint16_t type = Get16(f + 12);
  if (type == 0x0806 && length >= 42) {
    const uint8_t* arp = f + 14;
    // Ethernet/IPv4 request for our address.
    if (Get16(arp) != 1 || Get16(arp + 2) != 0x0800 || arp[4] != 6 || arp[5] != 4 ||
        Get16(arp + 6) != 1 || std::memcmp(arp + 24, ip.data(), 4) != 0) {
      return reply;
    }
    reply.assign(60, 0);
    std::memcpy(reply.data(), arp + 8, 6);  // to the asker's hardware address
    std::memcpy(reply.data() + 6, mac.data(), 6);
    Put16(reply.data() + 12, 0x0806);
    uint8_t* r = reply.data() + 14;
    Put16(r, 1);
    Put16(r + 2, 0x0800);
    r[4] = 6;
    r[5] = 4;
    Put16(r + 6, 2);
    std::memcpy(r + 8, mac.data(), 6);
    std::memcpy(r + 14, ip.data(), 4);
    std::memcpy(r + 18, arp + 8, 10);  // the asker's hardware and protocol address
    counters.arp_answered++;
    return reply;
  }
  if (type == 0x0800 && length >= 34) {
    const uint8_t* ipv4 = f + 14;
    const size_t header = static_cast<size_t>(ipv4[0] & 0x0F) * 4;
    const size_t total = Get16(ipv4 + 2);
    if ((ipv4[0] >> 4) != 4 || header < 20 || total < header + 8 || 14 + total > length) {
      return reply;
    }
    if (std::memcmp(ipv4 + 16, ip.data(), 4) != 0 || ipv4[9] != 1) return reply;
    if ((Get16(ipv4 + 6) & 0x3FFF) != 0) return reply;  // fragments are not reassembled
    if (Checksum(ipv4, header) != 0) return reply;
    const uint8_t* icmp = ipv4 + header;
    const size_t icmp_length = total - header;
    if (icmp[0] != 8 || icmp[1] != 0 || Checksum(icmp, icmp_length) != 0) return reply;
    reply.assign(14 + 20 + icmp_length, 0);
    std::memcpy(reply.data(), f + 6, 6);
    std::memcpy(reply.data() + 6, mac.data(), 6);
    Put16(reply.data() + 12, 0x0800);
    uint8_t* r = reply.data() + 14;
    r[0] = 0x45;
    r[1] = ipv4[1];
    Put16(r + 2, static_cast<uint16_t>(20 + icmp_length));
    Put16(r + 4, Get16(ipv4 + 4));
    Put16(r + 6, 0x4000);  // don't fragment
    r[8] = 64;
    r[9] = 1;
    std::memcpy(r + 12, ip.data(), 4);
    std::memcpy(r + 16, ipv4 + 12, 4);
    Put16(r + 10, Checksum(r, 20));
    uint8_t* e = r + 20;
    std::memcpy(e, icmp, icmp_length);
    e[0] = 0;  // echo reply
    Put16(e + 2, 0);
    Put16(e + 2, Checksum(e, icmp_length));
    if (reply.size() < 60) reply.resize(60, 0);
    counters.echo_answered++;
    return reply;
  }
  return reply;
}

}  // namespace

int RespondCommand(const RespondOptions& o) {
  std::array<uint8_t, 4> ip{};
  unsigned prefix = 32;
  ParseAddress(o.ip, &ip, &prefix);
  if (o.tap.empty() || o.tap.size() > 15) {
    throw InputError("--tap '" + o.tap + "': an interface name has 1 to 15 characters");
  }
  PcOptions pc_options;
  pc_options.layout = ChooseMachine(o);
  pc_options.registry = EffectiveRegistry(o.registry_file, o.quiet);
  pc_options.clock = o.clock == "real" ? sim::ClockMode::Real : sim::ClockMode::Virtual;
  pc_options.tap = o.tap;
  if (o.verbose) {
    pc_options.console_echo = [](const std::string& piece) {
      std::fwrite(piece.data(), 1, piece.size(), stdout);
      std::fflush(stdout);
    };
  }
  // SIGINT and SIGTERM are taken with sigtimedwait on this thread; every
  // thread made from here on (the machine's, the responder) inherits the
  // blocked mask, so the signals come only here.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Pc pc(std::move(pc_options));
  std::string why;
  if (!pc.Boot(&why)) {
    std::fprintf(stderr, "torvelin: %s\n", why.c_str());
    return kExitFailed;
  }
  const auto names = pc.machine().DeviceNames();
  if (names.empty()) {
    std::fprintf(stderr, "torvelin: the driver published no device\n");
    return kExitFailed;
  }
  Client client(pc.machine());
  uintptr_t open = 0;
  uint32_t status = client.process().Open(names[0], &open);
  AdapterInfo info{};
  if (status == 0) status = client.Info(open, &info);
  if (status == 0) status = client.SetFilter(open, FilterDirected | FilterBroadcast);
  if (status != 0) {
    std::fprintf(stderr, "torvelin: %s: %s\n", names[0].c_str(), StatusName(status).c_str());
    return kExitFailed;
  }
  Mac mac;
  std::copy(info.StationAddress, info.StationAddress + 6, mac.begin());

  Counters counters;
  std::thread responder([&] {
    std::vector<uint8_t> buffer(2048);
    for (;;) {
      uint32_t length = 0;
      const uint32_t s =
          client.process().Read(open, buffer.data(), static_cast<uint32_t>(buffer.size()), &length);
      if (s == sim::ClientProcess::kStopped || pc.machine().stopped()) return;
      if (s != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      counters.read++;
      const std::vector<uint8_t> reply =
          Answer(buffer.data(), std::min<size_t>(length, buffer.size()), mac, ip, counters);
      if (reply.empty()) {
        counters.ignored++;
        continue;
      }
      uint32_t transferred = 0;
      if (client.process().Write(open, reply.data(), static_cast<uint32_t>(reply.size()),
                                 &transferred) != 0) {
        counters.write_failures++;
      }
    }
  });

  char address[24];
  std::snprintf(address, sizeof address, "%u.%u.%u.%u/%u", ip[0], ip[1], ip[2], ip[3], prefix);
  std::printf("torvelin %s: answering ARP and ping for %s as %s on %s (device %s, segment %s)\n",
              kVersion, address, FormatMac(mac).c_str(), o.tap.c_str(), names[0].c_str(),
              pc.layout().segments[0].c_str());
  std::printf("Stop with Ctrl-C.\n");
  std::fflush(stdout);
  auto line = [&] {
    std::printf(
        "frames read %llu, ARP answered %llu, ping answered %llu, ignored %llu, write failures "
        "%llu, TAP in %llu out %llu\n",
        static_cast<unsigned long long>(counters.read.load()),
        static_cast<unsigned long long>(counters.arp_answered.load()),
        static_cast<unsigned long long>(counters.echo_answered.load()),
        static_cast<unsigned long long>(counters.ignored.load()),
        static_cast<unsigned long long>(counters.write_failures.load()),
        static_cast<unsigned long long>(pc.tap()->frames_in()),
        static_cast<unsigned long long>(pc.tap()->frames_out()));
    std::fflush(stdout);
  };
  for (;;) {
    timespec wait = {static_cast<time_t>(o.interval_s == 0 ? 3600 : o.interval_s), 0};
    const int signal = sigtimedwait(&stop_signals, nullptr, &wait);
    if (signal == SIGINT || signal == SIGTERM) break;
    if (o.interval_s != 0) line();
  }
  pc.Stop();
  responder.join();
  line();
  return kExitOk;
}

}  // namespace tool
