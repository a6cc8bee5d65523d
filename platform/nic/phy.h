// The PHY behind the controller's MDI, at PHY address 1. Every other
// address, and every register of an absent PHY, reads 0xFFFF.
//
// Both PHY models carry the standard MII registers 0-6 (control, status, the
// two identifier words, advertisement, link partner ability, expansion) with
// a link that is up and auto-negotiation complete, registers 7-15 reading 0,
// and vendor registers 16-31 that store what is written. The speed shows in
// one vendor register, which then reads back the stored bits with the speed
// bit forced to the link's state:
//   82555-like:   register 16 bit 1 (0x0002) set at 100 Mb/s;
//   DP83840-like: register 25 bit 6 (0x0040) set at 10 Mb/s.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

enum class PhyType;

class PhyModel {
 public:
  static constexpr unsigned kAddress = 1;

  PhyModel(PhyType type, bool fast);

  uint16_t Read(unsigned address, unsigned reg) const;
  void Write(unsigned address, unsigned reg, uint16_t value);

  // Power-up values (also what a write of the control register's reset bit
  // restores).
  void Reset();

 private:
  PhyType type_;
  bool fast_;
  std::array<uint16_t, 32> regs_{};
};

}  // namespace sim
