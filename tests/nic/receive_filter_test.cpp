// What the receive unit makes of a frame's destination and length: the
// address filter as configured, the multicast hash, the RFD status bit for
// frames not to the station, long frames.
#include "support/model.h"

namespace tvtest {
namespace {

// The top six bits of the frame check sequence's CRC over the address.
unsigned MulticastHash(const Mac& address) {
  uint32_t crc = 0xFFFFFFFF;
  for (uint8_t byte : address) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      const bool top = (crc >> 31) != 0;
      crc <<= 1;
      if (((byte >> bit & 1) != 0) != top) crc ^= 0x04C11DB7;
    }
  }
  return crc >> 26;
}

// Configure byte 15 bit 0 is promiscuous, bit 1 disables broadcasts; byte 21
// bit 3 accepts all multicasts. The multicast filter is the part's 64-bit
// hash, not a list: a group address whose hash collides with a set one
// passes too. RFD status bit 0x0002 (82558 and later; 82557 steppings leave
// it 0): the destination was not the station's individual address. Frames
// up to 1518 bytes with their FCS (1514 on the segment) are OK; a longer one
// only when configure byte 18 bit 3 enables long frames, and is otherwise a
// bad frame (kept only because save-bad is on).
TEST(ReceiveFilter, AddressesMulticastHashGroupBitAndLongFrames) {
  const Mac set = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  Mac colliding{}, group{};
  for (unsigned i = 2; i < 4096 && (colliding[0] == 0 || group[0] == 0); ++i) {
    const Mac candidate = {
        0x01, 0x00, 0x5E, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    Mac& slot = MulticastHash(candidate) == MulticastHash(set) ? colliding : group;
    if (slot[0] == 0) slot = candidate;
  }
  ASSERT_TRUE(colliding[0] != 0 && group[0] != 0);
  const Mac other = {0x02, 0x01, 0x02, 0x03, 0x04, 0x05};

  constexpr uint16_t kOk = RfdStatusComplete | RfdStatusOk;
  constexpr uint16_t kNotMine = kOk | 0x0002;
  constexpr uint8_t kNoBroadcast = 0x4A, kBroadcasts = 0x48, kPromiscuous = 0x49;
  struct Case {
    const char* what;
    uint8_t byte15, byte21;
    Mac destination;
    uint16_t status;  // 0: not received
    size_t length = 80;
    bool long_frames = false;
    uint8_t revision = 0x08;
    Mac source = kPeer;
  };
  const Case cases[] = {
      {"directed", kNoBroadcast, 0x05, Station(0), kOk},
      {"directed, from the station itself", kNoBroadcast, 0x05, Station(0), kOk, 80, false, 8,
       Station(0)},
      {"another station", kNoBroadcast, 0x05, other, 0},
      {"another station, broadcasts on", kBroadcasts, 0x05, other, 0},
      {"another station, all multicast", kBroadcasts, 0x0D, other, 0},
      {"another station, promiscuous", kPromiscuous, 0x05, other, kNotMine},
      {"broadcast disabled", kNoBroadcast, 0x05, kBroadcast, 0},
      {"broadcast", kBroadcasts, 0x05, kBroadcast, kNotMine},
      {"broadcast, all multicast", kBroadcasts, 0x0D, kBroadcast, kNotMine},
      {"broadcast, promiscuous", kPromiscuous, 0x05, kBroadcast, kNotMine},
      {"multicast address set", kBroadcasts, 0x05, set, kNotMine},
      {"another address with the same hash", kBroadcasts, 0x05, colliding, kNotMine},
      {"a group address with another hash", kBroadcasts, 0x05, group, 0},
      {"another hash, all multicast", kBroadcasts, 0x0D, group, kNotMine},
      {"another hash, promiscuous", kPromiscuous, 0x05, group, kNotMine},
      {"directed, 82557", kBroadcasts, 0x05, Station(0), kOk, 80, false, 0x02},
      {"broadcast, 82557", kBroadcasts, 0x05, kBroadcast, kOk, 80, false, 0x02},
      {"1514 bytes", kBroadcasts, 0x05, Station(0), kOk, 1514},
      {"1515 bytes", kBroadcasts, 0x05, Station(0), RfdStatusComplete, 1515},
      {"1514 bytes, long frames on", kBroadcasts, 0x05, Station(0), kOk, 1514, true},
      {"1515 bytes, long frames on", kBroadcasts, 0x05, Station(0), kOk, 1515, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    sim::I8255xConfig config = sim::StandardController(0);
    config.revision = c.revision;
    Nic& nic = rig.Add(config);
    RxRings rings = rig.Rings(4, 4);
    std::array<uint8_t, 24> bytes = DriverConfiguration();
    bytes[15] = c.byte15;
    bytes[21] = c.byte21;
    if (c.long_frames) bytes[18] |= 0x08;
    BringUp(rig, nic, Station(0), rings, bytes);
    CommandBlock* cb = rig.Block(static_cast<uint16_t>(3 | CbCommandEndOfList));  // multicast setup
    HwStore16(cb->Parameters, 6);
    std::memcpy(cb->Parameters + 2, set.data(), 6);
    RunBlock(nic, cb);
    ASSERT_EQ(StatusOf(cb), kOk);
    nic.model().InjectFrame(PatternFrame(c.destination, c.source, c.length));
    EXPECT_EQ(rings.RfdStatus(0), c.status);
    EXPECT_EQ(rings.RbdCount(0) & 0x3FFF, c.status != 0 ? c.length : 0);
    EXPECT_EQ(nic.counters().frames_received.load(), c.status != 0 ? 1u : 0u);
    EXPECT_EQ(nic.counters().dropped_filter.load(), c.status != 0 ? 0u : 1u);
  }
}

}  // namespace
}  // namespace tvtest
