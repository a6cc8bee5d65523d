// The driver's port imports (host/host.h) on the simulated PC: each access
// goes to the port bus of the machine that runs now. A file of its own so
// that a build can leave it uninstrumented: it touches no memory of the
// driver's, and a boot makes some thirty thousand port accesses.
#include <cstdio>
#include <cstdlib>

#include "host/host.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/pc/port_bus.h"

namespace sim {

void NoMachineRunning(const char* operation) {
  std::fprintf(stderr, "torvelin platform: %s called with no machine running\n", operation);
  std::abort();
}

}  // namespace sim

namespace {

// Port accesses end a stopping machine's driver threads like kernel calls
// do: a thread busy-waiting on the timer must come out too.
uint32_t PortRead(const char* operation, uint32_t port, unsigned width) {
  sim::Machine& machine = sim::CurrentMachine(operation);
  machine.kernel().CheckStop();
  return machine.ports().Read(port, width);
}

void PortWrite(const char* operation, uint32_t port, unsigned width, uint32_t value) {
  sim::Machine& machine = sim::CurrentMachine(operation);
  machine.kernel().CheckStop();
  machine.ports().Write(port, width, value);
}

}  // namespace

uint8_t inportb(uint32_t port) { return static_cast<uint8_t>(PortRead(__func__, port, 1)); }
uint16_t inportw(uint32_t port) { return static_cast<uint16_t>(PortRead(__func__, port, 2)); }
uint32_t inportd(uint32_t port) { return PortRead(__func__, port, 4); }
void outportb(uint32_t port, uint8_t value) { PortWrite(__func__, port, 1, value); }
void outportw(uint32_t port, uint16_t value) { PortWrite(__func__, port, 2, value); }
void outportd(uint32_t port, uint32_t value) { PortWrite(__func__, port, 4, value); }
