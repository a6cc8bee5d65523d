// Machine descriptions: which controllers a simulated PC has, where they sit
// on the PCI bus, and which Ethernet segment each is wired to.
//
// The file format is line based, so that every problem can be reported with
// its line:
//
//   # a comment; blank lines are ignored
//   segment lan0                       declares a segment (optional)
//   controller id=0x1229 pci=0:3.0 irq=11 io=0xE000 station=00:a0:c9:10:00:01
//   boot_busy 3                        boot query 312 stays busy for 3 calls
//
// Controller keys (all optional; defaults follow the controller's position):
//   id=0x1229            PCI device ID (vendor is always 0x8086)
//   pci=BUS:DEV.FN       default 0:(3+index).0
//   multifunction=yes    header type with the multi-function bit
//   irq=N                interrupt line 0-15, default 11, 10, 9, 5, 11, ...
//   polled=yes           the line cannot interrupt: the driver polls it
//   io=0xE000            I/O base (BAR1), 64-byte aligned, below 0x10000
//   mem=0xFEB00000       memory base (BAR0), 4 KiB aligned
//   command=0x0007       PCI command register at power-up
//   latency_timer=0x40   PCI latency timer at power-up
//   station=MAC          station address stored in the EEPROM
//   eeprom_words=64      EEPROM size: a power of two from 2 to 256
//   eeprom=FILE          EEPROM image: 16-bit hex words separated by blanks or
//                        new lines, '#' comments; relative to this file
//   eeprom=absent        no EEPROM (data out stuck at 1)
//   phy=82555|dp83840|none, speed=100|10
//   phy_primary=0x4701, phy_secondary=0x0000   EEPROM words 6 and 7
//   segment=NAME         default: the first segment
//   fault=NAME,NAME      controller faults on from power-up (the names of the
//                        script's fault request)
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "platform/nic/i8255x.h"

namespace tool {

struct ControllerLayout {
  sim::I8255xConfig config;
  std::string segment;              // a name from MachineLayout::segments
  int line = 0;                     // where it was described; 0 when built in
  std::vector<std::string> faults;  // names from FaultFlags(), on from power-up
};

struct MachineLayout {
  std::vector<std::string> segments;  // at least one
  std::vector<ControllerLayout> controllers;
  uint32_t boot_busy_calls = 0;
  std::string origin = "built-in";
};

// The default PC: `count` 82559 controllers on one segment "lan0".
MachineLayout DefaultMachine(unsigned count);
sim::I8255xConfig DefaultController(unsigned index);

// Throws InputError("FILE:LINE: problem").
MachineLayout LoadMachine(const std::string& path);
MachineLayout ParseMachine(const std::string& text, const std::string& origin,
                           const std::string& base_dir = ".");
// EEPROM image text: hex words; throws InputError("FILE:LINE: problem").
std::vector<uint16_t> ParseEepromImage(const std::string& text, const std::string& origin);

// The controller faults that can be switched on by name (machine files,
// the script's fault request), in name order.
using FaultFlag = std::atomic<bool> sim::I8255xFaults::*;
const std::map<std::string, FaultFlag>& FaultFlags();
std::string FaultNames();  // the names, separated by blanks

// A readable name for a device ID: "82559 (8086:1229)" or "8086:1234".
std::string ControllerName(uint16_t device_id);
bool SupportedDevice(uint16_t device_id);
std::string PhyName(const sim::I8255xConfig& config);

}  // namespace tool
