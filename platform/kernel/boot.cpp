// Machine::Boot is the platform's only reference to the driver image. It is
// a library of its own (torvelin_boot), linked above the driver and the
// kernel: the driver imports the kernel's calls and this file imports the
// driver's entry, so neither library needs the other back.
#include "platform/kernel/kernel.h"
#include "platform/machine.h"

namespace sim {

void Machine::Boot() {
  uint32_t (*image)() = options().image != nullptr ? options().image : &DriverImageEntry;
  kernel().Boot(image);
}

}  // namespace sim
