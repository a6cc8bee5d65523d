// The controller's serial EEPROM: a Microwire part of 2 to 256 16-bit words,
// read-only as far as this model goes.
//
// Protocol, as the controller's EEPROM control register drives it: data in
// is sampled on each rising clock edge while chip select is high. Zeros before
// the start bit are ignored; then come the start bit 1, a 2-bit opcode and
// log2(words) address bits, most significant first. For a read (opcode 10)
// the part drives data out to 0 right after the last address bit (the dummy
// zero); each following rising edge presents the next data bit, D15 first.
// After D0, and at every other time, data out reads 1. Dropping chip select
// ends the transaction. Write, erase and the extended opcodes are accepted
// and ignored (nothing in this system programs the part). An absent part
// holds data out at 1 whatever happens on the other lines.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class MicrowireEeprom {
 public:
  static constexpr unsigned kMinWords = 2;
  static constexpr unsigned kMaxWords = 256;

  MicrowireEeprom() = default;

  // Takes any image: its size is rounded up to a power of two (padding with
  // 0xFFFF, the erased value) within 2..256 words; words beyond 256 are cut.
  void Load(std::vector<uint16_t> image);
  void SetAbsent(bool absent) { absent_ = absent; }
  bool absent() const { return absent_; }
  const std::vector<uint16_t>& words() const { return words_; }
  unsigned address_bits() const { return address_bits_; }

  // The three lines the controller drives, sampled at every register write.
  void Drive(bool chip_select, bool clock, bool data_in);
  bool DataOut() const { return absent_ || data_out_; }
  // Chip deselected, transaction forgotten (controller reset).
  void Reset();

 private:
  enum class State { WaitStart, Opcode, Address, Data, Ignore };

  // Moves to `next`, whose field collects its bits from zero.
  void StartField(State next, unsigned& field);
  // Shifts one received bit into `field`; true once it holds `width` bits.
  bool ShiftIn(unsigned& field, bool bit, unsigned width);
  // Data out back to 1; the rest of the transaction is not looked at.
  void Ignore();

  std::vector<uint16_t> words_ = std::vector<uint16_t>(64, 0xFFFF);
  unsigned address_bits_ = 6;
  bool absent_ = false;

  bool chip_select_ = false;
  bool clock_ = false;
  bool data_out_ = true;
  State state_ = State::WaitStart;
  unsigned opcode_ = 0;
  unsigned address_ = 0;
  unsigned bits_ = 0;  // bits received in the current field, or data bits left to present
  uint16_t word_ = 0;
};

// 16-bit sum of all words, carries out of bit 15 dropped.
uint16_t EepromChecksum(const std::vector<uint16_t>& words);

}  // namespace sim
