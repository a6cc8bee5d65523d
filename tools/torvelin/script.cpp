// `torvelin script`: a line protocol for driving a machine step by step from
// any language. One request per line, one answer per line:
//   ok [data...]
//   error <code> <message>
// where <code> is the driver's status (decimal, or hex from 0x10000 up) when
// the driver refused, and a word when the tool did: usage, state, handle,
// file, boot, timeout, stopped, nodevice. Blank lines and lines starting
// with '#' get no answer. The requests are listed in Session::Handle.
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/net/test_frame.h"
#include "tools/torvelin/commands.h"
#include "tools/torvelin/pc.h"
#include "tools/torvelin/util.h"

namespace tool {
namespace {

constexpr uint32_t kReadSize = 2048;
constexpr int kDefaultReadTimeoutMs = 1000;

// The tool's own refusals.
struct Refusal {
  std::string code;
  std::string message;
};

// A read that may block in the driver runs on its own thread; the session
// waits for it as long as the request allows and leaves it pending
// otherwise, so that the next read on the handle picks up the same one.
struct PendingRead {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;            // guarded by mutex
  uint32_t status = 0;          // guarded by mutex, valid once done
  uint32_t length = 0;          // guarded by mutex, valid once done
  std::vector<uint8_t> buffer;  // written by the thread before done, read after
};

struct Handle {
  size_t device;
  uintptr_t open;
  uint32_t next_sequence = 0;
  std::unique_ptr<PendingRead> pending;
};

class Session {
 public:
  explicit Session(const ScriptOptions& options) : options_(options) {}
  ~Session() { Stop(); }

  // Answers one request line (without the line end).
  std::string Handle(const std::string& line, bool* quit);

 private:
  using Words = std::vector<std::string>;
  std::string Boot(const Words& w);
  std::string Open(const Words& w);
  std::string Close(const Words& w);
  std::string Write(const Words& w);
  std::string Read(const Words& w);
  std::string Filter(const Words& w);
  std::string Stats(const Words& w);
  std::string Info(const Words& w);
  std::string Inject(const Words& w);
  std::string Send(const Words& w);
  std::string Fault(const Words& w);
  std::string Bar(const Words& w);
  std::string Irq(const Words& w);
  std::string Availability(const Words& w);
  std::string Console();
  std::string TraceRequest(const Words& w);
  std::string Devices();
  void Stop();

  void RequireBooted() const;
  tool::Handle& HandleArg(const std::string& word);
  size_t DeviceArg(const std::string& word) const;
  size_t NicArg(const std::string& word);
  static std::string Status(uint32_t status);

  const ScriptOptions options_;
  std::unique_ptr<Pc> pc_;
  std::unique_ptr<Client> client_;
  std::map<int, tool::Handle> handles_;
  std::vector<std::unique_ptr<PendingRead>> orphans_;  // reads of closed handles
  int next_handle_ = 1;
  size_t console_seen_ = 0;
  bool trace_on_ = false;  // carried to the next machine booted
  size_t trace_seen_ = 0;  // bytes of the trace's text already answered
};

[[noreturn]] void Refuse(const std::string& code, const std::string& message) {
  throw Refusal{code, message};
}

// key=value arguments after the positional ones.
std::map<std::string, std::string> Options(const std::vector<std::string>& words, size_t from,
                                           const std::vector<std::string>& known) {
  std::map<std::string, std::string> options;
  for (size_t i = from; i < words.size(); ++i) {
    const size_t eq = words[i].find('=');
    if (eq == std::string::npos) Refuse("usage", "expected KEY=VALUE, found '" + words[i] + "'");
    const std::string key = words[i].substr(0, eq);
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      Refuse("usage", "unknown argument '" + key + "'");
    }
    options[key] = words[i].substr(eq + 1);
  }
  return options;
}

uint64_t Number(const std::string& text, const std::string& what, uint64_t max = UINT32_MAX) {
  const auto value = ParseNumber(text, max);
  if (!value) Refuse("usage", "bad " + what + " '" + text + "'");
  return *value;
}

// Error marks after the bytes of inject and send.
sim::FrameErrors ErrorMarks(const std::vector<std::string>& w, size_t from) {
  sim::FrameErrors errors;
  for (size_t i = from; i < w.size(); ++i) {
    if (w[i] == "crc") {
      errors.crc = true;
    } else if (w[i] == "align") {
      errors.alignment = true;
    } else if (w[i] == "overrun") {
      errors.overrun = true;
    } else {
      Refuse("usage", "unknown error mark '" + w[i] + "' (crc, align, overrun)");
    }
  }
  return errors;
}

std::string Session::Status(uint32_t status) {
  char code[16];
  if (status >= 0x10000) {
    std::snprintf(code, sizeof code, "0x%08X", status);
  } else {
    std::snprintf(code, sizeof code, "%u", status);
  }
  if (status == sim::ClientProcess::kStopped) return "error stopped machine stopped";
  if (status == sim::ClientProcess::kNoDevice) return "error nodevice no such device";
  return std::string("error ") + code + " " + StatusMeaning(status);
}

void Session::RequireBooted() const {
  if (!pc_) Refuse("state", "no machine: send boot first");
  if (pc_->machine().stopped()) Refuse("state", "the machine has stopped: send boot");
}

tool::Handle& Session::HandleArg(const std::string& word) {
  RequireBooted();
  const auto value = ParseNumber(word, INT32_MAX);
  if (!value || handles_.count(static_cast<int>(*value)) == 0) {
    Refuse("handle", "no open handle " + word);
  }
  return handles_.at(static_cast<int>(*value));
}

size_t Session::DeviceArg(const std::string& word) const {
  RequireBooted();
  const auto names = pc_->machine().DeviceNames();
  const auto value = ParseNumber(word, 1000);
  if (!value || *value >= names.size()) {
    Refuse("nodevice", "no device " + word + " (" + std::to_string(names.size()) + " published)");
  }
  return *value;
}

size_t Session::NicArg(const std::string& word) {
  RequireBooted();
  const auto value = ParseNumber(word, 1000);
  if (!value || *value >= pc_->nic_count()) {
    Refuse("usage",
           "no controller " + word + " (the machine has " + std::to_string(pc_->nic_count()) + ")");
  }
  return *value;
}

std::string Session::Handle(const std::string& line, bool* quit) {
  const Words w = SplitWords(line);
  try {
    const std::string& verb = w[0];
    if (verb == "boot") return Boot(w);
    if (verb == "devices") return Devices();
    if (verb == "open") return Open(w);
    if (verb == "close") return Close(w);
    if (verb == "write") return Write(w);
    if (verb == "read") return Read(w);
    if (verb == "filter") return Filter(w);
    if (verb == "stats") return Stats(w);
    if (verb == "info") return Info(w);
    if (verb == "inject") return Inject(w);
    if (verb == "send") return Send(w);
    if (verb == "fault") return Fault(w);
    if (verb == "bar") return Bar(w);
    if (verb == "irq") return Irq(w);
    if (verb == "suspend" || verb == "resume" || verb == "abort") return Availability(w);
    if (verb == "console") return Console();
    if (verb == "trace") return TraceRequest(w);
    if (verb == "stop") {
      if (!pc_) Refuse("state", "no machine");
      Stop();
      return "ok";
    }
    if (verb == "quit") {
      Stop();
      *quit = true;
      return "ok";
    }
    if (verb == "version") return std::string("ok ") + kVersion;
    Refuse("usage", "unknown request '" + verb + "'");
  } catch (const Refusal& r) {
    return "error " + r.code + " " + r.message;
  } catch (const InputError& e) {
    return std::string("error file ") + e.what();
  }
}

std::string Session::Boot(const Words& w) {
  if (pc_ && !pc_->machine().stopped()) Refuse("state", "a machine is running: send stop first");
  Stop();
  const auto o = Options(w, 1, {"machine", "registry", "controllers", "quiet", "clock", "ha"});
  MachineChoice choice;
  if (o.count("machine")) choice.machine_file = o.at("machine");
  if (o.count("registry")) choice.registry_file = o.at("registry");
  if (o.count("controllers")) {
    if (o.count("machine")) Refuse("usage", "controllers= and machine= cannot be combined");
    choice.controllers = static_cast<unsigned>(Number(o.at("controllers"), "controllers", 1000));
  }
  if (o.count("quiet")) {
    const auto quiet = ParseBool(o.at("quiet"));
    if (!quiet) Refuse("usage", "quiet= takes 0 or 1");
    choice.quiet = *quiet;
  }
  std::string clock = options_.clock;
  if (o.count("clock")) clock = o.at("clock");
  if (clock != "virtual" && clock != "real") Refuse("usage", "clock= takes virtual or real");
  PcOptions pc_options;
  try {
    pc_options.layout = ChooseMachine(choice);
  } catch (const InputError& e) {
    Refuse("file", e.what());
  }
  pc_options.registry = EffectiveRegistry(choice.registry_file, choice.quiet);
  pc_options.clock = clock == "real" ? sim::ClockMode::Real : sim::ClockMode::Virtual;
  if (o.count("ha")) {
    // What the kernel does when the driver reports a changed controller.
    const std::string ha = o.at("ha");
    if (ha == "none") {
      pc_options.ha_policy = sim::HaPolicy::None;
    } else if (ha == "suspend") {
      pc_options.ha_policy = sim::HaPolicy::Suspend;
    } else if (ha == "abort") {
      pc_options.ha_policy = sim::HaPolicy::Abort;
    } else {
      Refuse("usage", "ha= takes none, suspend or abort");
    }
  }
  if (options_.verbose) {
    pc_options.console_echo = [](const std::string& piece) {
      std::fwrite(piece.data(), 1, piece.size(), stderr);
      std::fflush(stderr);
    };
  }
  pc_ = std::make_unique<Pc>(std::move(pc_options));
  console_seen_ = 0;
  trace_seen_ = 0;
  if (trace_on_) pc_->machine().trace().SetOn(true);
  std::string why;
  if (!pc_->Boot(&why)) {
    Stop();
    Refuse("boot", why);
  }
  client_ = std::make_unique<Client>(pc_->machine());
  return "ok devices=" + std::to_string(pc_->machine().DeviceNames().size());
}

std::string Session::Devices() {
  RequireBooted();
  std::string answer = "ok";
  for (const std::string& name : pc_->machine().DeviceNames()) answer += " " + name;
  return answer;
}

std::string Session::Open(const Words& w) {
  if (w.size() != 2) Refuse("usage", "open <device#>");
  const size_t device = DeviceArg(w[1]);
  uintptr_t open = 0;
  const uint32_t status = client_->process().Open(DeviceName(device), &open);
  if (status != 0) return Status(status);
  const int id = next_handle_++;
  handles_[id] = tool::Handle{device, open, 0, nullptr};
  return "ok " + std::to_string(id);
}

std::string Session::Close(const Words& w) {
  if (w.size() != 2) Refuse("usage", "close <handle>");
  tool::Handle& h = HandleArg(w[1]);
  const uint32_t status = client_->process().Close(h.open);
  if (h.pending) orphans_.push_back(std::move(h.pending));  // joined when the machine stops
  handles_.erase(static_cast<int>(*ParseNumber(w[1])));
  return status == 0 ? "ok" : Status(status);
}

std::string Session::Write(const Words& w) {
  if (w.size() < 3) {
    Refuse("usage", "write <handle> hex:<bytes> | write <handle> gen dst=<mac|broadcast> len=<n>");
  }
  tool::Handle& h = HandleArg(w[1]);
  std::vector<uint8_t> frame;
  if (w[2].rfind("hex:", 0) == 0) {
    if (w.size() != 3) Refuse("usage", "write <handle> hex:<bytes>");
    const auto bytes = ParseHex(w[2].substr(4));
    if (!bytes) Refuse("usage", "bad hex bytes");
    frame = *bytes;
  } else if (w[2] == "gen") {
    const auto o = Options(w, 3, {"dst", "len", "seq"});
    Mac destination = kBroadcast;
    if (!o.count("dst")) Refuse("usage", "gen needs dst=<mac|broadcast>");
    if (o.at("dst") != "broadcast") {
      const auto mac = ParseMac(o.at("dst"));
      if (!mac) Refuse("usage", "bad dst '" + o.at("dst") + "'");
      destination = *mac;
    }
    const uint64_t length = o.count("len") ? Number(o.at("len"), "len", 65535) : 60;
    uint32_t sequence = h.next_sequence;
    if (o.count("seq")) sequence = static_cast<uint32_t>(Number(o.at("seq"), "seq"));
    h.next_sequence = sequence + 1;
    AdapterInfo info;
    const uint32_t status = client_->Info(h.open, &info);
    if (status != 0) return Status(status);
    Mac source;
    std::copy(info.StationAddress, info.StationAddress + 6, source.begin());
    // Lengths below the header are honoured too (the frame is cut): the
    // driver decides.
    frame = sim::BuildTestFrame(0, static_cast<uint8_t>(h.device), sequence, destination, source,
                                length);
  } else {
    Refuse("usage", "write <handle> hex:<bytes> | write <handle> gen ...");
  }
  uint32_t transferred = 0;
  const uint32_t status = client_->process().Write(
      h.open, frame.data(), static_cast<uint32_t>(frame.size()), &transferred);
  if (status != 0) return Status(status);
  return "ok " + std::to_string(transferred);
}

std::string Session::Read(const Words& w) {
  if (w.size() < 2) Refuse("usage", "read <handle> [timeout_ms=N] [size=N]");
  tool::Handle& h = HandleArg(w[1]);
  const auto o = Options(w, 2, {"timeout_ms", "size"});
  const int timeout_ms = o.count("timeout_ms")
                             ? static_cast<int>(Number(o.at("timeout_ms"), "timeout_ms", 3600000))
                             : kDefaultReadTimeoutMs;
  if (!h.pending) {
    const uint32_t size =
        o.count("size") ? static_cast<uint32_t>(Number(o.at("size"), "size", 65536)) : kReadSize;
    auto pending = std::make_unique<PendingRead>();
    pending->buffer.resize(size);
    PendingRead* p = pending.get();
    Client* client = client_.get();
    const uintptr_t open = h.open;
    pending->thread = std::thread([p, client, open] {
      uint32_t length = 0;
      const uint32_t status = client->process().Read(
          open, p->buffer.data(), static_cast<uint32_t>(p->buffer.size()), &length);
      std::lock_guard<std::mutex> lock(p->mutex);
      p->status = status;
      p->length = length;
      p->done = true;
      p->done_changed.notify_all();
    });
    h.pending = std::move(pending);
  }
  PendingRead& p = *h.pending;
  {
    std::unique_lock<std::mutex> lock(p.mutex);
    if (!p.done_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return p.done; })) {
      return "error timeout no frame within " + std::to_string(timeout_ms) +
             " ms (the read stays pending)";
    }
  }
  p.thread.join();
  std::unique_ptr<PendingRead> done = std::move(h.pending);
  if (done->status != 0) return Status(done->status);
  const uint32_t length =
      std::min<uint32_t>(done->length, static_cast<uint32_t>(done->buffer.size()));
  return "ok " + std::to_string(done->length) + " " + Hex(done->buffer.data(), length);
}

std::string Session::Filter(const Words& w) {
  if (w.size() != 3)
    Refuse("usage", "filter <handle> <bits|directed+broadcast+multicast+promiscuous>");
  tool::Handle& h = HandleArg(w[1]);
  uint32_t bits = 0;
  if (const auto number = ParseNumber(w[2], UINT32_MAX)) {
    bits = static_cast<uint32_t>(*number);
  } else {
    size_t pos = 0;
    const std::string& text = w[2];
    while (pos <= text.size()) {
      size_t end = text.find_first_of("+,|", pos);
      if (end == std::string::npos) end = text.size();
      const std::string name = Lower(text.substr(pos, end - pos));
      if (name == "directed") {
        bits |= FilterDirected;
      } else if (name == "multicast") {
        bits |= FilterAllMulticast;
      } else if (name == "broadcast") {
        bits |= FilterBroadcast;
      } else if (name == "promiscuous") {
        bits |= FilterPromiscuous;
      } else if (name != "none") {
        Refuse("usage", "unknown filter bit '" + name + "'");
      }
      pos = end + 1;
    }
  }
  const uint32_t status = client_->SetFilter(h.open, bits);
  return status == 0 ? "ok" : Status(status);
}

std::string Session::Stats(const Words& w) {
  if (w.size() != 3) Refuse("usage", "stats client|adapter|global <handle>");
  tool::Handle& h = HandleArg(w[2]);
  std::vector<std::pair<std::string, uint32_t>> named;
  uint32_t status = 0;
  if (w[1] == "client") {
    ClientStatistics s;
    status = client_->ClientStats(h.open, &s);
    named = Named(s);
  } else if (w[1] == "adapter") {
    AdapterStatistics s;
    status = client_->AdapterStats(h.open, &s);
    named = Named(s.Counters);
  } else if (w[1] == "global") {
    GlobalStatistics s;
    status = client_->GlobalStats(h.open, &s);
    named = Named(s);
  } else {
    Refuse("usage", "stats client|adapter|global <handle>");
  }
  if (status != 0) return Status(status);
  std::string answer = "ok";
  for (const auto& [name, value] : named) answer += " " + name + "=" + std::to_string(value);
  return answer;
}

std::string Session::Info(const Words& w) {
  if (w.size() != 2) Refuse("usage", "info <handle>");
  tool::Handle& h = HandleArg(w[1]);
  AdapterInfo info;
  const uint32_t status = client_->Info(h.open, &info);
  if (status != 0) return Status(status);
  return "ok device=" + DeviceName(h.device) + " station=" + FormatMac(info.StationAddress) +
         " address_length=" + std::to_string(info.AddressLength) +
         " minimum=" + std::to_string(info.MinimumFrameLength) +
         " maximum=" + std::to_string(info.MaximumFrameLength);
}

std::string Session::Inject(const Words& w) {
  if (w.size() < 3 || w[2].rfind("hex:", 0) != 0) {
    Refuse("usage", "inject <controller#> hex:<bytes> [crc] [align] [overrun]");
  }
  const size_t nic = NicArg(w[1]);
  const auto bytes = ParseHex(w[2].substr(4));
  if (!bytes) Refuse("usage", "bad hex bytes");
  const sim::FrameErrors errors = ErrorMarks(w, 3);
  pc_->nic(nic).InjectFrame(*bytes, errors);
  return "ok";
}

std::string Session::Send(const Words& w) {
  if (w.size() < 3 || w[2].rfind("hex:", 0) != 0) {
    Refuse("usage", "send <segment#> hex:<bytes> [crc] [align] [overrun]");
  }
  RequireBooted();
  const auto segment = ParseNumber(w[1], 1000);
  if (!segment || *segment >= pc_->segment_count()) {
    Refuse("usage", "no segment " + w[1] + " (the machine has " +
                        std::to_string(pc_->segment_count()) + ")");
  }
  const auto bytes = ParseHex(w[2].substr(4));
  if (!bytes) Refuse("usage", "bad hex bytes");
  const sim::FrameErrors errors = ErrorMarks(w, 3);
  sim::TestPort& wire = pc_->Wire(*segment);
  wire.Inject(*bytes, errors);
  pc_->segment(*segment).Flush();
  wire.ClearHeard();  // the session never asks what the wire heard
  return "ok";
}

std::string Session::Fault(const Words& w) {
  if (w.size() != 4) Refuse("usage", "fault <controller#> <name> on|off");
  const size_t nic = NicArg(w[1]);
  const auto on = ParseBool(w[3]);
  if (!on) Refuse("usage", "fault takes on or off");
  sim::I8255xFaults& f = pc_->nic(nic).faults();
  const std::map<std::string, std::atomic<bool>*> faults = {
      {"command_never_accepted", &f.command_never_accepted},
      {"cu_stuck_active", &f.cu_stuck_active},
      {"blocks_never_complete", &f.blocks_never_complete},
      {"selective_reset_hangs", &f.selective_reset_hangs},
      {"mdi_never_ready", &f.mdi_never_ready},
      {"ru_out_of_resources", &f.ru_out_of_resources},
      {"registers_all_ones", &f.registers_all_ones},
      {"rbd_count_beyond_buffer", &f.rbd_count_beyond_buffer},
      {"rbd_missing_f", &f.rbd_missing_f},
      {"rbd_missing_eof", &f.rbd_missing_eof},
  };
  const auto it = faults.find(w[2]);
  if (it == faults.end()) {
    std::string known;
    for (const auto& [name, flag] : faults) known += (known.empty() ? "" : " ") + name;
    Refuse("usage", "unknown fault '" + w[2] + "' (known: " + known + ")");
  }
  it->second->store(*on);
  return "ok";
}

std::string Session::Bar(const Words& w) {
  if (w.size() != 3 || w[2].rfind("io=", 0) != 0) Refuse("usage", "bar <controller#> io=<address>");
  const size_t nic = NicArg(w[1]);
  const uint64_t io = Number(w[2].substr(3), "I/O base", 0xFFFF);
  if (io % 64 != 0) Refuse("usage", "the I/O base must be 64-byte aligned");
  pc_->machine().ChangeResources(
      [&] { pc_->nic(nic).pci().SetBar(1, static_cast<uint32_t>(io) | 1, 64, true); });
  return "ok";
}

std::string Session::Irq(const Words& w) {
  if (w.size() != 3) Refuse("usage", "irq <controller#> <line>");
  const size_t nic = NicArg(w[1]);
  const auto line = static_cast<uint8_t>(Number(w[2], "line", 255));
  pc_->machine().ChangeResources([&] { pc_->nic(nic).pci().SetInterruptLine(line); });
  return "ok";
}

std::string Session::Availability(const Words& w) {
  if (w.size() != 2) Refuse("usage", w[0] + " <device#>");
  const size_t device = DeviceArg(w[1]);
  const uint32_t code = w[0] == "suspend" ? 100 : w[0] == "resume" ? 101 : 102;
  if (!pc_->machine().DeliverHaEvent(DeviceName(device), code)) {
    Refuse("nodevice", "no availability object for " + DeviceName(device));
  }
  return "ok";
}

std::string Session::Console() {
  if (!pc_) Refuse("state", "no machine");
  const std::string text = pc_->machine().Console();
  const std::string fresh = text.size() > console_seen_ ? text.substr(console_seen_) : "";
  console_seen_ = text.size();
  return fresh.empty() ? "ok" : "ok " + Escape(fresh);
}

// trace on|off: records the machine trace from now (before boot: from
// power-up of the next machine). trace FILE: writes what was recorded
// (FILE.json as trace-event JSON, else text). trace: answers the text lines
// recorded since the last answer.
std::string Session::TraceRequest(const Words& w) {
  if (w.size() > 2) Refuse("usage", "trace [on|off|FILE]");
  if (w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
    trace_on_ = w[1] == "on";
    if (pc_) pc_->machine().trace().SetOn(trace_on_);
    return "ok";
  }
  if (!pc_) Refuse("state", "no machine");
  const sim::Trace& trace = pc_->machine().trace();
  if (w.size() == 2) {
    if (!trace.WriteFile(w[1])) Refuse("file", "cannot write " + w[1]);
    return "ok events=" + std::to_string(trace.size());
  }
  const std::string text = trace.Text();
  const std::string fresh = text.size() > trace_seen_ ? text.substr(trace_seen_) : "";
  trace_seen_ = text.size();
  return fresh.empty() ? "ok" : "ok " + Escape(fresh);
}

void Session::Stop() {
  if (!pc_) return;
  // Every read still blocked in the driver is unwound by the stop.
  pc_->Stop();
  for (auto& [id, h] : handles_) {
    if (h.pending && h.pending->thread.joinable()) h.pending->thread.join();
  }
  for (auto& p : orphans_) {
    if (p->thread.joinable()) p->thread.join();
  }
  handles_.clear();
  orphans_.clear();
  client_.reset();
  pc_.reset();
  next_handle_ = 1;
}

}  // namespace

int ScriptCommand(const ScriptOptions& options) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (options.file != "-") {
    file.open(options.file);
    if (!file) throw InputError(options.file + ": cannot open");
    in = &file;
  }
  Session session(options);
  std::string line;
  bool quit = false;
  while (!quit && std::getline(*in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string answer = session.Handle(line, &quit);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  return kExitOk;
}

}  // namespace tool
