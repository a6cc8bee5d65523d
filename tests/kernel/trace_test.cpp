// The machine trace of a driver bring-up: what it records and how it names
// it. (That its JSON form is what a trace viewer reads is checked through the
// tool, tests/tool/trace_test.cpp.)
#include <cstdio>
#include <sstream>

#include "support/kernel.h"

namespace {

using namespace tvtest;

// True when one line of `text` holds every one of `parts`.
bool HasLine(const std::string& text, const std::vector<const char*>& parts) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    bool all = true;
    for (const char* part : parts) all = all && line.find(part) != std::string::npos;
    if (all) return true;
  }
  return false;
}

// One controller, traced from power-up to the end of start-up, then a port
// read from a new harness thread (this one's track may carry a name an
// earlier test gave it, "client N").
TEST(Trace, RecordsOnlyWhileOnAndNamesEveryKindOfAccess) {
  TestPc pc(1);
  sim::Trace& trace = pc.machine->trace();
  EXPECT_TRUE(!trace.on() && trace.size() == 0 && sim::Trace::Active() == nullptr);
  trace.SetOn(true);
  EXPECT_EQ(sim::Trace::Active(), &trace);
  pc.Boot();
  std::thread([&] { pc.machine->ports().Read(0xE000, 2); }).join();
  trace.SetOn(false);
  const std::string text = trace.Text();
  char word0[32];
  std::snprintf(word0, sizeof word0, "value=0x%x", Station(0)[1] << 8 | Station(0)[0]);
  const std::pair<const char*, std::vector<const char*>> cases[] = {
      {"PCI address latch", {"[driver main] - out", "port=0xcf8", "register=\"PCI address\""}},
      {"PCI ID read", {"[driver main] - in", "PCI 00:03.0 config 0x0"}},
      {"command register", {"PCI 00:03.0 config 0x4"}},
      {"SCB command write", {"[driver main] - out", "controller 00:03.0 SCB command"}},
      {"PORT reset", {"- out", "controller 00:03.0 PORT"}},
      {"EEPROM word 0", {"- EEPROM read", "controller=\"controller 00:03.0\"", "word=0x0 ", word0}},
      {"MDI cycle", {"- MDI read", "phy="}},
      {"kernel call begin", {"[driver main] > KeAllocateInterrupt", "line=11"}},
      {"kernel call end", {"[driver main] < KeAllocateInterrupt", "result=0x0", "interrupt=0x"}},
      {"device published", {"> KeCreateDevice", "name=/DEV/MAC/TORVELIN/0"}},
      {"start-up signal", {"> KeSignalInterrupt", "signal=10000"}},
      {"timer", {"port=0x43", "register=timer"}},
      {"descriptor DMA", {"[controller 00:03.0] - dma load", "address=0x"}},
      {"descriptor status written", {"[controller 00:03.0] - dma store"}},
      {"interrupt line level", {"= irq 11 level="}},
      {"handler run", {"[interrupt] > handler line=11"}},
      {"harness thread", {"[host] - in", "SCB status"}},
  };
  for (const auto& [what, parts] : cases) EXPECT_TRUE(HasLine(text, parts)) << what;

  // Off records nothing; on again appends; Clear empties.
  const size_t recorded = trace.size();
  pc.machine->ports().Read(0xE000, 2);
  pc.machine->irq().Raise(3);
  pc.machine->irq().Lower(3);
  EXPECT_EQ(trace.size(), recorded);
  trace.SetOn(true);
  pc.machine->ports().Read(0xE000, 2);
  trace.SetOn(false);
  EXPECT_GT(trace.size(), recorded);
  trace.Clear();
  EXPECT_EQ(trace.size(), 0u);
}

}  // namespace
