// The script's requests on the machine itself: frames from outside, the
// controllers' faults and resources, availability events, and what can be
// read back (console, trace, the kernel's records, the controllers'
// programming errors).
#include <algorithm>
#include <cstdio>

#include "tools/torvelin/script_session.h"
#include "tools/torvelin/util.h"

namespace tool::script {
namespace {

// Error marks after the bytes of inject and send.
sim::FrameErrors ErrorMarks(const std::vector<std::string>& w, size_t from) {
  sim::FrameErrors errors;
  for (size_t i = from; i < w.size(); ++i) {
    const auto mark =
        Choose<bool sim::FrameErrors::*>(w[i], {{"crc", &sim::FrameErrors::crc},
                                                {"align", &sim::FrameErrors::alignment},
                                                {"overrun", &sim::FrameErrors::overrun}});
    if (!mark) Refuse("usage", "unknown error mark '" + w[i] + "' (crc, align, overrun)");
    errors.*(*mark) = true;
  }
  return errors;
}

std::string Joined(const std::vector<std::string>& items) {
  if (items.empty()) return "none";
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

}  // namespace

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
  const auto it = FaultFlags().find(w[2]);
  if (it == FaultFlags().end()) {
    Refuse("usage", "unknown fault '" + w[2] + "' (known: " + FaultNames() + ")");
  }
  (pc_->nic(nic).faults().*(it->second)).store(*on);
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

std::string Session::Console(const Words&) {
  RequireMachine();
  const std::string text = pc_->machine().Console();
  const std::string fresh = text.size() > console_seen_ ? text.substr(console_seen_) : "";
  console_seen_ = text.size();
  return fresh.empty() ? "ok" : "ok " + Escape(fresh);
}

// trace on|off: records the machine trace from now (before boot: from
// power-up of the next machine). trace FILE: writes what was recorded
// (FILE.json as trace-event JSON, else text). trace: answers the text lines
// recorded since the last answer. trace match=TEXT: every line recorded so
// far that contains TEXT (the mark of the plain request stays where it is),
// so that one kind of access can be picked out of a bring-up.
std::string Session::TraceRequest(const Words& w) {
  if (w.size() > 2 && w[1].rfind("match=", 0) != 0) {
    Refuse("usage", "trace [on|off|FILE|match=TEXT]");
  }
  if (w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
    trace_on_ = w[1] == "on";
    if (pc_) pc_->machine().trace().SetOn(trace_on_);
    return "ok";
  }
  RequireMachine();
  const sim::Trace& trace = pc_->machine().trace();
  if (w.size() >= 2 && w[1].rfind("match=", 0) == 0) {
    // The text runs to the end of the line (words joined by one blank).
    std::string wanted = w[1].substr(6);
    for (size_t i = 2; i < w.size(); ++i) wanted += " " + w[i];
    if (wanted.empty()) Refuse("usage", "match= needs a text");
    // The text of a long trace takes a while to make: it is made again only
    // when events were added since.
    if (trace_text_events_ != trace.size() || trace_text_.empty()) {
      trace_text_ = trace.Text();
      trace_text_events_ = trace.size();
    }
    const std::string& text = trace_text_;
    std::string lines;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size() - 1;
      const std::string line = text.substr(pos, end + 1 - pos);
      if (line.find(wanted) != std::string::npos) lines += line;
      pos = end + 1;
    }
    return lines.empty() ? "ok" : "ok " + Escape(lines);
  }
  if (w.size() == 2) {
    if (!trace.WriteFile(w[1])) Refuse("file", "cannot write " + w[1]);
    return "ok events=" + std::to_string(trace.size());
  }
  const std::string text = trace.Text();
  const std::string fresh = text.size() > trace_seen_ ? text.substr(trace_seen_) : "";
  trace_seen_ = text.size();
  return fresh.empty() ? "ok" : "ok " + Escape(fresh);
}

// controller <nic#>: what the controller was given, as the model holds it:
// configured=0|1, configure=<the 24 bytes of the last configure command>,
// address=<the individual address set up>.
std::string Session::ControllerState(const Words& w) {
  if (w.size() != 2) Refuse("usage", "controller <controller#>");
  RequireMachine();
  sim::I8255x& nic = pc_->nic(NicIndex(w[1]));
  const auto bytes = nic.ConfigureBytes();
  return std::string("ok configured=") + (nic.Configured() ? "1" : "0") +
         " configure=" + Hex(bytes.data(), bytes.size()) +
         " address=" + FormatMac(nic.IndividualAddress().data());
}

// What the kernel recorded of the driver, in one line:
//   signals=<n,...>                    signals raised, ascending
//   availability=<object>:<code>,...   KeNotifyHaEvent calls in order; the
//                                      object by its name (a number when it
//                                      names no availability object)
//   eoi=<line>:<count>,...             end-of-interrupt calls per line
//   programming_errors=<nic>:<count>,...  per controller (see errors)
// Readable after a failed start-up too, until stop. Naming records
// (kernel eoi availability) answers those only, in the order named.
std::string Session::KernelRecords(const Words& w) {
  RequireMachine();
  const std::vector<std::string> known = {"signals", "availability", "eoi", "programming_errors"};
  std::vector<std::string> wanted(w.begin() + 1, w.end());
  if (wanted.empty()) wanted = known;
  for (const std::string& name : wanted) {
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      Refuse("usage",
             "unknown record '" + name + "' (signals availability eoi programming_errors)");
    }
  }
  sim::Machine& m = pc_->machine();
  std::vector<std::string> signals, notifications, eoi, errors;
  for (uint32_t signal : m.Signals()) signals.push_back(std::to_string(signal));
  for (const auto& [object, code] : m.HaNotifications()) {
    std::string name = m.HaObjectName(object);
    if (name.empty()) name = std::to_string(object);
    notifications.push_back(name + ":" + StatusCode(code));
  }
  for (unsigned line = 0; line < sim::IrqController::kLines; ++line) {
    if (const uint64_t count = m.EndOfInterruptCount(line)) {
      eoi.push_back(std::to_string(line) + ":" + std::to_string(count));
    }
  }
  for (size_t i = 0; i < pc_->nic_count(); ++i) {
    errors.push_back(std::to_string(i) + ":" +
                     std::to_string(pc_->nic(i).counters().programming_errors.load()));
  }
  const std::map<std::string, std::string> records = {{"signals", Joined(signals)},
                                                      {"availability", Joined(notifications)},
                                                      {"eoi", Joined(eoi)},
                                                      {"programming_errors", Joined(errors)}};
  std::string answer = "ok";
  for (const std::string& name : wanted) answer += " " + name + "=" + records.at(name);
  return answer;
}

// errors <nic#>: the controller's programming errors (the first 256), one
// "<machine time in ns> ns: <what>" line each, escaped as console.
std::string Session::Errors(const Words& w) {
  if (w.size() != 2) Refuse("usage", "errors <controller#>");
  RequireMachine();
  std::string text;
  for (const sim::I8255xProgrammingError& e : pc_->nic(NicIndex(w[1])).ProgrammingErrors()) {
    text += std::to_string(e.time_ns) + " ns: " + e.what + "\n";
  }
  return text.empty() ? "ok" : "ok " + Escape(text);
}

}  // namespace tool::script
