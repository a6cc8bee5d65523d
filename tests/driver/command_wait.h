// The controller takes an SCB command some microseconds of machine time
// after it was written, and machine time moves only with port accesses. A
// test that relies on a command the driver wrote last and did not wait for
// (the receive-unit start that ends bring-up and every receive restart, a
// transmit's command-unit start) reads the command byte through the port
// bus, as software on the part would, until the controller has taken it.
#pragma once

#include <cstdint>

#include "controller/hardware.h"
#include "platform/machine.h"
#include "platform/nic/i8255x.h"

namespace command_wait {

// True once the controller's SCB command byte reads 0 (bounded; false when
// it never does, e.g. under the "never accepted" fault).
inline bool WaitCommandTaken(sim::Machine& machine, sim::I8255x& nic, int reads = 1000) {
  const uint32_t command = nic.pci().BarAddress(1) + ScbCommand;
  for (int i = 0; i < reads; ++i) {
    if (machine.ports().Read(command, 1) == 0) return true;
  }
  return false;
}

}  // namespace command_wait
