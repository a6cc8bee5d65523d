// `torvelin script`: a line protocol for driving a machine step by step from
// any language. One request per line, one answer per line:
//   ok [data...]
//   error <code> <message>
// where <code> is the driver's status (decimal, or hex from 0x10000 up) when
// the driver refused, and a word when the tool did: usage, state, handle,
// file, boot, timeout, stopped, nodevice. Blank lines and lines starting
// with '#' get no answer. The requests are listed in Session::Handle.
#include <chrono>
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

// `torvelin script`: a line protocol for driving a machine step by step from
// any language. One request per line, one answer per line:
//   ok [data...]
//   error <code> <message>
// where <code> is the driver's status (decimal, or hex from 0x10000 up) when
// the driver refused, and a word when the tool did: usage, state, handle,
// file, boot, timeout, stopped, nodevice. Blank lines and lines starting
// with '#' get no answer. The requests are listed in Session::Dispatch and
// in the command's help (main.cpp).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "platform/net/test_frame.h"
#include "tools/torvelin/commands.h"
#include "tools/torvelin/pc.h"
#include "tools/torvelin/script_session.h"
#include "tools/torvelin/util.h"

namespace tool::script {
namespace {

constexpr uint32_t kReadSize = 2048;
// How long a close waits for the read it ended (wall time).
constexpr int kClosedReadWaitMs = 5000;
// Client processes a session may use (client=N).
constexpr size_t kMaxClients = 8;

}  // namespace

[[noreturn]] void Refuse(const std::string& code, const std::string& message) {
  throw Refusal{code, message};
}

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

uint64_t Number(const std::string& text, const std::string& what, uint64_t max) {
  const auto value = ParseNumber(text, max);
  if (!value) Refuse("usage", "bad " + what + " '" + text + "'");
  return *value;
}

int TimeoutMs(const std::map<std::string, std::string>& options) {
  if (!options.count("timeout_ms")) return kDefaultWaitMs;
  return static_cast<int>(Number(options.at("timeout_ms"), "timeout_ms", 3600000));
}

std::string StatusAnswer(uint32_t status) {
  if (status == sim::ClientProcess::kStopped) return "error stopped machine stopped";
  if (status == sim::ClientProcess::kNoDevice) return "error nodevice no such device";
  return "error " + StatusCode(status) + " " + StatusMeaning(status);
}

void PendingCall::Start(std::function<uint32_t()> body) {
  thread = std::thread([this, body = std::move(body)] {
    const uint32_t result = body();
    std::lock_guard<std::mutex> lock(mutex);
    status = result;
    done = true;
    done_changed.notify_all();
  });
}

bool PendingCall::Wait(int timeout_ms) {
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (!done_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done; })) {
      return false;
    }
  }
  if (thread.joinable()) thread.join();
  return true;
}

void Session::RequireBooted() const {
  if (!pc_) Refuse("state", "no machine: send boot first");
  if (pc_->machine().stopped()) Refuse("state", "the machine has stopped: send boot");
}

void Session::RequireMachine() const {
  if (!pc_) Refuse("state", "no machine");
}

script::Handle& Session::HandleArg(const std::string& word) {
  RequireBooted();
  const auto value = ParseNumber(word, INT32_MAX);
  if (!value || handles_.count(static_cast<int>(*value)) == 0) {
    Refuse("handle", "no open handle " + word);
  }
  return handles_.at(static_cast<int>(*value));
}

// <dev#> is the device's own number, the n of /DEV/MAC/TORVELIN/<n>: a
// failed creation leaves its number unused, and the published devices keep
// theirs.
size_t Session::DeviceArg(const std::string& word) const {
  RequireBooted();
  const auto names = pc_->machine().DeviceNames();
  const auto value = ParseNumber(word, 1000000);
  if (value && std::find(names.begin(), names.end(), DeviceName(*value)) != names.end()) {
    return *value;
  }
  std::string published;
  const std::string prefix = DeviceName(0).substr(0, DeviceName(0).size() - 1);
  for (const std::string& name : names) {
    published += " " + (name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name);
  }
  Refuse("nodevice", "no device " + word +
                         (names.empty() ? " (none published)" : " (published:" + published + ")"));
}

size_t Session::NicArg(const std::string& word) {
  RequireBooted();
  return NicIndex(word);
}

size_t Session::NicIndex(const std::string& word) const {
  const auto value = ParseNumber(word, 1000);
  if (!value || *value >= pc_->nic_count()) {
    Refuse("usage",
           "no controller " + word + " (the machine has " + std::to_string(pc_->nic_count()) + ")");
  }
  return *value;
}

// Client process n of the session (client=N, from 1), made at its first use.
Client& Session::ClientArg(const std::string& word) {
  RequireBooted();
  const auto value = ParseNumber(word, kMaxClients);
  if (!value || *value == 0) {
    Refuse("usage", "bad client '" + word + "' (1 to " + std::to_string(kMaxClients) + ")");
  }
  while (clients_.size() < *value) clients_.push_back(std::make_unique<Client>(pc_->machine()));
  return *clients_[*value - 1];
}

std::string Session::Answer(const std::string& line, bool* quit) {
  try {
    return Dispatch(SplitWords(line), quit);
  } catch (const Refusal& r) {
    return "error " + r.code + " " + r.message;
  } catch (const InputError& e) {
    return std::string("error file ") + e.what();
  }
}

std::string Session::Dispatch(const Words& w, bool* quit) {
  // Every request but stop, quit and version, by its first word.
  using Request = std::string (Session::*)(const Words&);
  static const std::map<std::string, Request> kRequests = {
      {"boot", &Session::Boot},
      {"devices", &Session::Devices},
      {"open", &Session::Open},
      {"close", &Session::Close},
      {"write", &Session::Write},
      {"read", &Session::Read},
      {"filter", &Session::Filter},
      {"stats", &Session::Stats},
      {"info", &Session::Info},
      {"inject", &Session::Inject},
      {"send", &Session::Send},
      {"fault", &Session::Fault},
      {"bar", &Session::Bar},
      {"irq", &Session::Irq},
      {"suspend", &Session::Availability},
      {"resume", &Session::Availability},
      {"abort", &Session::Availability},
      {"console", &Session::Console},
      {"trace", &Session::TraceRequest},
      {"kernel", &Session::KernelRecords},
      {"errors", &Session::Errors},
      {"controller", &Session::ControllerState},
      {"call", &Session::Call},
      {"control", &Session::Control},
  };
  const std::string& verb = w[0];
  if (const auto request = kRequests.find(verb); request != kRequests.end()) {
    return (this->*request->second)(w);
  }
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
    const auto policy = Choose<sim::HaPolicy>(o.at("ha"), {{"none", sim::HaPolicy::None},
                                                           {"suspend", sim::HaPolicy::Suspend},
                                                           {"abort", sim::HaPolicy::Abort}});
    if (!policy) Refuse("usage", "ha= takes none, suspend or abort");
    pc_options.ha_policy = *policy;
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
  trace_text_.clear();
  if (trace_on_) pc_->machine().trace().SetOn(true);
  std::string why;
  if (!pc_->Boot(&why)) {
    // The machine is stopped but kept: its console and the kernel's records
    // stay readable until stop or the next boot.
    pc_->Stop();
    Refuse("boot", why);
  }
  clients_.push_back(std::make_unique<Client>(pc_->machine()));
  // The answer waits for the interrupt service to catch up with the
  // bring-up's last interrupts, so that the next request meets a quiet
  // machine whatever the host's timing: a line still up when, say, a
  // controller's I/O window moves would be serviced against the moved window
  // once per handler round, and the session's records would count the
  // rounds. Bounded, for a controller that holds its line up for good.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (pc_->machine().irq().AssertedLines().any() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return "ok devices=" + std::to_string(pc_->machine().DeviceNames().size());
}

std::string Session::Devices(const Words&) {
  RequireBooted();
  std::string answer = "ok";
  for (const std::string& name : pc_->machine().DeviceNames()) answer += " " + name;
  return answer;
}

std::string Session::Open(const Words& w) {
  if (w.size() < 2) Refuse("usage", "open <device#> [client=N]");
  const size_t device = DeviceArg(w[1]);
  const auto o = Options(w, 2, {"client"});
  const std::string client_word = o.count("client") ? o.at("client") : "1";
  Client& client = ClientArg(client_word);
  uintptr_t open = 0;
  const uint32_t status = client.process().Open(DeviceName(device), &open);
  if (status != 0) return StatusAnswer(status);
  const int id = next_handle_++;
  handles_[id] =
      script::Handle{device, static_cast<size_t>(*ParseNumber(client_word)), open, 0, nullptr};
  return "ok " + std::to_string(id);
}

// A read still pending on the handle is ended by the close: the answer
// carries its status (read=<status>, with length=<n> when a frame reached
// it first), or read=pending when it has not returned in time (it is then
// left to finish, or to be unwound when the machine stops).
std::string Session::Close(const Words& w) {
  if (w.size() != 2) Refuse("usage", "close <handle>");
  script::Handle& h = HandleArg(w[1]);
  const uint32_t status = ClientOf(h).process().Close(h.open);
  std::unique_ptr<PendingCall> pending = std::move(h.pending);
  handles_.erase(static_cast<int>(*ParseNumber(w[1])));
  std::string read;
  if (pending) {
    if (!pending->Wait(kClosedReadWaitMs)) {
      read = " read=pending";
      orphans_.push_back(std::move(pending));  // joined when the machine stops
    } else {
      read = " read=" + StatusCode(pending->status);
      if (pending->status == 0) read += " length=" + std::to_string(pending->length);
    }
  }
  return status == 0 ? "ok" + read : StatusAnswer(status) + read;
}

std::string Session::Write(const Words& w) {
  if (w.size() < 3) {
    Refuse("usage", "write <handle> hex:<bytes> | write <handle> gen dst=<mac|broadcast> len=<n>");
  }
  script::Handle& h = HandleArg(w[1]);
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
    const uint32_t status = ClientOf(h).Info(h.open, &info);
    if (status != 0) return StatusAnswer(status);
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
  const uint32_t status = ClientOf(h).process().Write(
      h.open, frame.data(), static_cast<uint32_t>(frame.size()), &transferred);
  if (status != 0) return StatusAnswer(status);
  return "ok " + std::to_string(transferred);
}

std::string Session::Read(const Words& w) {
  if (w.size() < 2) Refuse("usage", "read <handle> [timeout_ms=N] [size=N]");
  script::Handle& h = HandleArg(w[1]);
  const auto o = Options(w, 2, {"timeout_ms", "size"});
  const int timeout_ms = TimeoutMs(o);
  if (!h.pending) {
    const uint32_t size = o.count("size")
                              ? static_cast<uint32_t>(Number(o.at("size"), "size", kMaxBuffer))
                              : kReadSize;
    auto pending = std::make_unique<PendingCall>();
    pending->buffer.resize(size);
    PendingCall* p = pending.get();
    Client* client = &ClientOf(h);
    const uintptr_t open = h.open;
    // The length the driver stores is read by this thread only after the
    // call has returned; the session reads it once done.
    p->Start([p, client, open] {
      return client->process().Read(open, p->buffer.data(), static_cast<uint32_t>(p->buffer.size()),
                                    &p->length);
    });
    h.pending = std::move(pending);
  }
  if (!h.pending->Wait(timeout_ms)) {
    return "error timeout no frame within " + std::to_string(timeout_ms) +
           " ms (the read stays pending)";
  }
  std::unique_ptr<PendingCall> done = std::move(h.pending);
  if (done->status != 0) return StatusAnswer(done->status);
  const uint32_t length =
      std::min<uint32_t>(done->length, static_cast<uint32_t>(done->buffer.size()));
  return "ok " + std::to_string(done->length) + " " + Hex(done->buffer.data(), length);
}

std::string Session::Filter(const Words& w) {
  if (w.size() != 3)
    Refuse("usage", "filter <handle> <bits|directed+broadcast+multicast+promiscuous>");
  script::Handle& h = HandleArg(w[1]);
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
      const auto bit = Choose<uint32_t>(name, {{"directed", FilterDirected},
                                               {"multicast", FilterAllMulticast},
                                               {"broadcast", FilterBroadcast},
                                               {"promiscuous", FilterPromiscuous},
                                               {"none", 0}});
      if (!bit) Refuse("usage", "unknown filter bit '" + name + "'");
      bits |= *bit;
      pos = end + 1;
    }
  }
  const uint32_t status = ClientOf(h).SetFilter(h.open, bits);
  return status == 0 ? "ok" : StatusAnswer(status);
}

std::string Session::Stats(const Words& w) {
  if (w.size() != 3) Refuse("usage", "stats client|adapter|global <handle>");
  script::Handle& h = HandleArg(w[2]);
  std::vector<std::pair<std::string, uint32_t>> named;
  uint32_t status = 0;
  if (w[1] == "client") {
    ClientStatistics s;
    status = ClientOf(h).ClientStats(h.open, &s);
    named = Named(s);
  } else if (w[1] == "adapter") {
    AdapterStatistics s;
    status = ClientOf(h).AdapterStats(h.open, &s);
    named = Named(s.Counters);
  } else if (w[1] == "global") {
    GlobalStatistics s;
    status = ClientOf(h).GlobalStats(h.open, &s);
    named = Named(s);
  } else {
    Refuse("usage", "stats client|adapter|global <handle>");
  }
  if (status != 0) return StatusAnswer(status);
  std::string answer = "ok";
  for (const auto& [name, value] : named) answer += " " + name + "=" + std::to_string(value);
  return answer;
}

std::string Session::Info(const Words& w) {
  if (w.size() != 2) Refuse("usage", "info <handle>");
  script::Handle& h = HandleArg(w[1]);
  AdapterInfo info;
  const uint32_t status = ClientOf(h).Info(h.open, &info);
  if (status != 0) return StatusAnswer(status);
  return "ok device=" + DeviceName(h.device) + " station=" + FormatMac(info.StationAddress) +
         " address_length=" + std::to_string(info.AddressLength) +
         " minimum=" + std::to_string(info.MinimumFrameLength) +
         " maximum=" + std::to_string(info.MaximumFrameLength);
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
  clients_.clear();
  pc_.reset();
  next_handle_ = 1;
}

}  // namespace tool::script

namespace tool {

int ScriptCommand(const ScriptOptions& options) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (options.file != "-") {
    file.open(options.file);
    if (!file) throw InputError(options.file + ": cannot open");
    in = &file;
  }
  script::Session session(options);
  std::string line;
  bool quit = false;
  while (!quit && std::getline(*in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string answer = session.Answer(line, &quit);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  return kExitOk;
}

}  // namespace tool
