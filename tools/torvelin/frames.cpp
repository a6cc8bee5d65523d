#include "tools/torvelin/frames.h"

#include <cstring>

namespace tool {

uint64_t Random::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t Random::Between(uint64_t low, uint64_t high) {
  const uint64_t span = high - low + 1;
  return low + (span == 0 ? Next() : Next() % span);
}

std::vector<uint8_t> BuildTestFrame(uint64_t seed, uint8_t sender, uint32_t sequence,
                                    const Mac& destination, const Mac& source, size_t length) {
  if (length < kTestHeaderBytes) length = kTestHeaderBytes;
  std::vector<uint8_t> frame(length);
  std::memcpy(frame.data(), destination.data(), 6);
  std::memcpy(frame.data() + 6, source.data(), 6);
  frame[12] = kTestEtherType >> 8;
  frame[13] = kTestEtherType & 0xFF;
  std::memcpy(frame.data() + 14, "TVLN", 4);
  frame[18] = sender;
  frame[19] = 0;
  for (int i = 0; i < 4; ++i) frame[20 + i] = static_cast<uint8_t>(sequence >> (8 * i));
  frame[24] = static_cast<uint8_t>(length);
  frame[25] = static_cast<uint8_t>(length >> 8);
  Random random(seed ^ (uint64_t{sender} << 56) ^ (uint64_t{sequence} << 8) ^ 0x5456'4C4E);
  for (size_t i = kTestHeaderBytes; i < length; i += 8) {
    const uint64_t word = random.Next();
    for (size_t b = 0; b < 8 && i + b < length; ++b) {
      frame[i + b] = static_cast<uint8_t>(word >> (8 * b));
    }
  }
  return frame;
}

std::optional<TestFrameHeader> ParseTestFrame(const uint8_t* bytes, size_t length) {
  if (length < kTestHeaderBytes) return std::nullopt;
  if (bytes[12] != (kTestEtherType >> 8) || bytes[13] != (kTestEtherType & 0xFF)) {
    return std::nullopt;
  }
  if (std::memcmp(bytes + 14, "TVLN", 4) != 0) return std::nullopt;
  TestFrameHeader header;
  header.sender = bytes[18];
  header.sequence = 0;
  for (int i = 0; i < 4; ++i) header.sequence |= uint32_t{bytes[20 + i]} << (8 * i);
  header.length = static_cast<uint16_t>(bytes[24] | (bytes[25] << 8));
  return header;
}

}  // namespace tool
