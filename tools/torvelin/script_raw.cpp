// Raw device calls and control requests: any function code and control
// code, with whatever arguments a client could pass (null pointers, sizes
// that do not match their buffers, another device's open, another process's
// open), answered with the driver's status and the bytes it wrote.
//
// Argument words (call's <arg>, control's arg=):
//   <number>      passed as it is (decimal or 0x..., up to 0xFFFFFFFF; a
//                 number where the driver expects a pointer is dereferenced)
//   null          0
//   buf:<size>    a buffer of size bytes (up to 65536), filled with 0xEE;
//                 answered as a<k>=<hex>, the bytes up to the last one the
//                 call changed (nothing when it changed none)
//   hex:<bytes>   a buffer holding the bytes (a frame to write)
//   word          a 32-bit place holding 0xEEEEEEEE; answered as a<k>=<value>
// Every buffer has 64 more bytes of 0xEE past its size; a call that changed
// any of them is answered with a<k>_beyond=<count>.
#include <algorithm>
#include <cstring>

#include "tools/torvelin/script_session.h"
#include "tools/torvelin/util.h"

namespace tool::script {
namespace {

constexpr uint8_t kFill = 0xEE;
constexpr size_t kGuard = 64;

enum class ArgKind { Value, Buffer, Bytes, Word };

struct Arg {
  ArgKind kind = ArgKind::Value;
  uintptr_t value = 0;  // for Value
  size_t size = 0;      // the buffer's size, without the guard
};

Arg ParseArg(const std::string& word, std::vector<uint8_t>* place) {
  Arg arg;
  if (word == "null") return arg;
  if (word == "word") {
    arg.kind = ArgKind::Word;
    arg.size = 4;
  } else if (word.rfind("buf:", 0) == 0) {
    arg.kind = ArgKind::Buffer;
    arg.size = static_cast<size_t>(Number(word.substr(4), "buffer size", kMaxBuffer));
  } else if (word.rfind("hex:", 0) == 0) {
    const auto bytes = ParseHex(word.substr(4));
    if (!bytes || bytes->size() > kMaxBuffer) Refuse("usage", "bad hex bytes");
    arg.kind = ArgKind::Bytes;
    arg.size = bytes->size();
    place->assign(bytes->begin(), bytes->end());
    place->resize(arg.size + kGuard, kFill);
    return arg;
  } else {
    const auto number = ParseNumber(word, UINT32_MAX);
    if (!number) {
      Refuse("usage",
             "bad argument '" + word + "' (a number, null, buf:<size>, hex:<bytes>, word)");
    }
    arg.value = static_cast<uintptr_t>(*number);
    return arg;
  }
  place->assign(arg.size + kGuard, kFill);
  return arg;
}

uintptr_t Pass(const Arg& arg, std::vector<uint8_t>& place) {
  return arg.kind == ArgKind::Value ? arg.value : reinterpret_cast<uintptr_t>(place.data());
}

// The bytes up to the last one that differs from the fill.
size_t Changed(const std::vector<uint8_t>& place, size_t size) {
  size_t n = size;
  while (n > 0 && place[n - 1] == kFill) --n;
  return n;
}

size_t ChangedBeyond(const std::vector<uint8_t>& place, size_t size) {
  return static_cast<size_t>(std::count_if(place.begin() + static_cast<long>(size), place.end(),
                                           [](uint8_t b) { return b != kFill; }));
}

// What the call wrote into argument k's memory, as " a<k>=...".
std::string Written(size_t k, const Arg& arg, const std::vector<uint8_t>& place) {
  std::string text;
  const std::string name = " a" + std::to_string(k + 1);
  if (arg.kind == ArgKind::Word) {
    uint32_t value;
    std::memcpy(&value, place.data(), sizeof value);
    text = name + "=" + std::to_string(value);
  } else if (arg.kind == ArgKind::Buffer) {
    if (const size_t changed = Changed(place, arg.size))
      text = name + "=" + Hex(place.data(), changed);
  }
  if (arg.kind != ArgKind::Value) {
    if (const size_t beyond = ChangedBeyond(place, arg.size)) {
      text += name + "_beyond=" + std::to_string(beyond);
    }
  }
  return text;
}

}  // namespace

void Session::RunRaw(std::unique_ptr<PendingCall>& call, const RawTarget& target, RawBody body,
                     int timeout_ms) {
  PendingCall* c = call.get();
  sim::ClientProcess* process = &target.client->process();
  const std::string device = DeviceName(target.device);
  const uintptr_t instance = target.instance;
  call->Start([body = std::move(body), c, process, device, instance] {
    return body(*process, device, instance, *c);
  });
  if (!call->Wait(timeout_ms)) {
    orphans_.push_back(std::move(call));  // its memory lives until the machine stops
    Refuse("timeout", "the call did not return within " + std::to_string(timeout_ms) +
                          " ms (it stays in the driver)");
  }
}

// The instance a raw request passes and where: a handle (its open, its
// device and client process unless device= or client= say otherwise), or
// null with device= naming the device.
Session::RawTarget Session::Target(const std::string& word,
                                   const std::map<std::string, std::string>& o) {
  RawTarget t;
  if (word == "null") {
    if (!o.count("device")) Refuse("usage", "a null instance needs device=<dev#>");
    t.instance = 0;
    t.client = &ClientArg("1");
  } else {
    script::Handle& h = HandleArg(word);
    t.instance = h.open;
    t.device = h.device;
    t.client = &ClientOf(h);
  }
  if (o.count("device")) t.device = DeviceArg(o.at("device"));
  if (o.count("client")) t.client = &ClientArg(o.at("client"));
  return t;
}

std::string Session::Call(const Words& w) {
  if (w.size() < 3) {
    Refuse("usage",
           "call <handle|null> <function> [arg1 [arg2 [arg3]]] [device=<dev#>] "
           "[client=N] [timeout_ms=N]");
  }
  size_t first_option = 3;
  while (first_option < w.size() && w[first_option].find('=') == std::string::npos) {
    ++first_option;
  }
  if (first_option - 3 > 3) Refuse("usage", "a device function takes at most 3 arguments");
  const auto o = Options(w, first_option, {"device", "client", "timeout_ms"});
  const auto function = static_cast<uint32_t>(Number(w[2], "function"));
  if (w[1] != "null" && (function == DeviceOpen || function == DeviceClose)) {
    Refuse("usage", "open and close a handle with open and close (the session keeps its handles)");
  }
  const RawTarget t = Target(w[1], o);
  const int timeout_ms = TimeoutMs(o);
  auto call = std::make_unique<PendingCall>();
  std::array<Arg, 3> args;
  for (size_t k = 0; k + 3 < first_option; ++k) args[k] = ParseArg(w[3 + k], &call->places[k]);
  RunRaw(
      call, t,
      [function, args](sim::ClientProcess& process, const std::string& device, uintptr_t instance,
                       PendingCall& c) {
        return process.CallDevice(device, instance, function, Pass(args[0], c.places[0]),
                                  Pass(args[1], c.places[1]), Pass(args[2], c.places[2]));
      },
      timeout_ms);
  std::string written;
  for (size_t k = 0; k < args.size(); ++k) written += Written(k, args[k], call->places[k]);
  return call->status == 0 ? "ok" + written : StatusAnswer(call->status) + written;
}

// control <handle|null> <code> [size=N] [arg=<number>|null]: device function
// 14. Without arg= the argument is a buffer of size bytes (256 when size= is
// not given), answered as copied=<n> <hex>: the bytes up to the last one the
// driver changed (the buffer starts filled with 0xEE).
std::string Session::Control(const Words& w) {
  if (w.size() < 3) {
    Refuse("usage",
           "control <handle|null> <code> [size=N] [arg=<number>|null] [device=<dev#>] "
           "[client=N]");
  }
  const auto o = Options(w, 3, {"size", "arg", "device", "client"});
  const auto code = static_cast<uint32_t>(Number(w[2], "control code"));
  const RawTarget t = Target(w[1], o);
  auto call = std::make_unique<PendingCall>();
  Arg arg;
  if (o.count("arg")) {
    const std::string& word = o.at("arg");
    if (word != "null" && !ParseNumber(word, UINT32_MAX)) {
      Refuse("usage", "arg= takes a number or null");
    }
    arg = ParseArg(word, &call->places[0]);
  } else {
    // A size beyond the largest buffer is passed as it is, with the largest
    // buffer behind it (every block is far shorter).
    const uint64_t size = o.count("size") ? Number(o.at("size"), "size") : 256;
    arg = ParseArg("buf:" + std::to_string(std::min(size, kMaxBuffer)), &call->places[0]);
  }
  // The size argument is passed as given (any 32-bit value) and defaults to
  // the buffer's size.
  const auto size =
      static_cast<uint32_t>(o.count("size") ? Number(o.at("size"), "size") : arg.size);
  RunRaw(
      call, t,
      [code, arg, size](sim::ClientProcess& process, const std::string& device, uintptr_t instance,
                        PendingCall& c) {
        return process.CallDevice(device, instance, DeviceControl, code, Pass(arg, c.places[0]),
                                  size);
      },
      kDefaultWaitMs);
  if (call->status != 0) return StatusAnswer(call->status);
  if (arg.kind != ArgKind::Buffer) return "ok";
  const std::vector<uint8_t>& buffer = call->places[0];
  const size_t copied = Changed(buffer, arg.size);
  std::string answer = "ok copied=" + std::to_string(copied);
  if (const size_t beyond = ChangedBeyond(buffer, arg.size)) {
    answer += " beyond=" + std::to_string(beyond);
  }
  return copied == 0 ? answer : answer + " " + Hex(buffer.data(), copied);
}

}  // namespace tool::script
