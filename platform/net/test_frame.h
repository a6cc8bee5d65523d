// The self-checking test frame that the tool's traffic, its bench and soak,
// and the tests send. Every byte of a frame follows from (seed, sender,
// sequence number, destination, source, length), so a receiver can rebuild
// what it should have got and compare all of it: a torn frame (two mixed), a
// cut one or a wrong byte anywhere shows.
//
// Layout: destination (6), source (6), EtherType 0x88B5 (IEEE local
// experimental), "TVLN", sender (1), reserved 0 (1), sequence number (4,
// little-endian), length (2, little-endian), then pseudo-random payload.
//
// Captures and replays of the tool's runs hold these bytes: the layout and
// the payload's generator are part of what a run's output is compared with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

constexpr uint16_t kTestEtherType = 0x88B5;
constexpr size_t kTestHeaderBytes = 26;

// A small, portable generator (splitmix64): the same seed gives the same
// frames on every machine and standard library.
class TestRandom {
 public:
  explicit TestRandom(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // Uniform in [low, high].
  uint64_t Between(uint64_t low, uint64_t high);

 private:
  uint64_t state_;
};

// A frame of exactly `length` bytes. Below kTestHeaderBytes it is the start
// of a whole frame's header, cut: the caller wants a runt.
std::vector<uint8_t> BuildTestFrame(uint64_t seed, uint8_t sender, uint32_t sequence,
                                    const std::array<uint8_t, 6>& destination,
                                    const std::array<uint8_t, 6>& source, size_t length);

struct TestFrameHeader {
  uint8_t sender;
  uint32_t sequence;
  uint16_t length;
};
// The header of a test frame; nullopt for anything else.
std::optional<TestFrameHeader> ParseTestFrame(const uint8_t* bytes, size_t length);

// True when `bytes` is one whole test frame built with `seed`: its header
// parses, the length it states is `length`, and every byte is the one
// BuildTestFrame gives for its sender, sequence number and addresses. The
// addresses are taken from the frame itself: a receiver that expects
// particular ones compares them (or the whole frame) itself.
bool IsWholeTestFrame(uint64_t seed, const uint8_t* bytes, size_t length);

// Writes a new sequence number into a whole frame's header and leaves the
// payload as it was. For a sender that reuses one frame and whose receivers
// read only the header (a benchmark, which would measure the rebuilding too);
// IsWholeTestFrame no longer holds for the result.
void RenumberTestFrame(uint8_t* frame, uint32_t sequence);

}  // namespace sim
