// What the receive unit makes of a frame's destination and length: the
// multicast hash, the RFD status bit for frames not to the station, long
// frames.
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

// The multicast filter is the part's 64-bit hash, not a list: a group
// address whose hash collides with a set one passes too. RFD status bit
// 0x0002 (82558 and later; 82557 steppings leave it 0): the destination was
// not the station's individual address. Frames up to 1518 bytes with their
// FCS (1514 on the segment) are OK; a longer one only when configure byte
// 18 bit 3 enables long frames, and is otherwise a bad frame (kept only
// because save-bad is on).
TEST(ReceiveFilter, MulticastHashGroupBitAndLongFrames) {
  const Mac set = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  Mac colliding{}, other{};
  for (unsigned i = 2; i < 4096 && (colliding[0] == 0 || other[0] == 0); ++i) {
    const Mac candidate = {
        0x01, 0x00, 0x5E, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    Mac& slot = MulticastHash(candidate) == MulticastHash(set) ? colliding : other;
    if (slot[0] == 0) slot = candidate;
  }
  ASSERT_TRUE(colliding[0] != 0 && other[0] != 0);

  constexpr uint16_t kOk = RfdStatusComplete | RfdStatusOk;
  struct Case {
    const char* what;
    uint8_t revision;
    Mac destination;
    size_t length;
    bool long_frames;
    uint16_t status;  // 0: not received
  };
  const Case cases[] = {
      {"multicast address set", 0x08, set, 80, false, kOk | 0x0002},
      {"another address with the same hash", 0x08, colliding, 80, false, kOk | 0x0002},
      {"a group address with another hash", 0x08, other, 80, false, 0},
      {"directed, 82559", 0x08, RigStation(0), 80, false, kOk},
      {"broadcast, 82559", 0x08, kBroadcast, 80, false, kOk | 0x0002},
      {"directed, 82557", 0x02, RigStation(0), 80, false, kOk},
      {"broadcast, 82557", 0x02, kBroadcast, 80, false, kOk},
      {"1514 bytes", 0x08, RigStation(0), 1514, false, kOk},
      {"1515 bytes", 0x08, RigStation(0), 1515, false, RfdStatusComplete},
      {"1514 bytes, long frames on", 0x08, RigStation(0), 1514, true, kOk},
      {"1515 bytes, long frames on", 0x08, RigStation(0), 1515, true, kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    sim::I8255xConfig config = Rig::Config(0);
    config.revision = c.revision;
    Nic& nic = rig.Add(config);
    RxRings rings = rig.Rings(4, 4);
    std::array<uint8_t, 24> bytes = DriverConfiguration();
    bytes[15] = static_cast<uint8_t>(bytes[15] & ~0x02);  // broadcasts accepted
    if (c.long_frames) bytes[18] |= 0x08;
    BringUp(rig, nic, RigStation(0), rings, bytes);
    CommandBlock* cb = rig.Block(static_cast<uint16_t>(3 | CbCommandEndOfList));  // multicast setup
    HwStore16(cb->Parameters, 6);
    std::memcpy(cb->Parameters + 2, set.data(), 6);
    RunBlock(nic, cb);
    ASSERT_EQ(HwLoad16(&cb->Status), kOk);
    nic.model().InjectFrame(PatternFrame(c.destination, RigStation(1), c.length));
    EXPECT_EQ(rings.RfdStatus(0), c.status);
    EXPECT_EQ(rings.RbdCount(0) & 0x3FFF, c.status != 0 ? c.length : 0);
    EXPECT_EQ(nic.model().counters().frames_received.load(), c.status != 0 ? 1u : 0u);
  }
}

}  // namespace
}  // namespace tvtest
