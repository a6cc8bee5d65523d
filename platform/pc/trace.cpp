#include "platform/pc/trace.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>

#include "platform/pc/pci.h"

namespace sim {

std::atomic<Trace*> Trace::g_active{nullptr};

namespace {

// The calling thread's track name (see Trace::NameThread).
struct ThreadName {
  const char* base = "host";
  int64_t number = -1;
};
thread_local ThreadName t_name;

// Controller registers by offset from the I/O base. An access is named by
// the register it starts at.
const char* ScbRegister(uint32_t offset) {
  switch (offset) {
    case 0x0:
      return "SCB status";
    case 0x1:
      return "SCB status acknowledge";
    case 0x2:
      return "SCB command";
    case 0x3:
      return "SCB interrupt control";
    case 0x4:
      return "SCB general pointer";
    case 0x8:
      return "PORT";
    case 0xC:
      return "flash control";
    case 0xE:
      return "EEPROM control";
    case 0x10:
      return "MDI control";
    case 0x14:
      return "early receive";
    default:
      return nullptr;
  }
}

constexpr uint32_t kScbEepromControl = 0xE;
constexpr uint32_t kScbMdiControl = 0x10;
constexpr uint8_t kEepromClock = 0x01;
constexpr uint8_t kEepromChipSelect = 0x02;
constexpr uint8_t kEepromDataIn = 0x04;
constexpr uint8_t kEepromDataOut = 0x08;
constexpr uint32_t kMdiReady = 0x10000000;

std::string PciAddress(uint16_t key) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x.%x", key >> 8, (key >> 3) & 0x1F, key & 7);
  return text;
}

void AppendJsonString(std::string& out, const std::string& text) {
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

// Text lines keep one event a line: line breaks and other control
// characters in values (console text) are shown escaped.
std::string TextValue(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

Trace::Trace(Clock& clock, PortBus& ports, PciBus& pci) : clock_(clock), ports_(ports), pci_(pci) {}

Trace::~Trace() { SetOn(false); }

void Trace::SetOn(bool on) {
  if (on) {
    ports_.SetTrace([this](const PortBus::Access& access) { OnPort(access); });
    g_active.store(this, std::memory_order_relaxed);
  } else {
    Trace* self = this;
    if (g_active.compare_exchange_strong(self, nullptr, std::memory_order_relaxed)) {
      ports_.SetTrace({});
    }
  }
}

void Trace::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
  dropped_ = 0;
}

size_t Trace::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

uint64_t Trace::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void Trace::NameThread(const char* base, int64_t number) {
  t_name.base = base;
  t_name.number = number;
}

std::string Trace::Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

uint32_t Trace::TrackLocked(const std::string& name) {
  auto it = track_of_name_.find(name);
  if (it != track_of_name_.end()) return it->second;
  track_names_.push_back(name);
  const auto track = static_cast<uint32_t>(track_names_.size());
  track_of_name_.emplace(name, track);
  return track;
}

uint32_t Trace::ThreadTrackLocked() {
  std::string name = t_name.base;
  if (t_name.number >= 0) name += " " + std::to_string(t_name.number);
  const auto key = std::make_pair(std::this_thread::get_id(), name);
  auto it = thread_tracks_.find(key);
  if (it != thread_tracks_.end()) return it->second;
  // Two host threads with one name (two threads of one client) get a track
  // each, the second and later ones told apart by a suffix.
  std::string unique = name;
  for (int n = 2; track_of_name_.count(unique) != 0; ++n) unique = name + " #" + std::to_string(n);
  const uint32_t track = TrackLocked(unique);
  thread_tracks_.emplace(key, track);
  return track;
}

void Trace::AddLocked(uint64_t ns, uint32_t track, char phase, const char* category,
                      std::string name, Args args) {
  if (events_.size() >= kMaxEvents) {
    ++dropped_;
    return;
  }
  events_.push_back(Event{ns, track, phase, category, std::move(name), std::move(args)});
}

void Trace::Begin(const char* category, std::string name, Args args) {
  const uint64_t ns = clock_.NowNs();
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t track = ThreadTrackLocked();
  open_[track].push_back(name);
  AddLocked(ns, track, 'B', category, std::move(name), std::move(args));
}

void Trace::End(std::string name, Args args) {
  const uint64_t ns = clock_.NowNs();
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t track = ThreadTrackLocked();
  auto& open = open_[track];
  if (open.empty() || open.back() != name) return;
  open.pop_back();
  AddLocked(ns, track, 'E', "", std::move(name), std::move(args));
}

void Trace::Instant(const char* category, std::string name, Args args) {
  const uint64_t ns = clock_.NowNs();
  std::lock_guard<std::mutex> lock(mutex_);
  AddLocked(ns, ThreadTrackLocked(), 'i', category, std::move(name), std::move(args));
}

void Trace::LineLevel(unsigned line, unsigned level) {
  const uint64_t ns = clock_.NowNs();
  std::lock_guard<std::mutex> lock(mutex_);
  AddLocked(ns, ThreadTrackLocked(), 'C', "irq", "irq " + std::to_string(line),
            {{"level", std::to_string(level)}});
}

std::string Trace::ControllerName(const void* owner) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = controllers_.find(owner);
    if (it != controllers_.end()) return it->second;
  }
  std::string name = "controller ?";
  for (const auto& [key, function] : pci_.Functions()) {
    if (&function->bus_master() == owner) name = "controller " + PciAddress(key);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  controllers_.emplace(owner, name);
  return name;
}

void Trace::Dma(const void* owner, const char* kind, uint32_t address, size_t length,
                unsigned width, uint32_t value) {
  const uint64_t ns = clock_.NowNs();
  const std::string controller = ControllerName(owner);
  Args args{{"address", Hex(address)}, {"length", std::to_string(length)}};
  if (width != 0) args.push_back({"value", Hex(value)});
  std::lock_guard<std::mutex> lock(mutex_);
  AddLocked(ns, TrackLocked(controller), 'i', "dma", std::string("dma ") + kind, std::move(args));
}

void Trace::DmaRefused(const void* owner, uint32_t address, size_t length, bool write,
                       const char* reason) {
  const uint64_t ns = clock_.NowNs();
  const std::string controller = ControllerName(owner);
  std::lock_guard<std::mutex> lock(mutex_);
  AddLocked(ns, TrackLocked(controller), 'i', "dma", "dma refused",
            {{"address", Hex(address)},
             {"length", std::to_string(length)},
             {"direction", write ? "write" : "read"},
             {"reason", reason}});
}

// Port accesses are named here, after the access, on the thread that made
// it: the PC's own ports by function, the configuration data port by the
// function and register the latched address selects, and any port inside a
// function's I/O BAR by the controller register it starts at. The serial
// protocols behind the EEPROM and MDI control registers are decoded from
// the same accesses.
void Trace::OnPort(const PortBus::Access& access) {
  const uint64_t ns = clock_.NowNs();
  const uint32_t port = access.port;
  Args args{
      {"port", Hex(port)}, {"width", std::to_string(access.width)}, {"value", Hex(access.value)}};
  std::string controller;
  uint32_t offset = 0;
  if (port >= 0x40 && port <= 0x43) {
    args.push_back({"register", "timer"});
  } else if (port == 0x61) {
    args.push_back({"register", "port B"});
  } else if (port >= PciBus::kAddressPort && port < PciBus::kDataPort) {
    args.push_back({"register", "PCI address"});
  } else if (port >= PciBus::kDataPort && port < PciBus::kAddressPort + PciBus::kWindowLength) {
    const uint32_t address = pci_.address();
    if ((address & PciBus::kEnable) != 0) {
      const auto key = static_cast<uint16_t>((address >> 8) & 0xFFFF);
      args.push_back({"register", "PCI " + PciAddress(key) + " config " +
                                      Hex((address & 0xFC) + (port - PciBus::kDataPort))});
    } else {
      args.push_back({"register", "PCI data (disabled)"});
    }
  } else {
    for (const auto& [key, function] : pci_.Functions()) {
      for (unsigned bar = 0; bar < PciFunction::kBars; ++bar) {
        if ((function->Bar(bar) & 1) == 0) continue;
        const uint32_t base = function->BarAddress(bar);
        const uint32_t size = function->BarSize(bar);
        if (port - base < size) {
          controller = "controller " + PciAddress(key);
          offset = port - base;
        }
      }
    }
    if (!controller.empty()) {
      const char* reg = ScbRegister(offset);
      args.push_back(
          {"register", controller + " " + (reg != nullptr ? reg : "offset " + Hex(offset))});
    }
  }

  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t track = ThreadTrackLocked();
  AddLocked(ns, track, 'i', "port", access.write ? "out" : "in", std::move(args));
  if (controller.empty()) return;
  Serial& serial = serial_[controller];
  if (offset == kScbEepromControl && access.width == 1) {
    if (access.write) {
      const auto lines = static_cast<uint8_t>(access.value);
      const bool was_selected = (serial.eeprom_lines & kEepromChipSelect) != 0;
      const bool selected = (lines & kEepromChipSelect) != 0;
      if (was_selected && !selected) {
        EepromLocked(controller, serial, track, ns);
      } else if (selected && !was_selected) {
        serial.eeprom_in.clear();
        serial.eeprom_out.clear();
        serial.sample_pending = false;
      } else if (selected && (lines & kEepromClock) != 0 &&
                 (serial.eeprom_lines & kEepromClock) == 0) {
        serial.eeprom_in.push_back((lines & kEepromDataIn) != 0);
        serial.sample_pending = true;
      }
      serial.eeprom_lines = lines;
    } else if (serial.sample_pending) {
      // One data-out sample per clock; clocks not sampled count as 1 (the
      // line idles high), which no decode below relies on.
      serial.eeprom_out.resize(serial.eeprom_in.size() - 1, true);
      serial.eeprom_out.push_back((access.value & kEepromDataOut) != 0);
      serial.sample_pending = false;
    }
  } else if (offset == kScbMdiControl && access.width == 4) {
    if (access.write) {
      serial.mdi_command = access.value;
      serial.mdi_reported = false;
    } else if ((access.value & kMdiReady) != 0 && !serial.mdi_reported) {
      serial.mdi_reported = true;
      const uint32_t command = serial.mdi_command;
      const uint32_t opcode = (command >> 26) & 3;
      const bool read = opcode == 2;
      AddLocked(ns, track, 'i', "mdi", read ? "MDI read" : (opcode == 1 ? "MDI write" : "MDI ?"),
                {{"controller", controller},
                 {"phy", std::to_string((command >> 21) & 0x1F)},
                 {"register", std::to_string((command >> 16) & 0x1F)},
                 {"value", Hex(read ? access.value & 0xFFFF : command & 0xFFFF)}});
    }
  }
}

// A read cycle is: start bit 1, opcode 1 0, the address bits, then 16 data
// bits, most significant first, which software samples after each rising
// clock. So a cycle of at least 20 clocks that starts 1 1 0 read the word
// whose address is the bits between the opcode and the last 16 clocks. A
// shorter one (software finding out the address width by watching for the
// dummy zero, then deselecting) or another opcode is reported as a bare
// cycle.
void Trace::EepromLocked(const std::string& owner, Serial& serial, uint32_t track, uint64_t ns) {
  const std::vector<bool>& in = serial.eeprom_in;
  std::vector<bool> out = serial.eeprom_out;
  out.resize(in.size(), true);
  if (in.size() >= 20 && in[0] && in[1] && !in[2]) {
    const size_t data = in.size() - 16;
    uint32_t word = 0;
    for (size_t i = 3; i < data; ++i) word = word << 1 | (in[i] ? 1 : 0);
    uint32_t value = 0;
    for (size_t i = data; i < in.size(); ++i) value = value << 1 | (out[i] ? 1 : 0);
    AddLocked(ns, track, 'i', "eeprom", "EEPROM read",
              {{"controller", owner},
               {"word", Hex(word)},
               {"value", Hex(value)},
               {"address bits", std::to_string(data - 3)}});
  } else if (!in.empty()) {
    // Where the part drove data out low: the dummy zero after the address.
    size_t zero = 3;
    while (zero < in.size() && out[zero]) ++zero;
    Args args{{"controller", owner}, {"clocks", std::to_string(in.size())}};
    if (zero < in.size()) args.push_back({"dummy zero after", std::to_string(zero - 2)});
    AddLocked(ns, track, 'i', "eeprom", "EEPROM cycle", std::move(args));
  }
  serial.eeprom_in.clear();
  serial.eeprom_out.clear();
}

std::string Trace::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  char head[64];
  for (const Event& e : events_) {
    std::snprintf(head, sizeof head, "%10" PRIu64 ".%03" PRIu64 " ", e.ns / 1000, e.ns % 1000);
    out += head;
    out += '[';
    out += track_names_[e.track - 1];
    out += "] ";
    out += e.phase == 'B' ? '>' : e.phase == 'E' ? '<' : e.phase == 'C' ? '=' : '-';
    out += ' ';
    out += e.name;
    for (const Arg& a : e.args) {
      out += ' ';
      out += a.key;
      out += '=';
      const bool quote = a.value.find(' ') != std::string::npos || a.value.empty();
      if (quote) out += '"';
      out += TextValue(a.value);
      if (quote) out += '"';
    }
    out += '\n';
  }
  if (dropped_ != 0) out += "# " + std::to_string(dropped_) + " events dropped\n";
  return out;
}

std::string Trace::Json() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out = "{\"displayTimeUnit\":\"ns\",\"traceEvents\":[\n";
  out +=
      "{\"name\":\"process_name\",\"ph\":\"M\",\"ts\":0,\"pid\":1,\"tid\":0,"
      "\"args\":{\"name\":\"torvelin machine\"}}";
  for (size_t i = 0; i < track_names_.size(); ++i) {
    const std::string tid = std::to_string(i + 1);
    out += ",\n{\"name\":\"thread_name\",\"ph\":\"M\",\"ts\":0,\"pid\":1,\"tid\":" + tid +
           ",\"args\":{\"name\":";
    AppendJsonString(out, track_names_[i]);
    out += "}},\n{\"name\":\"thread_sort_index\",\"ph\":\"M\",\"ts\":0,\"pid\":1,\"tid\":" + tid +
           ",\"args\":{\"sort_index\":" + tid + "}}";
  }
  char number[48];
  for (const Event& e : events_) {
    out += ",\n{\"name\":";
    AppendJsonString(out, e.name);
    out += ",\"cat\":";
    AppendJsonString(out, e.category);
    out += ",\"ph\":\"";
    out += e.phase;
    std::snprintf(number, sizeof number, "\",\"ts\":%" PRIu64 ".%03" PRIu64, e.ns / 1000,
                  e.ns % 1000);
    out += number;
    out += ",\"pid\":1,\"tid\":" + std::to_string(e.track);
    if (e.phase == 'i') out += ",\"s\":\"t\"";
    out += ",\"args\":{";
    bool first = true;
    for (const Arg& a : e.args) {
      if (!first) out += ',';
      first = false;
      AppendJsonString(out, a.key);
      out += ':';
      // Counter values must be numbers to be drawn; everything else is text.
      if (e.phase == 'C') {
        out += a.value;
      } else {
        AppendJsonString(out, a.value);
      }
    }
    out += "}}";
  }
  out += "\n],\"otherData\":{\"dropped\":" + std::to_string(dropped_) + "}}\n";
  return out;
}

bool Trace::WriteFile(const std::string& path) const {
  const bool json = path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file << (json ? Json() : Text());
  return static_cast<bool>(file.flush());
}

}  // namespace sim
