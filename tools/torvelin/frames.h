// The tool's self-checking test frames. Every byte of a frame follows from
// (seed, sender, sequence number, destination, length), so a receiver can
// rebuild what it should have got and compare all of it.
//
// Layout: destination (6), source (6), EtherType 0x88B5 (IEEE local
// experimental), "TVLN", sender (1), reserved 0 (1), sequence number (4,
// little-endian), length (2, little-endian), then pseudo-random payload.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/torvelin/util.h"

namespace tool {

constexpr uint16_t kTestEtherType = 0x88B5;
constexpr size_t kTestHeaderBytes = 26;
constexpr size_t kMinFrame = 60;
constexpr size_t kMaxTestFrame = 1514;

// A small, portable generator (splitmix64): the same seed gives the same
// frames on every machine and standard library.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // Uniform in [low, high].
  uint64_t Between(uint64_t low, uint64_t high);

 private:
  uint64_t state_;
};

std::vector<uint8_t> BuildTestFrame(uint64_t seed, uint8_t sender, uint32_t sequence,
                                    const Mac& destination, const Mac& source, size_t length);

struct TestFrameHeader {
  uint8_t sender;
  uint32_t sequence;
  uint16_t length;
};
// The header of one of the tool's frames; nullopt for anything else.
std::optional<TestFrameHeader> ParseTestFrame(const uint8_t* bytes, size_t length);

}  // namespace tool
