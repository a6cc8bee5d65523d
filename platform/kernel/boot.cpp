// Machine::Boot is the platform's only reference to the driver image. It has
// a file of its own so that device models and tests that never boot a driver
// link without one.
#include "platform/kernel/kernel.h"
#include "platform/machine.h"

namespace sim {

void Machine::Boot() {
  uint32_t (*image)() = options().image != nullptr ? options().image : &DriverImageEntry;
  kernel().Boot(image);
}

}  // namespace sim
