// The session behind `torvelin script` (see script.cpp for the protocol):
// one machine at a time, the handles its client processes opened, and the
// requests, spread over script.cpp (machine, opens and frames),
// script_machine.cpp (the model, the kernel's records, console and trace)
// and script_raw.cpp (raw device calls and control requests).
#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/torvelin/commands.h"
#include "tools/torvelin/pc.h"

namespace tool::script {

// The tool's own refusals: "error <code> <message>".
struct Refusal {
  std::string code;
  std::string message;
};

[[noreturn]] void Refuse(const std::string& code, const std::string& message);
// key=value arguments after the positional ones.
std::map<std::string, std::string> Options(const std::vector<std::string>& words, size_t from,
                                           const std::vector<std::string>& known);
uint64_t Number(const std::string& text, const std::string& what, uint64_t max = UINT32_MAX);

// How long the session waits for a call into the driver that may block (a
// read, a raw call) unless the request's timeout_ms= says otherwise.
constexpr int kDefaultWaitMs = 1000;
int TimeoutMs(const std::map<std::string, std::string>& options);
// The largest buffer a request passes (read's size=, a raw call's buf:<size>).
constexpr uint64_t kMaxBuffer = 65536;

// A driver status as an answer: "error <code> <meaning>", or the tool's
// words for a stopped machine and an unknown device.
std::string StatusAnswer(uint32_t status);

// A call into the driver that may block (a read, a raw call) runs on its own
// thread; the session waits for it as long as the request allows and leaves
// it running otherwise. The call's memory (buffers, places) lives here, so a
// call left running never writes into freed memory.
struct PendingCall {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;    // guarded by mutex
  uint32_t status = 0;  // guarded by mutex, valid once done
  // Written by the call's thread before done, read after.
  uint32_t length = 0;
  std::vector<uint8_t> buffer;
  std::array<std::vector<uint8_t>, 3> places;  // raw call arguments

  // Starts `body` on the call's thread; its result is the status.
  void Start(std::function<uint32_t()> body);
  // Waits up to timeout_ms (wall time); true (and joined) once done.
  bool Wait(int timeout_ms);
};

struct Handle {
  size_t device;   // the n of /DEV/MAC/TORVELIN/<n>
  size_t client;   // the client process that opened it (1 = the first)
  uintptr_t open;  // the driver's instance value
  uint32_t next_sequence = 0;
  std::unique_ptr<PendingCall> pending;  // a read left pending by a timeout
};

class Session {
 public:
  explicit Session(const ScriptOptions& options) : options_(options) {}
  ~Session() { Stop(); }

  // Answers one request line (without the line end).
  std::string Answer(const std::string& line, bool* quit);

 private:
  using Words = std::vector<std::string>;
  std::string Dispatch(const Words& w, bool* quit);
  // script.cpp
  std::string Boot(const Words& w);
  std::string Open(const Words& w);
  std::string Close(const Words& w);
  std::string Write(const Words& w);
  std::string Read(const Words& w);
  std::string Filter(const Words& w);
  std::string Stats(const Words& w);
  std::string Info(const Words& w);
  std::string Devices(const Words&);
  void Stop();
  // script_machine.cpp
  std::string Inject(const Words& w);
  std::string Send(const Words& w);
  std::string Fault(const Words& w);
  std::string Bar(const Words& w);
  std::string Irq(const Words& w);
  std::string Availability(const Words& w);
  std::string Console(const Words&);
  std::string TraceRequest(const Words& w);
  std::string KernelRecords(const Words& w);
  std::string Errors(const Words& w);
  std::string ControllerState(const Words& w);
  // script_raw.cpp
  std::string Call(const Words& w);
  std::string Control(const Words& w);
  struct RawTarget {
    uintptr_t instance = 0;
    size_t device = 0;
    Client* client = nullptr;
  };
  RawTarget Target(const std::string& word, const std::map<std::string, std::string>& options);
  // Runs a raw call to the target's device, instance and client process on
  // its own thread; refuses with timeout (leaving the call to the orphans)
  // when it does not return within timeout_ms.
  using RawBody = std::function<uint32_t(sim::ClientProcess& process, const std::string& device,
                                         uintptr_t instance, PendingCall& call)>;
  void RunRaw(std::unique_ptr<PendingCall>& call, const RawTarget& target, RawBody body,
              int timeout_ms);

  void RequireBooted() const;
  void RequireMachine() const;  // booted, or kept after a failed start-up
  script::Handle& HandleArg(const std::string& word);
  size_t DeviceArg(const std::string& word) const;
  size_t NicArg(const std::string& word);          // needs a running machine
  size_t NicIndex(const std::string& word) const;  // any machine kept
  Client& ClientArg(const std::string& word);
  Client& ClientOf(const script::Handle& h) { return *clients_.at(h.client - 1); }

  const ScriptOptions options_;
  std::unique_ptr<Pc> pc_;
  std::vector<std::unique_ptr<Client>> clients_;  // client process n at n - 1
  std::map<int, script::Handle> handles_;
  // Calls still running when their handle closed, or that outlived their
  // request: joined when the machine stops.
  std::vector<std::unique_ptr<PendingCall>> orphans_;
  int next_handle_ = 1;
  size_t console_seen_ = 0;
  bool trace_on_ = false;   // carried to the next machine booted
  size_t trace_seen_ = 0;   // bytes of the trace's text already answered
  std::string trace_text_;  // the trace's text for match=, made at trace_text_events_ events
  size_t trace_text_events_ = 0;
};

}  // namespace tool::script
