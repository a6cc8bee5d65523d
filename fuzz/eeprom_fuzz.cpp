// EEPROM images of every size (2..256 words) and content through bring-up:
// one controller whose part holds the image, Quiet 0 so that every message
// path runs. Start-up must finish (no hang), the sanitizers watch for
// crashes; a published device must still open and close.
//
// Input: flags (bit 0: make the 16-bit sum 0xBABA so that bring-up goes past
// the checksum; bit 1: part absent; bits 2-3: PHY 82555 / DP83840 / none /
// 82555 at 10 Mbit/s; bit 4: variant without single-source masks), a word
// count byte (count = byte + 1, at least 2), then the words (missing ones
// read 0xFFFF, the erased value).
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t flags = in.Byte();
  unsigned words = in.Byte() + 1u;
  if (words < 2) words = 2;
  std::vector<uint16_t> image(words, 0xFFFF);
  for (unsigned i = 0; i < words && in.remaining() >= 2; ++i) image[i] = in.U16();
  if (flags & 1) {
    uint16_t sum = 0;
    for (unsigned i = 0; i + 1 < words; ++i) sum = static_cast<uint16_t>(sum + image[i]);
    image[words - 1] = static_cast<uint16_t>(0xBABA - sum);
  }

  sim::Registry registry;
  registry.Add("TORVELIN", "Quiet", "0");
  // The EEPROM's own waits stay; the configure delay does not depend on it.
  registry.Add("TORVELIN", "ConfigDelay", "10");
  fuzz::Pc pc(std::move(registry));
  sim::I8255xConfig config = fuzz::NicConfig(0);
  config.eeprom_image = image;
  config.eeprom_absent = flags & 2;
  switch ((flags >> 2) & 3) {
    case 1:
      config.phy = sim::PhyType::Dp83840;
      break;
    case 2:
      config.phy = sim::PhyType::None;
      break;
    case 3:
      config.phy_100mbit = false;
      break;
    default:
      break;
  }
  if (flags & 0x10) config.revision = 0x02;  // an early stepping: no single-source masks
  pc.AddNic(config);
  pc.Boot();

  const auto names = pc.machine->DeviceNames();
  if (!names.empty()) {
    sim::ClientProcess client(*pc.machine);
    uintptr_t open = 0;
    if (client.Open(names.front(), &open) == 0 && client.Close(open) != 0) {
      fuzz::Fail("a fresh client of " + names.front() + " could not be closed");
    }
  }
  pc.machine->Stop();
  return 0;
}
