#include "platform/standard_pc.h"

namespace sim {

uint8_t StandardIrq(unsigned index) {
  static constexpr uint8_t kLines[] = {11, 10, 9, 5};
  return kLines[index % 4];
}

std::array<uint8_t, 6> StandardStation(unsigned index) {
  return {0x00, 0xA0, 0xC9, 0x10, 0x00, static_cast<uint8_t>(0x01 + index)};
}

I8255xConfig StandardController(unsigned index) {
  I8255xConfig config;
  config.device_id = 0x1229;
  config.bus = 0;
  config.device = static_cast<uint8_t>(3 + index);
  config.function = 0;
  config.irq = StandardIrq(index);
  config.io_base = 0xE000 + 0x40 * index;
  config.mem_base = 0xFEB00000 + 0x1000 * index;
  config.station = StandardStation(index);
  return config;
}

}  // namespace sim
