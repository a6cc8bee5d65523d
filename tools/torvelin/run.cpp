// `torvelin run`: boots a simulated PC, moves self-checking traffic between
// its devices through the driver and reports what that proved.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "tools/torvelin/commands.h"
#include "tools/torvelin/pc.h"
#include "tools/torvelin/report.h"
#include "tools/torvelin/traffic.h"
#include "tools/torvelin/util.h"

namespace tool {
namespace {

// Set by the signal handler, read by the traffic loops on the main thread.
std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) { g_stop.store(true); }

std::string PciText(const sim::I8255xConfig& c) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x.%u", c.bus, c.device, c.function);
  return text;
}

std::string Fixed(double value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

struct Check {
  std::string name;
  bool ok;
  bool skipped;
  std::string detail;
};

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

int RunCommand(const RunOptions& o) {
  const MachineLayout layout = ChooseMachine(o);
  PcOptions pc_options;
  pc_options.layout = layout;
  pc_options.registry = EffectiveRegistry(o.registry_file, o.quiet);
  pc_options.clock = o.clock == "real" ? sim::ClockMode::Real : sim::ClockMode::Virtual;
  pc_options.pcap = o.pcap;
  pc_options.tap = o.tap;
  std::vector<std::vector<uint8_t>> replay_frames;
  if (!o.replay.empty()) {
    try {
      replay_frames = sim::ReadPcapFrames(o.replay);
    } catch (const std::exception& e) {
      std::string message = e.what();
      if (message.find(o.replay) == std::string::npos) message = o.replay + ": " + message;
      throw InputError(message);
    }
  }
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
  InstallStopSignals();
  const bool show_progress = isatty(STDERR_FILENO) != 0;

  std::vector<Check> checks;
  std::string why;
  const bool booted = pc.Boot(&why);
  const std::string boot_console = pc.machine().Console();
  const std::vector<std::string> names = pc.machine().DeviceNames();
  size_t supported = 0;
  for (size_t i = 0; i < pc.nic_count(); ++i) {
    if (SupportedDevice(pc.nic(i).config().device_id)) ++supported;
  }
  checks.push_back({"driver started and published a device for every supported controller",
                    booted && names.size() == supported, false,
                    booted ? std::to_string(names.size()) + " devices for " +
                                 std::to_string(supported) + " supported controllers"
                           : why});

  // Open every device as one client process and ask each for its adapter
  // information.
  Client client(pc.machine());
  std::vector<Station> stations(names.size());
  std::vector<bool> opened(names.size(), false);
  std::vector<Mac> macs(names.size());
  std::vector<uint32_t> link_status(names.size(), 0);
  std::string open_failures;
  for (size_t d = 0; d < names.size(); ++d) {
    uint32_t status = client.process().Open(names[d], &stations[d].open);
    if (status == 0) {
      opened[d] = true;
      AdapterInfo info;
      status = client.Info(stations[d].open, &info);
      if (status == 0) std::copy(info.StationAddress, info.StationAddress + 6, macs[d].begin());
    }
    link_status[d] = status;
    if (status != 0) open_failures += names[d] + ": " + StatusName(status) + "; ";
  }
  if (!names.empty()) {
    checks.push_back(
        {"every device opened and answered with its adapter information", open_failures.empty(),
         false, open_failures.empty() ? "" : open_failures.substr(0, open_failures.size() - 2)});
  }
  const std::vector<size_t> nic_of_device = MapDevicesToControllers(pc, macs);
  for (size_t d = 0; d < names.size(); ++d) {
    stations[d].mac = macs[d];
    stations[d].segment =
        nic_of_device[d] == SIZE_MAX ? SIZE_MAX - d : pc.SegmentOf(nic_of_device[d]);
  }
  for (size_t d = 0; d < names.size(); ++d) {
    if (!opened[d] || link_status[d] != 0) continue;
    bool unique = true;
    bool peer = false;
    for (size_t e = 0; e < names.size(); ++e) {
      if (e == d || !opened[e] || link_status[e] != 0 || stations[e].segment != stations[d].segment)
        continue;
      if (macs[e] == macs[d]) {
        unique = false;
      } else {
        peer = true;
      }
    }
    stations[d].peers = unique && peer;
  }

  // ---- What the machine is, shown before the traffic starts ----
  const std::string clock_name = o.clock == "real" ? "real-time clock" : "virtual clock";
  if (!o.json) {
    std::fprintf(out, "torvelin %s: a simulated PC with %zu controller%s on %zu segment%s (%s)\n\n",
                 kVersion, pc.nic_count(), pc.nic_count() == 1 ? "" : "s", pc.segment_count(),
                 pc.segment_count() == 1 ? "" : "s", clock_name.c_str());
    std::fprintf(out, "Machine (%s)\n", layout.origin.c_str());
    Table machine(
        {"#", "controller", "pci", "I/O", "IRQ", "mode", "segment", "PHY", "EEPROM station"});
    for (size_t i = 0; i < pc.nic_count(); ++i) {
      const sim::I8255xConfig& c = pc.nic(i).config();
      machine.Row({std::to_string(i), ControllerName(c.device_id), PciText(c), Hex16(c.io_base),
                   std::to_string(c.irq), c.polled ? "polled" : "interrupt",
                   layout.segments[pc.SegmentOf(i)], PhyName(c),
                   c.eeprom_absent ? "(no EEPROM)" : FormatMac(c.station)});
    }
    std::fputs(machine.Render().c_str(), out);
    if (!o.verbose) {
      std::fputs("\nDriver console (start-up)\n", out);
      std::fputs(Indent(boot_console).c_str(), out);
    }
    std::fputs("\nDevices\n", out);
    if (names.empty()) {
      std::fputs(
          ("  none published: " + (booted ? std::string("no controller was usable") : why) + "\n")
              .c_str(),
          out);
    } else {
      Table devices({"device", "station", "controller", "link"});
      for (size_t d = 0; d < names.size(); ++d) {
        const size_t n = nic_of_device[d];
        std::string link = "?";
        std::string controller = "?";
        if (n != SIZE_MAX) {
          controller = "#" + std::to_string(n) + " " + PciText(pc.nic(n).config());
          link = layout.segments[pc.SegmentOf(n)] + ", " + PhyName(pc.nic(n).config());
        }
        devices.Row({names[d],
                     link_status[d] == 0 ? FormatMac(macs[d]) : StatusName(link_status[d]),
                     controller, link});
      }
      std::fputs(devices.Render().c_str(), out);
    }
    std::fflush(out);
  }

  // ---- Traffic ----
  const uint32_t window = std::min<uint32_t>(buffers - 1, 16);
  Traffic traffic(client, stations, o.seed, window);
  TrafficResult result;
  ReplayResult replay;
  const bool can_talk = booted && !names.empty() && open_failures.empty();
  if (can_talk) {
    traffic.StartReaders();
    if (o.frames > 0) {
      if (Planner(stations, o.seed).empty()) {
        checks.push_back({"traffic", false, false,
                          "no two devices on one segment with different station addresses"});
      } else {
        if (!o.json) {
          std::fprintf(
              out, "\nTraffic: %llu frames of 60-1514 bytes, 1 in 4 broadcast, seed %llu\n",
              static_cast<unsigned long long>(o.frames), static_cast<unsigned long long>(o.seed));
          std::fflush(out);
        }
        result = traffic.Run(o.frames, g_stop,
                             show_progress ? std::function<void(uint64_t, uint64_t)>(Progress)
                                           : std::function<void(uint64_t, uint64_t)>());
        std::string detail;
        if (result.stalled) detail = "stalled: " + result.stall_detail;
        if (!result.first_failure.empty()) {
          detail +=
              (detail.empty() ? "" : "; ") + std::string("first failure: ") + result.first_failure;
        }
        const bool clean = result.written == o.frames && result.lost == 0 &&
                           result.corrupted == 0 && result.out_of_order == 0 &&
                           result.duplicated == 0 && result.misdelivered == 0 &&
                           result.delivered == result.deliveries_expected && !result.stalled;
        checks.push_back({"every frame written was read intact, once and in order by each receiver",
                          clean, false, detail});
      }
    }
    if (!replay_frames.empty() && !g_stop.load()) {
      if (!o.json) {
        std::fprintf(out, "\nReplay: %zu frames from %s into %s\n", replay_frames.size(),
                     o.replay.c_str(), layout.segments[0].c_str());
        std::fflush(out);
      }
      replay = traffic.Replay(pc, replay_frames, nic_of_device, g_stop);
      checks.push_back({"every replayed frame the controllers accepted was read",
                        !replay.stalled && replay.read == replay.expected, false,
                        replay.stalled ? "stalled" : ""});
    }
  }
  const bool interrupted = g_stop.load();

  // ---- Statistics, read through the control codes ----
  std::vector<ClientStatistics> client_stats(names.size());
  std::vector<AdapterStatistics> adapter_stats(names.size());
  GlobalStatistics global{};
  bool have_global = false;
  std::string stats_failures;
  std::vector<DeviceTally> tallies;
  if (can_talk) {
    // The driver counts a frame inside the read, before the reader thread
    // gets to tally it; a frame still on its way (a replay's last nudge)
    // would show as a difference. Wait a little for the two to agree.
    for (int attempt = 0; attempt < 100; ++attempt) {
      tallies = traffic.Tallies();
      bool settled = true;
      for (size_t d = 0; d < names.size(); ++d) {
        ClientStatistics c;
        if (client.ClientStats(stations[d].open, &c) != 0) break;
        settled = settled && c.RxDirected + c.RxMulticast + c.RxBroadcast == tallies[d].read;
      }
      if (settled) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (size_t d = 0; d < names.size(); ++d) {
      uint32_t s1 = client.ClientStats(stations[d].open, &client_stats[d]);
      uint32_t s2 = client.AdapterStats(stations[d].open, &adapter_stats[d]);
      if (s1 != 0 || s2 != 0) stats_failures += names[d] + ": " + StatusName(s1 ? s1 : s2) + "; ";
    }
    have_global = client.GlobalStats(stations[0].open, &global) == 0;
  }
  tallies = traffic.Tallies();
  // A TAP bridge brings frames at any moment, so exact counts cannot be
  // compared with what the readers saw a moment earlier.
  const bool live = !o.tap.empty();
  if (can_talk && !interrupted) {
    std::string client_detail, adapter_detail;
    TrafficCounters sum{};
    for (size_t d = 0; d < names.size(); ++d) {
      const DeviceTally& t = tallies[d];
      const ClientStatistics& c = client_stats[d];
      const TrafficCounters& a = adapter_stats[d].Counters;
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
    if (!have_global) global_detail = "control code 0x80004 failed";
    auto gmismatch = [&](const char* what, uint32_t g, uint32_t s) {
      if (g != s) {
        global_detail += std::string(what) + " " + std::to_string(g) +
                         " but the adapters add up to " + std::to_string(s) + "; ";
      }
    };
    gmismatch("TxDirected", global.TxDirected, sum.TxDirected);
    gmismatch("TxMulticast", global.TxMulticast, sum.TxMulticast);
    gmismatch("TxBroadcast", global.TxBroadcast, sum.TxBroadcast);
    gmismatch("RxDirected", global.RxDirected, sum.RxDirected);
    gmismatch("RxMulticast", global.RxMulticast, sum.RxMulticast);
    gmismatch("RxBroadcast", global.RxBroadcast, sum.RxBroadcast);
    auto trim = [](std::string s) { return s.size() >= 2 ? s.substr(0, s.size() - 2) : s; };
    checks.push_back(
        {"statistics could be read", stats_failures.empty(), false, trim(stats_failures)});
    auto note = [&](const std::string& detail) {
      return live && !detail.empty() ? "not enforced with live TAP traffic: " + trim(detail)
                                     : trim(detail);
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
  checks.push_back({"no DMA outside the driver's memory", bus_detail.empty(), false, bus_detail});
  if (can_talk) {
    checks.push_back({"no frame dropped for lack of receive resources", resource_detail.empty(),
                      live && !resource_detail.empty(), resource_detail});
  }

  // Stop the machine (readers unwind), then finish the captures.
  const std::string console_all = pc.machine().Console();
  pc.Stop();
  traffic.JoinReaders();
  if (interrupted) {
    pc.captures().Discard();
  } else if (!o.pcap.empty()) {
    const std::string failure = pc.captures().Commit();
    checks.push_back({"capture written", failure.empty(), false, failure});
  }
  const std::string console_run =
      console_all.size() > boot_console.size() ? console_all.substr(boot_console.size()) : "";

  size_t failed = 0;
  for (const Check& c : checks) {
    if (!c.ok && !c.skipped) ++failed;
  }
  const bool pass = failed == 0 && !interrupted;

  if (o.json) {
    nlohmann::ordered_json j;
    j["version"] = kVersion;
    j["clock"] = o.clock;
    j["seed"] = o.seed;
    nlohmann::ordered_json controllers = nlohmann::json::array();
    for (size_t i = 0; i < pc.nic_count(); ++i) {
      const sim::I8255xConfig& c = pc.nic(i).config();
      const auto& k = pc.nic(i).counters();
      controllers.push_back({{"index", i},
                             {"device_id", c.device_id},
                             {"name", ControllerName(c.device_id)},
                             {"pci", PciText(c)},
                             {"io_base", c.io_base},
                             {"irq", c.irq},
                             {"polled", c.polled},
                             {"segment", layout.segments[pc.SegmentOf(i)]},
                             {"phy", PhyName(c)},
                             {"frames_sent", k.frames_sent.load()},
                             {"frames_received", k.frames_received.load()},
                             {"dropped_filter", k.dropped_filter.load()},
                             {"dropped_no_resources", k.dropped_no_resources.load()},
                             {"dropped_bad", k.dropped_bad.load()},
                             {"bus_errors", k.bus_errors.load()}});
    }
    j["machine"] = {
        {"origin", layout.origin}, {"segments", layout.segments}, {"controllers", controllers}};
    nlohmann::ordered_json devices = nlohmann::json::array();
    for (size_t d = 0; d < names.size(); ++d) {
      nlohmann::ordered_json dev = {
          {"name", names[d]},
          {"station", FormatMac(macs[d])},
          {"controller", nic_of_device[d] == SIZE_MAX ? nlohmann::ordered_json(nullptr)
                                                      : nlohmann::ordered_json(nic_of_device[d])}};
      if (can_talk) {
        nlohmann::ordered_json cs, as;
        for (const auto& [k, v] : Named(client_stats[d])) cs[k] = v;
        for (const auto& [k, v] : Named(adapter_stats[d].Counters)) as[k] = v;
        dev["client_statistics"] = cs;
        dev["adapter_statistics"] = as;
        const DeviceTally& t = tallies[d];
        dev["tool"] = {{"written_directed", t.written_directed},
                       {"written_broadcast", t.written_broadcast},
                       {"read", t.read},
                       {"checked", t.checked},
                       {"foreign", t.foreign},
                       {"replayed", t.replayed}};
      }
      devices.push_back(dev);
    }
    j["devices"] = devices;
    if (have_global) {
      nlohmann::ordered_json gs;
      for (const auto& [k, v] : Named(global)) gs[k] = v;
      j["global_statistics"] = gs;
    }
    j["traffic"] = {{"planned", result.planned},
                    {"written", result.written},
                    {"deliveries_expected", result.deliveries_expected},
                    {"delivered", result.delivered},
                    {"lost", result.lost},
                    {"corrupted", result.corrupted},
                    {"out_of_order", result.out_of_order},
                    {"duplicated", result.duplicated},
                    {"misdelivered", result.misdelivered},
                    {"write_failures", result.write_failures},
                    {"stalled", result.stalled},
                    {"seconds", result.seconds}};
    if (!replay_frames.empty()) {
      j["replay"] = {{"file", o.replay},
                     {"injected", replay.injected},
                     {"expected", replay.expected},
                     {"read", replay.read},
                     {"nudges", replay.nudges}};
    }
    nlohmann::ordered_json captures = nlohmann::json::array();
    if (!interrupted) {
      for (const auto& [file, frames] : pc.captures().Files()) {
        captures.push_back({{"file", file}, {"frames", frames}});
      }
    }
    j["captures"] = captures;
    nlohmann::ordered_json check_list = nlohmann::json::array();
    for (const Check& c : checks) {
      check_list.push_back({{"name", c.name},
                            {"result", c.ok ? "ok" : (c.skipped ? "skipped" : "failed")},
                            {"detail", c.detail}});
    }
    j["checks"] = check_list;
    j["console"] = console_all;
    j["interrupted"] = interrupted;
    j["ok"] = pass;
    std::fputs((j.dump(2) + "\n").c_str(), out);
    return pass ? kExitOk : (interrupted ? 130 : kExitFailed);
  }

  if (result.planned > 0) {
    uint64_t directed = 0, broadcast = 0;
    for (const DeviceTally& t : tallies) {
      directed += t.written_directed;
      broadcast += t.written_broadcast;
    }
    Table t({"", "", ""});
    auto row = [&](const std::string& name, uint64_t value, const std::string& note = "") {
      t.Row({name, std::to_string(value), note});
    };
    row("frames written", result.written,
        "(" + std::to_string(directed) + " directed, " + std::to_string(broadcast) + " broadcast)");
    row("deliveries expected", result.deliveries_expected, "(one per receiving device)");
    row("read intact", result.delivered);
    row("lost", result.lost);
    row("corrupted", result.corrupted);
    row("out of order", result.out_of_order);
    row("duplicated", result.duplicated);
    row("misdelivered", result.misdelivered);
    if (result.write_failures) row("failed writes", result.write_failures);
    std::string rendered = t.Render();
    rendered = rendered.substr(rendered.find('\n') + 1);  // no header row
    std::fputs(rendered.c_str(), out);
    std::fprintf(out, "  took %s s of wall time, receive window %u frames\n",
                 Fixed(result.seconds, 2).c_str(), window);
  }
  if (!replay_frames.empty()) {
    std::fprintf(out,
                 "  injected %llu, accepted by the controllers for the driver %llu, read %llu\n",
                 static_cast<unsigned long long>(replay.injected),
                 static_cast<unsigned long long>(replay.expected),
                 static_cast<unsigned long long>(replay.read));
    if (replay.nudges > 0) {
      std::fprintf(out,
                   "  %llu nudge frames sent: a frame the driver drops ends its drain, so frames\n"
                   "  behind it wait for the next frame to arrive\n",
                   static_cast<unsigned long long>(replay.nudges));
    }
  }
  if (!console_run.empty() && !o.verbose) {
    std::fputs("\nDriver console (after start-up)\n", out);
    std::fputs(Indent(console_run).c_str(), out);
  }
  if (can_talk) {
    std::vector<std::string> header = {"counter"};
    for (size_t d = 0; d < names.size(); ++d) header.push_back("dev " + std::to_string(d));
    Table cs(header);
    for (size_t k = 0; k < Named(client_stats[0]).size(); ++k) {
      std::vector<std::string> row = {Named(client_stats[0])[k].first};
      for (size_t d = 0; d < names.size(); ++d) {
        row.push_back(std::to_string(Named(client_stats[d])[k].second));
      }
      cs.Row(row);
    }
    std::fputs("\nClient statistics (control code 0x80002, one client per device)\n", out);
    std::fputs(cs.Render().c_str(), out);
    Table as(header);
    for (size_t k = 0; k < Named(adapter_stats[0].Counters).size(); ++k) {
      std::vector<std::string> row = {Named(adapter_stats[0].Counters)[k].first};
      for (size_t d = 0; d < names.size(); ++d) {
        row.push_back(std::to_string(Named(adapter_stats[d].Counters)[k].second));
      }
      as.Row(row);
    }
    std::fputs("\nAdapter statistics (control code 0x80003)\n", out);
    std::fputs(as.Render().c_str(), out);
    if (have_global) {
      Table gs({"counter", "driver"});
      for (const auto& [k, v] : Named(global)) gs.Row({k, std::to_string(v)});
      std::fputs("\nGlobal statistics (control code 0x80004)\n", out);
      std::fputs(gs.Render().c_str(), out);
    }
  }
  std::fputs("\nControllers (the hardware's own counters)\n", out);
  Table hw({"#", "sent", "stored", "refused by filter", "dropped, no resources", "dropped, bad",
            "bus errors"});
  for (size_t i = 0; i < pc.nic_count(); ++i) {
    const auto& k = pc.nic(i).counters();
    hw.Row({std::to_string(i), std::to_string(k.frames_sent.load()),
            std::to_string(k.frames_received.load()), std::to_string(k.dropped_filter.load()),
            std::to_string(k.dropped_no_resources.load()), std::to_string(k.dropped_bad.load()),
            std::to_string(k.bus_errors.load())});
  }
  std::fputs(hw.Render().c_str(), out);
  if (!interrupted && !pc.captures().Files().empty()) {
    std::fputs("\nCaptures\n", out);
    for (const auto& [file, frames] : pc.captures().Files()) {
      std::fprintf(out, "  %s: %llu frames\n", file.c_str(),
                   static_cast<unsigned long long>(frames));
    }
  }
  if (pc.tap() != nullptr) {
    std::fprintf(out, "\nTAP %s: %llu frames in, %llu out\n", pc.tap()->interface_name().c_str(),
                 static_cast<unsigned long long>(pc.tap()->frames_in()),
                 static_cast<unsigned long long>(pc.tap()->frames_out()));
  }
  std::fputs("\nChecks\n", out);
  for (const Check& c : checks) {
    const char* mark = c.ok ? "ok  " : (c.skipped ? "skip" : "FAIL");
    std::fprintf(out, "  %s  %s%s%s\n", mark, c.name.c_str(), c.detail.empty() ? "" : ": ",
                 c.detail.c_str());
  }
  if (interrupted) {
    std::fputs("\nInterrupted: the run did not finish; no capture was kept.\n", out);
    return 130;
  }
  std::fprintf(
      out, "\n%s: %s\n", pass ? "PASS" : "FAIL",
      pass ? ("all " + std::to_string(checks.size()) + " checks held").c_str()
           : (std::to_string(failed) + " of " + std::to_string(checks.size()) + " checks failed")
                 .c_str());
  return pass ? kExitOk : kExitFailed;
}

}  // namespace tool
