#include "platform/nic/phy.h"

#include "platform/nic/i8255x.h"

namespace sim {
namespace {

constexpr uint16_t kBmcrReset = 0x8000;
constexpr uint16_t kBmcrSpeed100 = 0x2000;
constexpr uint16_t kBmcrAutoNegotiate = 0x1000;
constexpr uint16_t kBmcrRestartAutoNegotiate = 0x0200;
// 100BASE-TX full and half, 10BASE-T full and half, auto-negotiation
// ability, extended capabilities; link up and negotiation complete.
constexpr uint16_t kBmsr = 0x7809 | 0x0004 | 0x0020;

constexpr unsigned kI82555Status = 16;
constexpr uint16_t kI82555Speed100 = 0x0002;
constexpr unsigned kDp83840Par = 25;
constexpr uint16_t kDp83840Speed10 = 0x0040;

}  // namespace

PhyModel::PhyModel(PhyType type, bool fast) : type_(type), fast_(fast) { Reset(); }

void PhyModel::Reset() {
  regs_.fill(0);
  regs_[0] = kBmcrAutoNegotiate | (fast_ ? kBmcrSpeed100 : 0);
  regs_[1] = kBmsr;
  if (type_ == PhyType::I82555) {
    regs_[2] = 0x02A8;
    regs_[3] = 0x0154;
  } else {
    regs_[2] = 0x2000;
    regs_[3] = 0x5C01;
  }
  regs_[4] = 0x01E1;  // 100/10, full/half, IEEE 802.3
  regs_[5] = 0x45E1;  // the partner offers the same and acknowledges
  regs_[6] = 0x0001;  // partner can negotiate
}

uint16_t PhyModel::Read(unsigned address, unsigned reg) const {
  if (type_ == PhyType::None || address != kAddress || reg > 31) return 0xFFFF;
  uint16_t value = regs_[reg];
  if (type_ == PhyType::I82555 && reg == kI82555Status) {
    value = static_cast<uint16_t>((value & ~kI82555Speed100) | (fast_ ? kI82555Speed100 : 0));
  }
  if (type_ == PhyType::Dp83840 && reg == kDp83840Par) {
    value = static_cast<uint16_t>((value & ~kDp83840Speed10) | (fast_ ? 0 : kDp83840Speed10));
  }
  return value;
}

void PhyModel::Write(unsigned address, unsigned reg, uint16_t value) {
  if (type_ == PhyType::None || address != kAddress || reg > 31) return;
  switch (reg) {
    case 0:
      if (value & kBmcrReset) {
        Reset();
        return;
      }
      regs_[0] = static_cast<uint16_t>(value & ~kBmcrRestartAutoNegotiate);
      return;
    case 4:
      regs_[4] = value;
      return;
    default:
      if (reg >= 16) regs_[reg] = value;  // vendor registers store
      return;                             // 1-3, 5-15: read only
  }
}

}  // namespace sim
