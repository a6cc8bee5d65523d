#include "tools/torvelin/machine_file.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "platform/standard_pc.h"
#include "tools/torvelin/util.h"

namespace tool {
namespace {

[[noreturn]] void Fail(const std::string& origin, int line, const std::string& problem) {
  throw InputError(origin + ":" + std::to_string(line) + ": " + problem);
}

bool PowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

// "0:3.0" -> bus 0, device 3, function 0.
bool ParsePci(const std::string& text, uint8_t* bus, uint8_t* device, uint8_t* function) {
  const size_t colon = text.find(':');
  const size_t dot = text.find('.', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || dot == std::string::npos) return false;
  const auto b = ParseNumber(text.substr(0, colon), 255);
  const auto d = ParseNumber(text.substr(colon + 1, dot - colon - 1), 31);
  const auto f = ParseNumber(text.substr(dot + 1), 7);
  if (!b || !d || !f) return false;
  *bus = static_cast<uint8_t>(*b);
  *device = static_cast<uint8_t>(*d);
  *function = static_cast<uint8_t>(*f);
  return true;
}

// "a,b,c" -> {"a", "b", "c"}; empty pieces are kept so that they are refused.
std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> pieces;
  size_t pos = 0;
  for (;;) {
    const size_t comma = text.find(',', pos);
    pieces.push_back(text.substr(pos, comma - pos));
    if (comma == std::string::npos) return pieces;
    pos = comma + 1;
  }
}

std::string PciText(const sim::I8255xConfig& c) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x.%u", c.bus, c.device, c.function);
  return text;
}

}  // namespace

sim::I8255xConfig DefaultController(unsigned index) { return sim::StandardController(index); }

MachineLayout DefaultMachine(unsigned count) {
  MachineLayout layout;
  layout.segments = {"lan0"};
  for (unsigned i = 0; i < count; ++i) {
    ControllerLayout controller;
    controller.config = DefaultController(i);
    controller.segment = "lan0";
    layout.controllers.push_back(controller);
  }
  return layout;
}

std::vector<uint16_t> ParseEepromImage(const std::string& text, const std::string& origin) {
  std::vector<uint16_t> words;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    for (const std::string& word : SplitWords(line)) {
      std::string digits = word;
      if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
      }
      const auto value = digits.size() <= 4 ? ParseNumber("0x" + digits, 0xFFFF) : std::nullopt;
      if (!value) Fail(origin, number, "'" + word + "' is not a 16-bit hex word");
      words.push_back(static_cast<uint16_t>(*value));
    }
  }
  if (words.size() < 2 || words.size() > 256 || !PowerOfTwo(words.size())) {
    Fail(origin, std::max(number, 1),
         "an EEPROM image holds 2 to 256 words, a power of two; this one has " +
             std::to_string(words.size()));
  }
  return words;
}

MachineLayout LoadMachine(const std::string& path) {
  const std::string text = ReadFile(path);
  std::string base = std::filesystem::path(path).parent_path().string();
  if (base.empty()) base = ".";
  return ParseMachine(text, path, base);
}

namespace {

// One "controller KEY=VALUE..." line; `index` is its position among the
// controllers, which gives the defaults.
ControllerLayout ParseController(const std::vector<std::string>& words, size_t index,
                                 const std::string& origin, int number,
                                 const std::string& base_dir) {
  ControllerLayout pending;
  pending.line = number;
  sim::I8255xConfig& c = pending.config;
  c = DefaultController(static_cast<unsigned>(index));
  bool words_set = false;
  for (size_t i = 1; i < words.size(); ++i) {
    const size_t eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      Fail(origin, number, "expected KEY=VALUE, found '" + words[i] + "'");
    }
    const std::string key = Lower(words[i].substr(0, eq));
    const std::string value = words[i].substr(eq + 1);
    auto bad = [&](const std::string& expected) {
      Fail(origin, number, "bad " + key + " '" + value + "': expected " + expected);
    };
    auto flag = [&]() {
      const auto b = ParseBool(value);
      if (!b) bad("yes or no");
      return *b;
    };
    if (key == "id") {
      const auto v = ParseNumber(value, 0xFFFF);
      if (!v) bad("a 16-bit device ID such as 0x1229");
      c.device_id = static_cast<uint16_t>(*v);
    } else if (key == "pci") {
      if (!ParsePci(value, &c.bus, &c.device, &c.function)) {
        bad("BUS:DEVICE.FUNCTION such as 0:3.0 (device 0-31, function 0-7)");
      }
    } else if (key == "multifunction") {
      c.multi_function = flag();
    } else if (key == "irq") {
      const auto v = ParseNumber(value, 15);
      if (!v) bad("an interrupt line from 0 to 15");
      c.irq = static_cast<uint8_t>(*v);
    } else if (key == "polled") {
      c.polled = flag();
    } else if (key == "io") {
      const auto v = ParseNumber(value, 0xFFC0);
      if (!v || (*v % 0x40) != 0 || *v == 0)
        bad("a non-zero I/O base below 0x10000, 64-byte aligned");
      c.io_base = static_cast<uint32_t>(*v);
    } else if (key == "mem") {
      const auto v = ParseNumber(value, 0xFFFFF000);
      if (!v || (*v % 0x1000) != 0) bad("a 32-bit memory base, 4 KiB aligned");
      c.mem_base = static_cast<uint32_t>(*v);
    } else if (key == "command") {
      const auto v = ParseNumber(value, 0xFFFF);
      if (!v) bad("a 16-bit PCI command value");
      c.command = static_cast<uint16_t>(*v);
    } else if (key == "latency_timer") {
      const auto v = ParseNumber(value, 0xFF);
      if (!v) bad("an 8-bit latency timer value");
      c.latency_timer = static_cast<uint8_t>(*v);
    } else if (key == "station") {
      const auto mac = ParseMac(value);
      if (!mac) bad("a station address such as 00:a0:c9:12:34:56");
      c.station = *mac;
    } else if (key == "eeprom_words") {
      const auto v = ParseNumber(value, 256);
      if (!v || *v < 2 || !PowerOfTwo(*v)) bad("a power of two from 2 to 256");
      c.eeprom_words = static_cast<unsigned>(*v);
      words_set = true;
    } else if (key == "eeprom") {
      if (value == "absent") {
        c.eeprom_absent = true;
      } else {
        std::filesystem::path file(value);
        if (file.is_relative()) file = std::filesystem::path(base_dir) / file;
        std::string image_text;
        try {
          image_text = ReadFile(file.string());
        } catch (const InputError& e) {
          Fail(origin, number, e.what());
        }
        c.eeprom_image = ParseEepromImage(image_text, file.string());
      }
    } else if (key == "phy") {
      const auto phy = Choose<sim::PhyType>(Lower(value), {{"82555", sim::PhyType::I82555},
                                                           {"dp83840", sim::PhyType::Dp83840},
                                                           {"none", sim::PhyType::None}});
      if (!phy) bad("82555, dp83840 or none");
      c.phy = *phy;
    } else if (key == "speed") {
      const auto fast = Choose<bool>(value, {{"100", true}, {"10", false}});
      if (!fast) bad("100 or 10");
      c.phy_100mbit = *fast;
    } else if (key == "phy_primary" || key == "phy_secondary") {
      const auto v = ParseNumber(value, 0xFFFF);
      if (!v) bad("a 16-bit EEPROM word");
      (key == "phy_primary" ? c.phy_primary : c.phy_secondary) = static_cast<uint16_t>(*v);
    } else if (key == "segment") {
      pending.segment = value;
    } else if (key == "fault") {
      for (const std::string& name : SplitList(value)) {
        if (FaultFlags().count(name) == 0) {
          Fail(origin, number, "unknown fault '" + name + "' (known: " + FaultNames() + ")");
        }
        pending.faults.push_back(name);
      }
    } else {
      Fail(origin, number,
           "unknown controller key '" + key +
               "' (known: id pci multifunction irq polled io mem command latency_timer station "
               "eeprom_words eeprom phy speed phy_primary phy_secondary segment fault)");
    }
  }
  if (!c.eeprom_image.empty()) {
    if (words_set && c.eeprom_words != c.eeprom_image.size()) {
      Fail(origin, number,
           "eeprom_words=" + std::to_string(c.eeprom_words) + " but the image has " +
               std::to_string(c.eeprom_image.size()) + " words");
    }
    c.eeprom_words = static_cast<unsigned>(c.eeprom_image.size());
  }
  return pending;
}

// Fills in the segment of each controller, then checks the whole machine:
// declared segments, and no PCI slot, I/O base or memory base used twice.
void PlaceControllers(std::vector<ControllerLayout>& controllers, const std::string& origin,
                      MachineLayout& layout) {
  std::map<uint32_t, int> slots, io_bases, mem_bases;
  for (size_t i = 0; i < controllers.size(); ++i) {
    ControllerLayout& c = controllers[i];
    if (c.segment.empty()) {
      c.segment = layout.segments.front();
    } else if (std::find(layout.segments.begin(), layout.segments.end(), c.segment) ==
               layout.segments.end()) {
      Fail(origin, c.line,
           "segment '" + c.segment + "' is not declared (add 'segment " + c.segment +
               "' before it)");
    }
    const uint32_t slot = (c.config.bus << 8) | (c.config.device << 3) | c.config.function;
    if (slots.count(slot)) {
      Fail(origin, c.line,
           "PCI slot " + PciText(c.config) + " is already taken by the controller on line " +
               std::to_string(slots[slot]));
    }
    slots[slot] = c.line;
    if (io_bases.count(c.config.io_base)) {
      Fail(origin, c.line,
           "I/O base " + Hex16(c.config.io_base) + " is already used by the controller on line " +
               std::to_string(io_bases[c.config.io_base]));
    }
    io_bases[c.config.io_base] = c.line;
    if (mem_bases.count(c.config.mem_base)) {
      Fail(origin, c.line,
           "memory base is already used by the controller on line " +
               std::to_string(mem_bases[c.config.mem_base]));
    }
    mem_bases[c.config.mem_base] = c.line;
    layout.controllers.push_back(c);
  }
}

}  // namespace

MachineLayout ParseMachine(const std::string& text, const std::string& origin,
                           const std::string& base_dir) {
  MachineLayout layout;
  layout.origin = origin;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  std::map<std::string, int> segment_lines;
  std::vector<ControllerLayout> controllers;

  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty()) continue;
    const std::string& keyword = words[0];
    if (keyword == "segment") {
      if (words.size() != 2) Fail(origin, number, "expected 'segment NAME'");
      if (segment_lines.count(words[1])) {
        Fail(origin, number,
             "segment '" + words[1] + "' already declared on line " +
                 std::to_string(segment_lines[words[1]]));
      }
      segment_lines[words[1]] = number;
      layout.segments.push_back(words[1]);
    } else if (keyword == "boot_busy") {
      const auto value = words.size() == 2 ? ParseNumber(words[1], 1000000) : std::nullopt;
      if (!value) Fail(origin, number, "expected 'boot_busy N' with N from 0 to 1000000");
      layout.boot_busy_calls = static_cast<uint32_t>(*value);
    } else if (keyword == "controller") {
      controllers.push_back(ParseController(words, controllers.size(), origin, number, base_dir));
    } else {
      Fail(origin, number,
           "unknown keyword '" + keyword + "' (expected segment, controller or boot_busy)");
    }
  }

  if (layout.segments.empty()) layout.segments.push_back("lan0");
  PlaceControllers(controllers, origin, layout);
  if (layout.controllers.empty()) Fail(origin, std::max(number, 1), "no controller described");
  return layout;
}

const std::map<std::string, FaultFlag>& FaultFlags() {
  using F = sim::I8255xFaults;
  static const std::map<std::string, FaultFlag> flags = {
      {"command_never_accepted", &F::command_never_accepted},
      {"cu_stuck_active", &F::cu_stuck_active},
      {"blocks_never_complete", &F::blocks_never_complete},
      {"selective_reset_hangs", &F::selective_reset_hangs},
      {"mdi_never_ready", &F::mdi_never_ready},
      {"ru_out_of_resources", &F::ru_out_of_resources},
      {"registers_all_ones", &F::registers_all_ones},
      {"rbd_count_beyond_buffer", &F::rbd_count_beyond_buffer},
      {"rbd_missing_f", &F::rbd_missing_f},
      {"rbd_missing_eof", &F::rbd_missing_eof},
  };
  return flags;
}

std::string FaultNames() {
  std::string names;
  for (const auto& [name, flag] : FaultFlags()) names += (names.empty() ? "" : " ") + name;
  return names;
}

std::string ControllerName(uint16_t device_id) {
  char id[16];
  std::snprintf(id, sizeof id, "8086:%04x", device_id);
  for (const sim::I8255xVariant& v : sim::I8255xVariants()) {
    if (v.device_id == device_id) return std::string(v.name) + " (" + id + ")";
  }
  return std::string("unsupported (") + id + ")";
}

bool SupportedDevice(uint16_t device_id) {
  for (const sim::I8255xVariant& v : sim::I8255xVariants()) {
    if (v.device_id == device_id) return true;
  }
  return false;
}

std::string PhyName(const sim::I8255xConfig& config) {
  switch (config.phy) {
    case sim::PhyType::I82555:
      return std::string("82555 ") + (config.phy_100mbit ? "100" : "10") + " Mb/s";
    case sim::PhyType::Dp83840:
      return std::string("DP83840 ") + (config.phy_100mbit ? "100" : "10") + " Mb/s";
    case sim::PhyType::None:
      return "no PHY";
  }
  return "?";
}

}  // namespace tool
