#include "platform/net/test_frame.h"

#include <cstring>

namespace sim {
namespace {

constexpr char kMagic[4] = {'T', 'V', 'L', 'N'};
constexpr size_t kSenderAt = 18;
constexpr size_t kSequenceAt = 20;
constexpr size_t kLengthAt = 24;

}  // namespace

uint64_t TestRandom::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t TestRandom::Between(uint64_t low, uint64_t high) {
  const uint64_t span = high - low + 1;
  return low + (span == 0 ? Next() : Next() % span);
}

std::vector<uint8_t> BuildTestFrame(uint64_t seed, uint8_t sender, uint32_t sequence,
                                    const std::array<uint8_t, 6>& destination,
                                    const std::array<uint8_t, 6>& source, size_t length) {
  const size_t wanted = length;
  if (length < kTestHeaderBytes) length = kTestHeaderBytes;
  std::vector<uint8_t> frame(length);
  std::memcpy(frame.data(), destination.data(), 6);
  std::memcpy(frame.data() + 6, source.data(), 6);
  frame[12] = kTestEtherType >> 8;
  frame[13] = kTestEtherType & 0xFF;
  std::memcpy(frame.data() + 14, kMagic, 4);
  frame[kSenderAt] = sender;
  frame[kSenderAt + 1] = 0;
  RenumberTestFrame(frame.data(), sequence);
  frame[kLengthAt] = static_cast<uint8_t>(length);
  frame[kLengthAt + 1] = static_cast<uint8_t>(length >> 8);
  TestRandom random(seed ^ (uint64_t{sender} << 56) ^ (uint64_t{sequence} << 8) ^ 0x5456'4C4E);
  for (size_t i = kTestHeaderBytes; i < length; i += 8) {
    const uint64_t word = random.Next();
    for (size_t b = 0; b < 8 && i + b < length; ++b) {
      frame[i + b] = static_cast<uint8_t>(word >> (8 * b));
    }
  }
  frame.resize(wanted);
  return frame;
}

std::optional<TestFrameHeader> ParseTestFrame(const uint8_t* bytes, size_t length) {
  if (length < kTestHeaderBytes) return std::nullopt;
  if (bytes[12] != (kTestEtherType >> 8) || bytes[13] != (kTestEtherType & 0xFF)) {
    return std::nullopt;
  }
  if (std::memcmp(bytes + 14, kMagic, 4) != 0) return std::nullopt;
  TestFrameHeader header;
  header.sender = bytes[kSenderAt];
  header.sequence = 0;
  for (int i = 0; i < 4; ++i) header.sequence |= uint32_t{bytes[kSequenceAt + i]} << (8 * i);
  header.length = static_cast<uint16_t>(bytes[kLengthAt] | (bytes[kLengthAt + 1] << 8));
  return header;
}

bool IsWholeTestFrame(uint64_t seed, const uint8_t* bytes, size_t length) {
  const auto header = ParseTestFrame(bytes, length);
  if (!header || header->length != length) return false;
  std::array<uint8_t, 6> destination, source;
  std::memcpy(destination.data(), bytes, 6);
  std::memcpy(source.data(), bytes + 6, 6);
  const std::vector<uint8_t> expected =
      BuildTestFrame(seed, header->sender, header->sequence, destination, source, length);
  return std::memcmp(bytes, expected.data(), length) == 0;
}

void RenumberTestFrame(uint8_t* frame, uint32_t sequence) {
  for (int i = 0; i < 4; ++i) frame[kSequenceAt + i] = static_cast<uint8_t>(sequence >> (8 * i));
}

}  // namespace sim
