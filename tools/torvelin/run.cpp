// `torvelin run`: boots a simulated PC, moves self-checking traffic between
// its devices through the driver and reports what that proved.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <thread>

#include "tools/torvelin/commands.h"
#include "tools/torvelin/pc.h"
#include "tools/torvelin/run_report.h"
#include "tools/torvelin/traffic.h"
#include "tools/torvelin/util.h"

namespace tool {
namespace {

// Set by the signal handler, read by the traffic loops on the main thread.
std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) { g_stop.store(true); }

// Devices are published in discovery order: bus, then device and function.
// Controllers the driver did not take (unsupported IDs, failed bring-up) are
// not published, so devices are matched to controllers by that order and,
// where a controller was skipped, by station address.
std::vector<size_t> MapDevicesToControllers(Pc& pc, const std::vector<Mac>& stations) {
  std::vector<size_t> order;
  for (size_t i = 0; i < pc.nic_count(); ++i) {
    if (SupportedDevice(pc.nic(i).config().device_id)) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const auto& x = pc.nic(a).config();
    const auto& y = pc.nic(b).config();
    return std::tuple(x.bus, x.device, x.function) < std::tuple(y.bus, y.device, y.function);
  });
  std::vector<size_t> map(stations.size(), SIZE_MAX);
  if (order.size() == stations.size()) {
    for (size_t d = 0; d < stations.size(); ++d) map[d] = order[d];
    return map;
  }
  size_t next = 0;
  for (size_t d = 0; d < stations.size(); ++d) {
    for (size_t k = next; k < order.size(); ++k) {
      if (pc.nic(order[k]).config().station == stations[d]) {
        map[d] = order[k];
        next = k + 1;
        break;
      }
    }
    if (map[d] == SIZE_MAX && next < order.size()) map[d] = order[next++];
  }
  return map;
}

void Progress(uint64_t done, uint64_t total) {
  std::fprintf(stderr, "\r  traffic: %llu of %llu frames written\033[K",
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
  if (done >= total) std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

}  // namespace

void InstallStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;  // a second signal ends the process
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() { return g_stop.load(); }

MachineLayout ChooseMachine(const MachineChoice& choice) {
  if (!choice.machine_file.empty()) return LoadMachine(choice.machine_file);
  if (choice.controllers < 1 || choice.controllers > 16) {
    throw InputError("--controllers " + std::to_string(choice.controllers) +
                     ": must be from 1 to 16");
  }
  return DefaultMachine(choice.controllers);
}

namespace {

// Reads the replay file, if one is named, before anything boots.
std::vector<std::vector<uint8_t>> ReadReplay(const std::string& file) {
  if (file.empty()) return {};
  try {
    return sim::ReadPcapFrames(file);
  } catch (const std::exception& e) {
    std::string message = e.what();
    if (message.find(file) == std::string::npos) message = file + ": " + message;
    throw InputError(message);
  }
}

// Boots the machine, opens every device as one client process and asks each
// for its adapter information; fills the report's machine and devices and
// returns the stations the traffic runs between.
std::vector<Station> BootAndOpen(Pc& pc, Client& client, RunReport& r) {
  r.origin = pc.layout().origin;
  r.segments = pc.layout().segments;
  for (size_t i = 0; i < pc.nic_count(); ++i) {
    r.controllers.push_back({pc.nic(i).config(), r.segments[pc.SegmentOf(i)]});
  }
  r.booted = pc.Boot(&r.why);
  r.boot_console = pc.machine().Console();
  const std::vector<std::string> names = pc.machine().DeviceNames();
  size_t supported = 0;
  for (size_t i = 0; i < pc.nic_count(); ++i) {
    if (SupportedDevice(pc.nic(i).config().device_id)) ++supported;
  }
  r.checks.push_back({"driver started and published a device for every supported controller",
                      r.booted && names.size() == supported, false,
                      r.booted ? std::to_string(names.size()) + " devices for " +
                                     std::to_string(supported) + " supported controllers"
                               : r.why});

  std::vector<Station> stations(names.size());
  std::vector<bool> opened(names.size(), false);
  std::vector<Mac> macs(names.size());
  std::string open_failures;
  r.devices.resize(names.size());
  for (size_t d = 0; d < names.size(); ++d) {
    r.devices[d].name = names[d];
    uint32_t status = client.process().Open(names[d], &stations[d].open);
    if (status == 0) {
      opened[d] = true;
      AdapterInfo info;
      status = client.Info(stations[d].open, &info);
      if (status == 0) std::copy(info.StationAddress, info.StationAddress + 6, macs[d].begin());
    }
    r.devices[d].status = status;
    if (status != 0) open_failures += names[d] + ": " + StatusName(status) + "; ";
  }
  if (!names.empty()) {
    r.checks.push_back(
        {"every device opened and answered with its adapter information", open_failures.empty(),
         false, open_failures.empty() ? "" : open_failures.substr(0, open_failures.size() - 2)});
  }
  const std::vector<size_t> nic_of_device = MapDevicesToControllers(pc, macs);
  for (size_t d = 0; d < names.size(); ++d) {
    r.devices[d].station = macs[d];
    r.devices[d].controller = nic_of_device[d];
    stations[d].mac = macs[d];
    stations[d].segment =
        nic_of_device[d] == SIZE_MAX ? SIZE_MAX - d : pc.SegmentOf(nic_of_device[d]);
  }
  auto usable = [&](size_t d) { return opened[d] && r.devices[d].status == 0; };
  for (size_t d = 0; d < names.size(); ++d) {
    if (!usable(d)) continue;
    bool unique = true;
    bool peer = false;
    for (size_t e = 0; e < names.size(); ++e) {
      if (e == d || !usable(e) || stations[e].segment != stations[d].segment) continue;
      if (macs[e] == macs[d]) {
        unique = false;
      } else {
        peer = true;
      }
    }
    stations[d].peers = unique && peer;
  }
  r.can_talk = r.booted && !names.empty() && open_failures.empty();
  return stations;
}

// The self-checking traffic, then the replay; each adds its check.
void MoveTraffic(Pc& pc, Traffic& traffic, const std::vector<Station>& stations,
                 const std::vector<std::vector<uint8_t>>& replay_frames, bool json, RunReport& r) {
  FILE* const out = stdout;
  traffic.StartReaders();
  if (r.frames > 0) {
    if (Planner(stations, r.seed).empty()) {
      r.checks.push_back({"traffic", false, false,
                          "no two devices on one segment with different station addresses"});
    } else {
      if (!json) PrintTrafficStart(r, out);
      const bool show_progress = isatty(STDERR_FILENO) != 0;
      const TrafficResult& result = r.traffic =
          traffic.Run(r.frames, g_stop,
                      show_progress ? std::function<void(uint64_t, uint64_t)>(Progress)
                                    : std::function<void(uint64_t, uint64_t)>());
      std::string detail;
      if (result.stalled) detail = "stalled: " + result.stall_detail;
      if (!result.first_failure.empty()) {
        detail +=
            (detail.empty() ? "" : "; ") + std::string("first failure: ") + result.first_failure;
      }
      const bool clean = result.written == r.frames && result.lost == 0 && result.corrupted == 0 &&
                         result.out_of_order == 0 && result.duplicated == 0 &&
                         result.misdelivered == 0 &&
                         result.delivered == result.deliveries_expected && !result.stalled;
      r.checks.push_back({"every frame written was read intact, once and in order by each receiver",
                          clean, false, detail});
    }
  }
  if (!replay_frames.empty() && !g_stop.load()) {
    if (!json) PrintReplayStart(r, out);
    std::vector<size_t> nic_of_device;
    for (const DeviceReport& d : r.devices) nic_of_device.push_back(d.controller);
    r.replay = traffic.Replay(pc, replay_frames, nic_of_device, g_stop);
    r.checks.push_back({"every replayed frame the controllers accepted was read",
                        !r.replay.stalled && r.replay.read == r.replay.expected, false,
                        r.replay.stalled ? "stalled" : ""});
  }
}

// Reads every statistics block through the control codes, once the driver's
// counts agree with what the readers tallied (a frame still on its way, a
// replay's last nudge, would show as a difference).
void ReadStatistics(Client& client, Traffic& traffic, const std::vector<Station>& stations,
                    RunReport& r, std::string* failures) {
  const size_t devices = stations.size();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::vector<DeviceTally> tallies = traffic.Tallies();
    bool settled = true;
    for (size_t d = 0; d < devices; ++d) {
      ClientStatistics c;
      if (client.ClientStats(stations[d].open, &c) != 0) break;
      settled = settled && c.RxDirected + c.RxMulticast + c.RxBroadcast == tallies[d].read;
    }
    if (settled) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (size_t d = 0; d < devices; ++d) {
    uint32_t s1 = client.ClientStats(stations[d].open, &r.client_stats[d]);
    uint32_t s2 = client.AdapterStats(stations[d].open, &r.adapter_stats[d]);
    if (s1 != 0 || s2 != 0) {
      *failures += r.devices[d].name + ": " + StatusName(s1 ? s1 : s2) + "; ";
    }
  }
  r.have_global = client.GlobalStats(stations[0].open, &r.global) == 0;
}

std::string Trim(std::string s) { return s.size() >= 2 ? s.substr(0, s.size() - 2) : s; }

// The statistics against what the tool counted: each client's block, each
// adapter's against its only client's, the global block against the sum.
void CheckStatistics(const RunReport& r, const std::string& stats_failures, bool live,
                     std::vector<Check>& checks) {
  std::string client_detail, adapter_detail;
  TrafficCounters sum{};
  for (size_t d = 0; d < r.devices.size(); ++d) {
    const DeviceTally& t = r.tallies[d];
    const ClientStatistics& c = r.client_stats[d];
    const TrafficCounters& a = r.adapter_stats[d].Counters;
    auto mismatch = [&](std::string& detail, const char* what, uint64_t driver, uint64_t seen) {
      if (driver != seen) {
        detail += "dev " + std::to_string(d) + " " + what + " " + std::to_string(driver) +
                  " but the tool counted " + std::to_string(seen) + "; ";
      }
    };
    mismatch(client_detail, "TxDirected", c.TxDirected, t.written_directed);
    mismatch(client_detail, "TxBroadcast", c.TxBroadcast, t.written_broadcast);
    mismatch(client_detail, "TxMulticast", c.TxMulticast, 0);
    mismatch(client_detail, "RxDirected", c.RxDirected, t.read_directed);
    mismatch(client_detail, "RxMulticast", c.RxMulticast, t.read_multicast);
    mismatch(client_detail, "RxBroadcast", c.RxBroadcast, t.read_broadcast);
    mismatch(adapter_detail, "TxDirected", a.TxDirected, c.TxDirected);
    mismatch(adapter_detail, "TxBroadcast", a.TxBroadcast, c.TxBroadcast);
    mismatch(adapter_detail, "TxMulticast", a.TxMulticast, c.TxMulticast);
    mismatch(adapter_detail, "RxDirected", a.RxDirected, c.RxDirected);
    mismatch(adapter_detail, "RxMulticast", a.RxMulticast, c.RxMulticast);
    mismatch(adapter_detail, "RxBroadcast", a.RxBroadcast, c.RxBroadcast);
    sum.TxDirected += a.TxDirected;
    sum.TxMulticast += a.TxMulticast;
    sum.TxBroadcast += a.TxBroadcast;
    sum.RxDirected += a.RxDirected;
    sum.RxMulticast += a.RxMulticast;
    sum.RxBroadcast += a.RxBroadcast;
  }
  std::string global_detail;
  if (!r.have_global) global_detail = "control code 0x80004 failed";
  auto gmismatch = [&](const char* what, uint32_t g, uint32_t s) {
    if (g != s) {
      global_detail += std::string(what) + " " + std::to_string(g) +
                       " but the adapters add up to " + std::to_string(s) + "; ";
    }
  };
  const GlobalStatistics& global = r.global;
  gmismatch("TxDirected", global.TxDirected, sum.TxDirected);
  gmismatch("TxMulticast", global.TxMulticast, sum.TxMulticast);
  gmismatch("TxBroadcast", global.TxBroadcast, sum.TxBroadcast);
  gmismatch("RxDirected", global.RxDirected, sum.RxDirected);
  gmismatch("RxMulticast", global.RxMulticast, sum.RxMulticast);
  gmismatch("RxBroadcast", global.RxBroadcast, sum.RxBroadcast);
  checks.push_back(
      {"statistics could be read", stats_failures.empty(), false, Trim(stats_failures)});
  // A TAP bridge brings frames at any moment, so exact counts cannot be
  // compared with what the readers saw a moment earlier.
  auto note = [&](const std::string& detail) {
    return live && !detail.empty() ? "not enforced with live TAP traffic: " + Trim(detail)
                                   : Trim(detail);
  };
  checks.push_back({"client statistics count exactly what each client wrote and read",
                    client_detail.empty(), live && !client_detail.empty(), note(client_detail)});
  checks.push_back({"adapter statistics equal their only client's", adapter_detail.empty(),
                    live && !adapter_detail.empty(), note(adapter_detail)});
  checks.push_back({"global statistics are the sum of the adapters'", global_detail.empty(),
                    live && !global_detail.empty(), note(global_detail)});
}

// The controllers' own view: nothing went astray on the bus, and flow
// control kept every receive unit supplied.
void CheckControllers(Pc& pc, bool live, RunReport& r) {
  std::string bus_detail, resource_detail;
  for (size_t i = 0; i < pc.nic_count(); ++i) {
    const auto& k = pc.nic(i).counters();
    if (k.bus_errors.load() != 0) {
      bus_detail += "controller " + std::to_string(i) + ": " + std::to_string(k.bus_errors.load()) +
                    " bus errors; ";
    }
    if (k.dropped_no_resources.load() != 0) {
      resource_detail += "controller " + std::to_string(i) + " dropped " +
                         std::to_string(k.dropped_no_resources.load()) + " frames; ";
    }
  }
  r.checks.push_back({"no DMA outside the driver's memory", bus_detail.empty(), false, bus_detail});
  if (r.can_talk) {
    r.checks.push_back({"no frame dropped for lack of receive resources", resource_detail.empty(),
                        live && !resource_detail.empty(), resource_detail});
  }
}

// Stops the machine (readers unwind), finishes the captures and takes what
// the machine can tell once it stands still.
void Finish(Pc& pc, Traffic& traffic, bool capture, RunReport& r) {
  r.console_all = pc.machine().Console();
  pc.Stop();
  traffic.JoinReaders();
  if (r.interrupted) {
    pc.captures().Discard();
  } else if (capture) {
    const std::string failure = pc.captures().Commit();
    r.checks.push_back({"capture written", failure.empty(), false, failure});
  }
  if (!r.interrupted) r.captures = pc.captures().Files();
  r.console_run = r.console_all.size() > r.boot_console.size()
                      ? r.console_all.substr(r.boot_console.size())
                      : "";
  for (size_t i = 0; i < pc.nic_count(); ++i) {
    const auto& k = pc.nic(i).counters();
    ControllerReport& c = r.controllers[i];
    for (size_t n = 0; n < kControllerCounters.size(); ++n) {
      c.counters[n] = (k.*kControllerCounters[n].counter).load();
    }
    c.programming_error_list = pc.nic(i).ProgrammingErrors();
  }
  if (pc.tap() != nullptr) {
    r.tap = true;
    r.tap_name = pc.tap()->interface_name();
    r.tap_in = pc.tap()->frames_in();
    r.tap_out = pc.tap()->frames_out();
  }
  for (const Check& c : r.checks) {
    if (!c.ok && !c.skipped) ++r.failed;
  }
  r.pass = r.failed == 0 && !r.interrupted;
}

}  // namespace

int RunCommand(const RunOptions& o) {
  PcOptions pc_options;
  pc_options.layout = ChooseMachine(o);
  pc_options.registry = EffectiveRegistry(o.registry_file, o.quiet);
  pc_options.clock = o.clock == "real" ? sim::ClockMode::Real : sim::ClockMode::Virtual;
  pc_options.pcap = o.pcap;
  pc_options.tap = o.tap;
  const std::vector<std::vector<uint8_t>> replay_frames = ReadReplay(o.replay);
  FILE* const out = stdout;
  if (o.verbose) {
    FILE* echo = o.json ? stderr : stdout;
    pc_options.console_echo = [echo](const std::string& piece) {
      std::fwrite(piece.data(), 1, piece.size(), echo);
      std::fflush(echo);
    };
  }
  const uint32_t buffers = EffectiveBuffers(pc_options.registry);
  Pc pc(std::move(pc_options));
  if (!o.trace.empty()) pc.machine().trace().SetOn(true);
  InstallStopSignals();

  RunReport r;
  r.clock = o.clock;
  r.seed = o.seed;
  r.frames = o.frames;
  r.verbose = o.verbose;
  r.replay_file = o.replay;
  r.replay_frames = replay_frames.size();
  Client client(pc.machine());
  const std::vector<Station> stations = BootAndOpen(pc, client, r);
  if (!o.json) PrintMachine(r, out);

  r.window = std::min<uint32_t>(buffers - 1, 16);
  Traffic traffic(client, stations, o.seed, r.window);
  if (r.can_talk) MoveTraffic(pc, traffic, stations, replay_frames, o.json, r);
  r.interrupted = g_stop.load();

  r.client_stats.resize(stations.size());
  r.adapter_stats.resize(stations.size());
  std::string stats_failures;
  if (r.can_talk) ReadStatistics(client, traffic, stations, r, &stats_failures);
  r.tallies = traffic.Tallies();
  const bool live = !o.tap.empty();
  if (r.can_talk && !r.interrupted) CheckStatistics(r, stats_failures, live, r.checks);
  CheckControllers(pc, live, r);
  Finish(pc, traffic, !o.pcap.empty(), r);
  if (!o.trace.empty() && !pc.machine().trace().WriteFile(o.trace)) {
    std::fprintf(stderr, "torvelin: cannot write the trace to %s\n", o.trace.c_str());
    return kExitFailed;
  }

  if (o.json) {
    PrintJson(r, out);
  } else {
    PrintResults(r, out);
  }
  if (r.interrupted) return 130;
  return r.pass ? kExitOk : kExitFailed;
}

}  // namespace tool
