// The standard PC: where controller i of a machine sits when nobody says
// otherwise. The tool's machine-file defaults, its bench and soak, the
// benchmarks, the fuzz targets and the tests all place their controllers by
// this one rule:
//
//   controller i   PCI 0:(3+i).0, device ID 0x1229
//                  I/O base 0xE000 + 0x40*i, memory base 0xFEB00000 + 0x1000*i
//                  interrupt line 11, 10, 9, 5, then 11, 10, ... again
//                  station 00:A0:C9:10:00:(01+i)
//
// The lines are those a PC's firmware commonly leaves to PCI cards; a fifth
// controller shares the first one's line, as cards on a real PC do.
#pragma once

#include <array>
#include <cstdint>

#include "platform/nic/i8255x.h"

namespace sim {

// The interrupt line of controller `index`.
uint8_t StandardIrq(unsigned index);
// The station address of controller `index` (its EEPROM's words 0-2).
std::array<uint8_t, 6> StandardStation(unsigned index);
// Controller `index` of the standard PC; every other field keeps the model's
// default.
I8255xConfig StandardController(unsigned index);

}  // namespace sim
