#include "tools/torvelin/run_report.h"

#include <nlohmann/json.hpp>

#include "tools/torvelin/commands.h"
#include "tools/torvelin/machine_file.h"
#include "tools/torvelin/pc.h"
#include "tools/torvelin/report.h"

namespace tool {
namespace {

std::string Fixed(double value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

void PrintDevices(const RunReport& r, FILE* out) {
  std::fputs("\nDevices\n", out);
  if (r.devices.empty()) {
    std::fputs(
        ("  none published: " + (r.booted ? std::string("no controller was usable") : r.why) + "\n")
            .c_str(),
        out);
    return;
  }
  Table devices({"device", "station", "controller", "link"});
  for (const DeviceReport& d : r.devices) {
    std::string link = "?";
    std::string controller = "?";
    if (d.controller != SIZE_MAX) {
      const ControllerReport& c = r.controllers[d.controller];
      controller = "#" + std::to_string(d.controller) + " " + PciText(c.config);
      link = c.segment + ", " + PhyName(c.config);
    }
    devices.Row(
        {d.name, d.status == 0 ? FormatMac(d.station) : StatusName(d.status), controller, link});
  }
  std::fputs(devices.Render().c_str(), out);
}

void PrintTraffic(const RunReport& r, FILE* out) {
  const TrafficResult& result = r.traffic;
  uint64_t directed = 0, broadcast = 0;
  for (const DeviceTally& t : r.tallies) {
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
               Fixed(result.seconds, 2).c_str(), r.window);
}

void PrintReplay(const RunReport& r, FILE* out) {
  std::fprintf(out, "  injected %llu, accepted by the controllers for the driver %llu, read %llu\n",
               static_cast<unsigned long long>(r.replay.injected),
               static_cast<unsigned long long>(r.replay.expected),
               static_cast<unsigned long long>(r.replay.read));
  if (r.replay.nudges > 0) {
    std::fprintf(out,
                 "  %llu nudge frames sent: a frame the driver drops ends its drain, so frames\n"
                 "  behind it wait for the next frame to arrive\n",
                 static_cast<unsigned long long>(r.replay.nudges));
  }
}

// One table of a statistics block: a row per counter, a column per device.
template <class Block>
void PrintPerDevice(const std::vector<Block>& blocks, const std::string& title, FILE* out) {
  std::vector<std::string> header = {"counter"};
  for (size_t d = 0; d < blocks.size(); ++d) header.push_back("dev " + std::to_string(d));
  Table table(header);
  for (size_t k = 0; k < blocks[0].size(); ++k) {
    std::vector<std::string> row = {blocks[0][k].first};
    for (const auto& block : blocks) row.push_back(std::to_string(block[k].second));
    table.Row(row);
  }
  std::fputs(title.c_str(), out);
  std::fputs(table.Render().c_str(), out);
}

void PrintStatistics(const RunReport& r, FILE* out) {
  std::vector<std::vector<std::pair<std::string, uint32_t>>> clients, adapters;
  for (const ClientStatistics& c : r.client_stats) clients.push_back(Named(c));
  for (const AdapterStatistics& a : r.adapter_stats) adapters.push_back(Named(a.Counters));
  PrintPerDevice(clients, "\nClient statistics (control code 0x80002, one client per device)\n",
                 out);
  PrintPerDevice(adapters, "\nAdapter statistics (control code 0x80003)\n", out);
  if (r.have_global) {
    Table gs({"counter", "driver"});
    for (const auto& [k, v] : Named(r.global)) gs.Row({k, std::to_string(v)});
    std::fputs("\nGlobal statistics (control code 0x80004)\n", out);
    std::fputs(gs.Render().c_str(), out);
  }
}

void PrintControllers(const RunReport& r, FILE* out) {
  std::fputs("\nControllers (the hardware's own counters)\n", out);
  std::vector<std::string> header = {"#"};
  for (const ControllerCounter& counter : kControllerCounters) header.push_back(counter.column);
  Table hw(header);
  for (size_t i = 0; i < r.controllers.size(); ++i) {
    std::vector<std::string> row = {std::to_string(i)};
    for (const uint64_t value : r.controllers[i].counters) row.push_back(std::to_string(value));
    hw.Row(row);
  }
  std::fputs(hw.Render().c_str(), out);
  for (size_t i = 0; i < r.controllers.size(); ++i) {
    for (const sim::I8255xProgrammingError& e : r.controllers[i].programming_error_list) {
      std::fprintf(out, "Programming error, controller %zu at %llu ns: %s\n", i,
                   static_cast<unsigned long long>(e.time_ns), e.what.c_str());
    }
  }
}

nlohmann::ordered_json JsonProgrammingErrors(const ControllerReport& k) {
  nlohmann::ordered_json list = nlohmann::json::array();
  for (const sim::I8255xProgrammingError& e : k.programming_error_list) {
    list.push_back({{"time_ns", e.time_ns}, {"what", e.what}});
  }
  return list;
}

nlohmann::ordered_json JsonControllers(const RunReport& r) {
  nlohmann::ordered_json controllers = nlohmann::json::array();
  for (size_t i = 0; i < r.controllers.size(); ++i) {
    const ControllerReport& k = r.controllers[i];
    const sim::I8255xConfig& c = k.config;
    nlohmann::ordered_json controller = {
        {"index", i},         {"device_id", c.device_id}, {"name", ControllerName(c.device_id)},
        {"pci", PciText(c)},  {"io_base", c.io_base},     {"irq", c.irq},
        {"polled", c.polled}, {"segment", k.segment},     {"phy", PhyName(c)}};
    for (size_t n = 0; n < kControllerCounters.size(); ++n) {
      controller[kControllerCounters[n].json] = k.counters[n];
    }
    controller["programming_error_list"] = JsonProgrammingErrors(k);
    controllers.push_back(controller);
  }
  return controllers;
}

nlohmann::ordered_json JsonDevices(const RunReport& r) {
  nlohmann::ordered_json devices = nlohmann::json::array();
  for (size_t d = 0; d < r.devices.size(); ++d) {
    const DeviceReport& device = r.devices[d];
    nlohmann::ordered_json dev = {
        {"name", device.name},
        {"station", FormatMac(device.station)},
        {"controller", device.controller == SIZE_MAX ? nlohmann::ordered_json(nullptr)
                                                     : nlohmann::ordered_json(device.controller)}};
    if (r.can_talk) {
      nlohmann::ordered_json cs, as;
      for (const auto& [k, v] : Named(r.client_stats[d])) cs[k] = v;
      for (const auto& [k, v] : Named(r.adapter_stats[d].Counters)) as[k] = v;
      dev["client_statistics"] = cs;
      dev["adapter_statistics"] = as;
      const DeviceTally& t = r.tallies[d];
      dev["tool"] = {{"written_directed", t.written_directed},
                     {"written_broadcast", t.written_broadcast},
                     {"read", t.read},
                     {"checked", t.checked},
                     {"foreign", t.foreign},
                     {"replayed", t.replayed}};
    }
    devices.push_back(dev);
  }
  return devices;
}

}  // namespace

std::string PciText(const sim::I8255xConfig& c) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x.%u", c.bus, c.device, c.function);
  return text;
}

void PrintMachine(const RunReport& r, FILE* out) {
  const size_t nics = r.controllers.size(), segments = r.segments.size();
  const std::string clock_name = r.clock == "real" ? "real-time clock" : "virtual clock";
  std::fprintf(out, "torvelin %s: a simulated PC with %zu controller%s on %zu segment%s (%s)\n\n",
               kVersion, nics, nics == 1 ? "" : "s", segments, segments == 1 ? "" : "s",
               clock_name.c_str());
  std::fprintf(out, "Machine (%s)\n", r.origin.c_str());
  Table machine(
      {"#", "controller", "pci", "I/O", "IRQ", "mode", "segment", "PHY", "EEPROM station"});
  for (size_t i = 0; i < nics; ++i) {
    const sim::I8255xConfig& c = r.controllers[i].config;
    machine.Row({std::to_string(i), ControllerName(c.device_id), PciText(c), Hex16(c.io_base),
                 std::to_string(c.irq), c.polled ? "polled" : "interrupt", r.controllers[i].segment,
                 PhyName(c), c.eeprom_absent ? "(no EEPROM)" : FormatMac(c.station)});
  }
  std::fputs(machine.Render().c_str(), out);
  if (!r.verbose) {
    std::fputs("\nDriver console (start-up)\n", out);
    std::fputs(Indent(r.boot_console).c_str(), out);
  }
  PrintDevices(r, out);
  std::fflush(out);
}

void PrintTrafficStart(const RunReport& r, FILE* out) {
  std::fprintf(out, "\nTraffic: %llu frames of 60-1514 bytes, 1 in 4 broadcast, seed %llu\n",
               static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.seed));
  std::fflush(out);
}

void PrintReplayStart(const RunReport& r, FILE* out) {
  std::fprintf(out, "\nReplay: %zu frames from %s into %s\n", r.replay_frames,
               r.replay_file.c_str(), r.segments[0].c_str());
  std::fflush(out);
}

void PrintResults(const RunReport& r, FILE* out) {
  if (r.traffic.planned > 0) PrintTraffic(r, out);
  if (r.replay_frames > 0) PrintReplay(r, out);
  if (!r.console_run.empty() && !r.verbose) {
    std::fputs("\nDriver console (after start-up)\n", out);
    std::fputs(Indent(r.console_run).c_str(), out);
  }
  if (r.can_talk) PrintStatistics(r, out);
  PrintControllers(r, out);
  if (!r.interrupted && !r.captures.empty()) {
    std::fputs("\nCaptures\n", out);
    for (const auto& [file, frames] : r.captures) {
      std::fprintf(out, "  %s: %llu frames\n", file.c_str(),
                   static_cast<unsigned long long>(frames));
    }
  }
  if (r.tap) {
    std::fprintf(out, "\nTAP %s: %llu frames in, %llu out\n", r.tap_name.c_str(),
                 static_cast<unsigned long long>(r.tap_in),
                 static_cast<unsigned long long>(r.tap_out));
  }
  std::fputs("\nChecks\n", out);
  for (const Check& c : r.checks) {
    const char* mark = c.ok ? "ok  " : (c.skipped ? "skip" : "FAIL");
    std::fprintf(out, "  %s  %s%s%s\n", mark, c.name.c_str(), c.detail.empty() ? "" : ": ",
                 c.detail.c_str());
  }
  if (r.interrupted) {
    std::fputs("\nInterrupted: the run did not finish; no capture was kept.\n", out);
    return;
  }
  const std::string checks = std::to_string(r.checks.size());
  std::fprintf(out, "\n%s: %s\n", r.pass ? "PASS" : "FAIL",
               r.pass ? ("all " + checks + " checks held").c_str()
                      : (std::to_string(r.failed) + " of " + checks + " checks failed").c_str());
}

void PrintJson(const RunReport& r, FILE* out) {
  nlohmann::ordered_json j;
  j["version"] = kVersion;
  j["clock"] = r.clock;
  j["seed"] = r.seed;
  j["machine"] = {
      {"origin", r.origin}, {"segments", r.segments}, {"controllers", JsonControllers(r)}};
  j["devices"] = JsonDevices(r);
  if (r.have_global) {
    nlohmann::ordered_json gs;
    for (const auto& [k, v] : Named(r.global)) gs[k] = v;
    j["global_statistics"] = gs;
  }
  const TrafficResult& t = r.traffic;
  j["traffic"] = {{"planned", t.planned},
                  {"written", t.written},
                  {"deliveries_expected", t.deliveries_expected},
                  {"delivered", t.delivered},
                  {"lost", t.lost},
                  {"corrupted", t.corrupted},
                  {"out_of_order", t.out_of_order},
                  {"duplicated", t.duplicated},
                  {"misdelivered", t.misdelivered},
                  {"write_failures", t.write_failures},
                  {"stalled", t.stalled},
                  {"seconds", t.seconds}};
  if (r.replay_frames > 0) {
    j["replay"] = {{"file", r.replay_file},
                   {"injected", r.replay.injected},
                   {"expected", r.replay.expected},
                   {"read", r.replay.read},
                   {"nudges", r.replay.nudges}};
  }
  nlohmann::ordered_json captures = nlohmann::json::array();
  if (!r.interrupted) {
    for (const auto& [file, frames] : r.captures) {
      captures.push_back({{"file", file}, {"frames", frames}});
    }
  }
  j["captures"] = captures;
  nlohmann::ordered_json check_list = nlohmann::json::array();
  for (const Check& c : r.checks) {
    check_list.push_back({{"name", c.name},
                          {"result", c.ok ? "ok" : (c.skipped ? "skipped" : "failed")},
                          {"detail", c.detail}});
  }
  j["checks"] = check_list;
  j["console"] = r.console_all;
  j["interrupted"] = r.interrupted;
  j["ok"] = r.pass;
  std::fputs((j.dump(2) + "\n").c_str(), out);
}

}  // namespace tool
