#include "platform/nic/eeprom.h"

#include <cstddef>
#include <utility>

namespace sim {

uint16_t EepromChecksum(const std::vector<uint16_t>& words) {
  uint16_t sum = 0;
  for (uint16_t w : words) sum = static_cast<uint16_t>(sum + w);
  return sum;
}

void MicrowireEeprom::Load(std::vector<uint16_t> image) {
  if (image.size() > kMaxWords) image.resize(kMaxWords);
  size_t size = kMinWords;
  unsigned bits = 1;
  while (size < image.size()) {
    size *= 2;
    ++bits;
  }
  image.resize(size, 0xFFFF);
  words_ = std::move(image);
  address_bits_ = bits;
  Reset();
}

void MicrowireEeprom::Reset() {
  chip_select_ = false;
  clock_ = false;
  data_out_ = true;
  state_ = State::WaitStart;
  opcode_ = 0;
  address_ = 0;
  bits_ = 0;
}

void MicrowireEeprom::Drive(bool chip_select, bool clock, bool data_in) {
  if (!chip_select) {
    // Deselect ends whatever was going on.
    chip_select_ = false;
    clock_ = clock;
    data_out_ = true;
    state_ = State::WaitStart;
    return;
  }
  if (!chip_select_) {
    chip_select_ = true;
    data_out_ = true;
    state_ = State::WaitStart;
  }
  const bool rising = clock && !clock_;
  clock_ = clock;
  if (!rising) return;

  switch (state_) {
    case State::WaitStart:
      if (data_in) StartField(State::Opcode, opcode_);
      break;
    case State::Opcode:
      if (ShiftIn(opcode_, data_in, 2)) StartField(State::Address, address_);
      break;
    case State::Address:
      if (!ShiftIn(address_, data_in, address_bits_)) break;
      if (opcode_ == 2) {
        state_ = State::Data;
        word_ = words_[address_];
        bits_ = 16;
        data_out_ = false;  // the dummy zero
      } else {
        Ignore();
      }
      break;
    case State::Data:
      if (bits_ == 0) {
        Ignore();
      } else {
        --bits_;
        data_out_ = ((word_ >> bits_) & 1) != 0;
      }
      break;
    case State::Ignore:
      break;
  }
}

void MicrowireEeprom::StartField(State next, unsigned& field) {
  state_ = next;
  field = 0;
  bits_ = 0;
}

bool MicrowireEeprom::ShiftIn(unsigned& field, bool bit, unsigned width) {
  field = (field << 1) | (bit ? 1u : 0u);
  return ++bits_ == width;
}

void MicrowireEeprom::Ignore() {
  state_ = State::Ignore;
  data_out_ = true;
}

}  // namespace sim
