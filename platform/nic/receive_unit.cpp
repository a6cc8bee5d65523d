// The receive unit: the address filter, the RU commands and the storing of a
// frame into the driver's descriptors.
//
// Flexible mode. Public documentation of this controller family describes
// only the simplified receive mode; the flexible mode here is this model's
// own definition, shaped after what the driver's receive code expects:
//
// - RU start (general pointer + RU base) makes the RU ready at that RFD. Only
//   this first RFD's RbdAddress is used: it names the first RBD (0xFFFFFFFF
//   there means no RBD). Every later RFD's RbdAddress is ignored, whatever it
//   holds; the RU goes on along the RBD links on its own.
// - The RFD's Size field and data area are not used: all frame bytes go to
//   RBDs. Each RBD gives a buffer (BufferAddress) of Size & 0x3FFF bytes;
//   the RU fills buffers from its current RBD, writes each used RBD's Count
//   as bytes | F (0x4000), the frame's last also | EOF (0x8000), and moves on
//   along Link.
// - The RFD then gets ActualCount = bytes stored | EOF | F, and its Status,
//   written last: complete 0x8000 with OK 0x2000 for a good frame, or the
//   error bits (CRC 0x0800, alignment 0x0400, overrun 0x0100, too short
//   0x0080) instead of OK. FR is raised and the RU moves to the RFD's Link.
//   On the 82558 and later, bit 0x0002 is set when the destination is not
//   the individual address (the 82557 leaves it 0).
// - A frame longer than 1518 bytes with its frame check sequence is not OK
//   unless configure byte 18 bit 3 (long frames OK) is set; it is then a
//   bad frame (kept only when bad frames are saved). The part has no status
//   bit of its own for it (a choice: the model sets none), so it completes
//   with OK clear and no error bit.
// - An RFD with EL (0x8000 in Command) still completes normally; the RU then
//   enters no resources (0x08) and raises RNR. With S (0x4000) it suspends
//   (0x04) and raises RNR.
// - When the RBD marked EL (Size bit 15) has been used, the RU has no buffers
//   left: it enters no resources with no RBDs (0x28) after that frame and
//   raises RNR. A frame that still had bytes to store is cut there and its
//   RFD completes with 0x0200 (no resources) instead of OK.
// - All addresses in descriptors are relative to the RU base.
// - RU resume continues at the current RFD (and, from 0x28, at the RBD after
//   the last one used). RU abort makes the RU idle at once. RNR is raised
//   only when the RU leaves ready on its own, never for an abort or a reset.
// - Every walk is bounded: a frame uses at most 4096 RBDs, and an RBD seen
//   twice within one frame (a looping link) ends the frame as if the buffers
//   had run out; both are recorded as observations.
#include <algorithm>

#include "platform/nic/i8255x_impl.h"

namespace sim {

using namespace i8255x;

void I8255x::Impl::ExecuteRuCommand(uint8_t command) {
  switch (command) {
    case 0:
      break;
    case 1:  // RU start
      ru_rfd = ru_base + general_pointer;
      ru_first_rfd = true;
      ru_rbd_valid = false;
      ru_rbd_after_el = false;
      ru_state = kRuReady;
      break;
    case 2:  // RU resume
      if (ru_state == kRuSuspended || ru_state == kRuNoResources) {
        ru_state = kRuReady;
      } else if (ru_state == kRuNoRbds) {
        ru_state = kRuReady;
        if (ru_rbd_after_el) {
          ru_rbd_valid = true;
          ru_rbd_after_el = false;
        }
      }
      break;
    case 4:  // RU abort
      ru_state = kRuIdle;
      break;
    case 6:  // load RU base
      ru_base = general_pointer;
      break;
    default:
      counters.unknown_commands.fetch_add(1);
      break;
  }
}

// The part hashes a group address with the Ethernet CRC-32 (polynomial
// 0x04C11DB7, register preset to all ones, the address's bits fed in the
// order they are sent, least significant bit of each byte first) and takes
// the register's top six bits as the bit number in its 64-bit table: bit
// n & 7 of table byte n >> 3. A choice where the public documentation is not
// exact; the tests pin it.
unsigned I8255x::Impl::MulticastHashIndex(const uint8_t* address) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < 6; ++i) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      const bool in = ((address[i] >> bit) & 1) != 0;
      const bool top = (crc >> 31) != 0;
      crc <<= 1;
      if (in != top) crc ^= 0x04C11DB7;
    }
  }
  return crc >> 26;
}

bool I8255x::Impl::PassesFilter(const uint8_t* data, size_t length) const {
  if (configuration[kCfgFilter] & kCfgPromiscuous) return true;  // promiscuous
  if (length < 6) return false;
  if (individual_address_set && std::equal(data, data + 6, individual_address.begin())) {
    return true;
  }
  if (std::all_of(data, data + 6, [](uint8_t b) { return b == 0xFF; })) {
    return (configuration[kCfgFilter] & kCfgBroadcastDisabled) == 0;
  }
  if (data[0] & 0x01) {
    if (configuration[kCfgMulticast] & kCfgMulticastAll) return true;
    const unsigned bit = MulticastHashIndex(data);
    return (multicast_hash[bit >> 3] >> (bit & 7) & 1) != 0;
  }
  return false;
}

void I8255x::Impl::RuLeaveReady(uint8_t state) {
  if (ru_state == kRuReady) Raise(kRnr);
  ru_state = state;
}

void I8255x::Impl::ReceiveFrame(const uint8_t* data, size_t length, const FrameErrors& errors) {
  Advance();
  if (ru_state != kRuReady) {
    counters.dropped_no_resources.fetch_add(1);
    Count(kDumpRxResourceErrors);
    return;
  }
  if (faults.ru_out_of_resources.exchange(false)) {
    counters.dropped_fault.fetch_add(1);
    Count(kDumpRxResourceErrors);
    RuLeaveReady(kRuNoResources);
    UpdateIrq();
    return;
  }
  if (!PassesFilter(data, length)) {
    counters.dropped_filter.fetch_add(1);
    return;
  }
  if (errors.crc) Count(kDumpRxCrcErrors);
  if (errors.alignment) Count(kDumpRxAlignmentErrors);
  if (errors.overrun) Count(kDumpRxOverrunErrors);
  const bool short_frame = length < kMinimumFrame;
  if (short_frame) Count(kDumpRxShortFrames);
  const bool bad = errors.crc || errors.alignment || errors.overrun || TooLong(length);
  if ((bad && (configuration[kCfgSaveBad] & kCfgSaveBadFrames) == 0) ||
      (short_frame && (configuration[kCfgDiscardShort] & kCfgDiscardShortFrames) != 0)) {
    counters.dropped_bad.fetch_add(1);
    return;
  }

  const uint32_t rfd = ru_rfd;
  bool ok = true;
  const uint16_t rfd_command = Load16(rfd + kRfdCommand, ok);
  const uint32_t rfd_link = Load32(rfd + kRfdLink, ok);
  uint32_t first_rbd = kNoAddress;
  if (ok && ru_first_rfd) first_rbd = Load32(rfd + kRfdRbdAddress, ok);
  if (!ok) {
    Observe("RFD at " + Hex(rfd) + " unreadable; receive unit stopped");
    counters.dropped_no_resources.fetch_add(1);
    RuLeaveReady(kRuIdle);
    UpdateIrq();
    return;
  }
  if (ru_first_rfd) {
    ru_first_rfd = false;
    if (first_rbd == kNoAddress) {
      Observe("receive unit started at RFD " + Hex(rfd) + " without an RBD");
      ru_rbd_valid = false;
    } else {
      ru_rbd = ru_base + first_rbd;
      ru_rbd_valid = true;
    }
  }
  if (ru_base + rfd_link == rfd && (rfd_command & kRfdEndOfList) == 0) {
    Observe("RFD at " + Hex(rfd) + " links to itself");
  }

  const Stored stored = FillBuffers(data, length);
  // Buffer descriptors, then the frame descriptor's status, last.
  CompleteFrame(rfd, data, length, stored, errors);
  counters.frames_received.fetch_add(1);
  Raise(kFr);

  ru_rfd = ru_base + rfd_link;
  if (stored.out_of_rbds) {
    RuLeaveReady(kRuNoRbds);
  } else if (rfd_command & kRfdEndOfList) {
    RuLeaveReady(kRuNoResources);
  } else if (rfd_command & kRfdSuspend) {
    RuLeaveReady(kRuSuspended);
  }
  UpdateIrq();
}

I8255x::Impl::Stored I8255x::Impl::FillBuffers(const uint8_t* data, size_t length) {
  using Used = UsedRbd;
  std::vector<Used>& used = rx_used;
  used.clear();
  Stored result;
  size_t& stored = result.bytes;
  bool& out_of_rbds = result.out_of_rbds;
  bool& dma_failed = result.dma_failed;
  do {
    if (!ru_rbd_valid) {
      out_of_rbds = true;
      break;
    }
    const uint32_t rbd = ru_rbd;
    if (used.size() >= kMaxRbdsPerFrame) {
      Observe("frame needs more than " + std::to_string(kMaxRbdsPerFrame) + " RBDs at " + Hex(rbd));
      out_of_rbds = true;
      ru_rbd_valid = false;
      break;
    }
    if (std::any_of(used.begin(), used.end(), [rbd](const Used& u) { return u.rbd == rbd; })) {
      Observe("RBD link loop at " + Hex(rbd));
      out_of_rbds = true;
      ru_rbd_valid = false;
      break;
    }
    bool rbd_ok = true;
    const uint32_t link = Load32(rbd + kRbdLink, rbd_ok);
    const uint32_t buffer = Load32(rbd + kRbdBuffer, rbd_ok);
    const uint16_t size = Load16(rbd + kRbdSize, rbd_ok);
    if (!rbd_ok) {
      Observe("RBD at " + Hex(rbd) + " unreadable");
      out_of_rbds = true;
      ru_rbd_valid = false;
      break;
    }
    const uint16_t capacity = size & kRbdCountMask;
    const size_t n = std::min<size_t>(capacity, length - stored);
    if (n != 0 && !DmaWrite(ru_base + buffer, data + stored, n)) {
      dma_failed = true;  // the frame is reported overrun; its length stands
    }
    stored += n;
    used.push_back({rbd, static_cast<uint16_t>(n), capacity});
    ru_rbd = ru_base + link;
    if (size & kRbdEndOfList) {
      ru_rbd_valid = false;
      ru_rbd_after_el = true;
      out_of_rbds = true;  // nothing left for any later bytes or frames
    }
  } while (stored < length);
  return result;
}

void I8255x::Impl::CompleteFrame(uint32_t rfd, const uint8_t* frame_destination, size_t length,
                                 const Stored& result, const FrameErrors& errors) {
  const std::vector<UsedRbd>& used = rx_used;
  const size_t stored = result.bytes;
  const bool dma_failed = result.dma_failed;
  const bool bad = errors.crc || errors.alignment || errors.overrun || TooLong(length);
  const bool short_frame = length < kMinimumFrame;
  const bool cut = stored < length;
  const bool beyond = !used.empty() && faults.rbd_count_beyond_buffer.exchange(false);
  const bool no_f = !used.empty() && faults.rbd_missing_f.exchange(false);
  const bool no_eof = !used.empty() && faults.rbd_missing_eof.exchange(false);
  I8255xDescriptorHook* const hook = faults.descriptor_hook.load();
  for (size_t i = 0; i < used.size(); ++i) {
    const bool last = i + 1 == used.size();
    uint16_t count = used[i].count;
    if (last && beyond) count = static_cast<uint16_t>((used[i].capacity + 512) & kRbdCountMask);
    uint16_t flags = kRbdF;
    if (i == 0 && no_f) flags = 0;
    if (last && !no_eof) flags |= kRbdEof;
    uint16_t word = static_cast<uint16_t>(count | flags);
    if (hook != nullptr) word = hook->RbdCount(i, used.size(), word);
    Store16(used[i].rbd + kRbdCount, word);
  }
  uint16_t status = kRfdComplete;
  if (errors.crc) status |= kRfdCrc;
  if (errors.alignment) status |= kRfdAlignment;
  if (errors.overrun || dma_failed) status |= kRfdOverrun;
  if (short_frame) status |= kRfdTooShort;
  if (cut) status |= kRfdNoResources;
  if (!bad && !short_frame && !cut && !dma_failed) status |= kRfdOk;
  if (after_82557 &&
      !(individual_address_set && length >= 6 &&
        std::equal(individual_address.begin(), individual_address.end(), frame_destination))) {
    status |= kRfdNotIndividual;
  }
  if (status & kRfdOk) Count(kDumpRxGood);
  if (cut) Count(kDumpRxResourceErrors);
  uint16_t actual =
      static_cast<uint16_t>((std::min<size_t>(stored, kRbdCountMask)) | kRbdEof | kRbdF);
  if (hook != nullptr) {
    actual = hook->RfdActualCount(actual);
    status = hook->RfdStatus(status);
  }
  Store16(rfd + kRfdActualCount, actual);
  Store16(rfd + kRfdStatus, status);
}

}  // namespace sim
