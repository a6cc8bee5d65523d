// Frames for the tests: stations, the self-checking test frame and plain
// patterned frames.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/net/test_frame.h"
#include "platform/standard_pc.h"

namespace tvtest {

using Mac = std::array<uint8_t, 6>;

inline const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// A station on the wire that no controller of the test PC has.
inline const Mac kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
inline const Mac kWireSource = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

// Controller i's station on the standard PC.
inline Mac Station(unsigned index) { return sim::StandardStation(index); }

// A test frame (platform/net/test_frame.h) of `length` bytes numbered
// `sequence`. Every byte follows from the sequence, the addresses and the
// length, so a torn copy (two frames mixed) or a cut one fails IsWholeFrame.
// Below the test frame's header it is cut, for tests that want a runt.
inline std::vector<uint8_t> MakeFrame(const Mac& destination, const Mac& source, uint32_t length,
                                      uint32_t sequence) {
  return sim::BuildTestFrame(0, 0, sequence, destination, source, length);
}

// The sequence number of a frame built by MakeFrame (at least its header).
inline uint32_t SequenceOf(const uint8_t* frame) {
  const auto header = sim::ParseTestFrame(frame, sim::kTestHeaderBytes);
  return header ? header->sequence : 0xFFFFFFFFu;
}

// True when `bytes` is exactly one whole frame built by MakeFrame.
inline bool IsWholeFrame(const uint8_t* bytes, uint32_t length) {
  return sim::IsWholeTestFrame(0, bytes, length);
}

// A frame of `length` bytes to `destination` from `source`, type 0x0800, the
// payload counting up from `seed`: for the model's tests, which look at
// bytes rather than at a test frame's header.
inline std::vector<uint8_t> PatternFrame(const Mac& destination, const Mac& source, size_t length,
                                         uint8_t seed = 0) {
  std::vector<uint8_t> frame(length);
  for (size_t i = 0; i < length; ++i) frame[i] = static_cast<uint8_t>(seed + i);
  if (length >= 6) std::memcpy(frame.data(), destination.data(), 6);
  if (length >= 12) std::memcpy(frame.data() + 6, source.data(), 6);
  if (length >= 14) {
    frame[12] = 0x08;
    frame[13] = 0x00;
  }
  return frame;
}

}  // namespace tvtest
