// The controller's serial EEPROM: size probe, word reads, checksum and blank
// check. Runs only inside bring-up, with the controller's interrupts masked.

#include "controller/controller.h"
#include "hw/hw.h"
#include "startup/startup.h"

namespace {

constexpr uint8_t EepromBitOne = 0x06;    // selected, data 1
constexpr uint8_t EepromBitZero = 0x02;   // selected, data 0
constexpr uint8_t EepromBitProbe = 0x0A;  // selected, data 0, bit 3 also set
constexpr uint8_t EepromClockHigh = 0x03;
constexpr uint8_t EepromClockLow = 0x02;
constexpr uint8_t EepromDeselect = 0x00;
constexpr uint16_t EepromChecksum = 0xBABA;
constexpr uint32_t EepromMaximumWords = 256;

}  // namespace

void NicEepromWriteBit(uint32_t port, uint8_t value) {
  outportb(port, value);
  MillisecondDelay(1);
  outportb(port, value | EepromClock);
  outportb(port, value & static_cast<uint8_t>(~EepromClock));
}

uint8_t NicEepromReadBit(uint32_t port) {
  outportb(port, EepromClockHigh);
  MillisecondDelay(1);
  const uint8_t value = inportb(port);
  outportb(port, EepromClockLow);
  return value;
}

void NicEepromStartRead(uint32_t port) {
  NicEepromWriteBit(port, EepromBitOne);
  NicEepromWriteBit(port, EepromBitOne);
  NicEepromWriteBit(port, EepromBitZero);
}

uint32_t NicReadEeprom(NicAdapter* adapter, uint16_t* buffer, uint32_t capacity, uint32_t* stored) {
  if (!Quiet) host::printf("TORVELIN: Reading EEPROM address...");
  outportb(adapter->IoBase + ScbInterruptControl, ScbInterruptMaskAll);
  uint32_t storedLocal = 0;
  if (stored == nullptr) stored = &storedLocal;
  *stored = 0;
  // The caller's buffer may be only byte-aligned (bring-up passes MacAddress),
  // so words go in byte by byte, low byte first, as a 16-bit store would put
  // them on this little-endian machine.
  uint8_t* out = reinterpret_cast<uint8_t*>(buffer);
  uint32_t remaining = out != nullptr ? capacity : 0;

  const uint32_t port = adapter->IoBase + ScbEepromControl;

  // Size probe: address bits of 0 until the part answers with its dummy 0.
  NicEepromStartRead(port);
  uint32_t words = 2;
  uint32_t addressBits = 1;
  for (;;) {
    NicEepromWriteBit(port, EepromBitProbe);
    if (!(inportb(port) & EepromDataOut)) break;
    words *= 2;
    if (words >= EepromMaximumWords) break;
    ++addressBits;
  }
  if (words >= EepromMaximumWords) addressBits = 8;
  outportb(port, EepromDeselect);

  uint16_t sum = 0;
  for (uint32_t address = 0; address < words; ++address) {
    NicEepromStartRead(port);
    for (uint32_t bit = addressBits; bit-- > 0;) {
      NicEepromWriteBit(port, (address >> bit) & 1 ? EepromBitOne : EepromBitZero);
    }
    uint16_t word = 0;
    for (int bit = 0; bit < 16; ++bit) {
      word = static_cast<uint16_t>(word << 1);
      if (NicEepromReadBit(port) & EepromDataOut) word |= 1;
    }
    adapter->EepromImage[address] = word;
    if (remaining >= 2) {
      out[0] = static_cast<uint8_t>(word);
      out[1] = static_cast<uint8_t>(word >> 8);
      out += 2;
      remaining -= 2;
      *stored += 2;
    }
    sum = static_cast<uint16_t>(sum + word);
    outportb(port, EepromDeselect);
  }

  if (sum != EepromChecksum) {
    if (!Quiet) host::printf(" Bad EEPROM checksum.\n");
    return StatusControllerFailure;
  }
  if (words < 4) {
    if (!Quiet) host::printf(" Bad EEPROM size.\n");
    return StatusControllerFailure;
  }
  for (uint32_t i = 3; i < words / 2; ++i) {
    if (adapter->EepromImage[i] != 0xFFFF) {
      if (!Quiet) host::printf(" PASSED.\n");
      return StatusSuccess;
    }
  }
  if (!Quiet) host::printf(" FAILED.\n");
  return StatusControllerFailure;
}
