// The command unit: the command list it walks from a CU start or resume,
// the blocks it executes (individual address setup, configure, multicast
// setup, transmit in simplified mode) and the status it writes back.
#include <algorithm>

#include "platform/nic/i8255x_impl.h"

namespace sim {

using namespace i8255x;

void I8255x::Impl::ExecuteCuCommand(uint8_t command) {
  switch (command) {
    case 0:
      break;
    case 1:  // CU start
      // Starting the CU while it is active is not allowed on the part, and
      // what it then does is not defined; the model runs nothing, so the
      // block given never completes.
      if (cu_state == kCuActive) {
        ProgrammingError("CU start of the block at " + Hex(cu_base + general_pointer) +
                         " while the command unit is active; ignored");
        break;
      }
      cu_next = cu_base + general_pointer;
      cu_work_pending = true;
      cu_state = kCuActive;
      ++cu_generation;
      cu_blocks_this_start = 0;
      break;
    case 2: {  // CU resume: the block after the one that suspended
      const bool suspended =
          cu_state == kCuSuspended ||
          (cu_state == kCuActive && !cu_work_pending && cu_after == kCuSuspended);
      if (!suspended) break;
      bool ok = true;
      const uint32_t link = Load32(cu_suspended_block + kCbLink, ok);
      if (!ok) {
        Observe("CU resume: suspended block at " + Hex(cu_suspended_block) + " unreadable");
        break;
      }
      cu_next = cu_base + link;
      cu_work_pending = true;
      cu_state = kCuActive;
      ++cu_generation;
      break;
    }
    case 4:  // load dump counters address (a choice: relative to the CU base,
             // like every other address the CU is given)
      dump_address = cu_base + general_pointer;
      break;
    case 5:  // dump statistics
      DumpStatistics(false);
      break;
    case 7:  // dump and reset statistics
      DumpStatistics(true);
      break;
    case 6:  // load CU base
      cu_base = general_pointer;
      break;
    default:
      counters.unknown_commands.fetch_add(1);
      break;
  }
}

// The part writes its counters to the dump area, then the completion word
// after them, last, so software polling that word finds the counters in
// place; dump-and-reset then clears the counters.
void I8255x::Impl::DumpStatistics(bool reset) {
  for (unsigned i = 0; i < kDumpCounterCount; ++i) Store32(dump_address + 4 * i, dump_counters[i]);
  Store32(dump_address + kDumpCompletionAt, reset ? kDumpResetDone : kDumpDone);
  if (reset) dump_counters = {};
}

void I8255x::Impl::RunCommandUnit() {
  std::unique_lock<std::mutex> lock(mu);
  if (cu_runner_active || !cu_work_pending) return;
  cu_runner_active.store(true, std::memory_order_relaxed);
  cu_runner_thread = std::this_thread::get_id();
  for (unsigned n = 0; n < kBlocksPerRun && cu_work_pending; ++n) {
    const uint32_t address = cu_next;
    const uint64_t generation = cu_generation;
    const uint64_t resets = reset_generation;
    BlockResult result = ExecuteBlock(address);
    if (result.sends) {
      Segment* wire = segment;
      counters.frames_sent.fetch_add(1);
      Count(kDumpTxGood);
      if (wire != nullptr) {
        // Never call another port with this controller's lock held: the
        // receiver may be sending to us at this very moment.
        lock.unlock();
        wire->Send(&self, tx_frame);
        lock.lock();
      }
    }
    if (resets != reset_generation) continue;  // a reset overtook the block
    FinishBlock(address, result, generation != cu_generation);
  }
  cu_runner_active.store(false, std::memory_order_release);
  if (runner_waiters != 0) runner_done.notify_all();
  const bool had_work = cu_work_pending;
  Advance();
  // A CU start that came due during the run has been accepted just now; its
  // blocks run at once, as on the part, not at some later register access
  // that software waiting on a block's status word in memory never makes.
  if (!had_work && WantsRun()) {
    lock.unlock();
    RunCommandUnit();
  }
}

I8255x::Impl::BlockResult I8255x::Impl::ExecuteBlock(uint32_t address) {
  BlockResult result;
  bool ok = true;
  result.command = Load16(address + kCbCommand, ok);
  result.link = Load32(address + kCbLink, ok);
  if (!ok) {
    result.readable = false;
    return result;
  }
  bool good = true;
  result.cost_ns = kBlockBusyNs;
  switch (result.command & kCbCommandCode) {
    case 0:  // no operation
      break;
    case 1: {  // individual address setup
      std::array<uint8_t, 6> address_bytes;
      if (DmaRead(address + kCbAddress, address_bytes.data(), address_bytes.size())) {
        individual_address = address_bytes;
        individual_address_set = true;
      } else {
        good = false;
      }
      break;
    }
    case 2: {  // configure: all 24 bytes kept, the first byte-count bytes applied
      std::array<uint8_t, 24> bytes;
      if (DmaRead(address + kCbConfigure, bytes.data(), bytes.size())) {
        const size_t count =
            std::min<size_t>(bytes[kCfgByteCount] & kCfgByteCountMask, bytes.size());
        std::copy_n(bytes.begin(), count, configuration.begin());
        last_configure = bytes;
        configured = true;
      } else {
        good = false;
      }
      break;
    }
    case 3: {  // multicast setup: byte count, then 6-byte addresses
      // The part keeps no list: each address sets one bit of a 64-bit hash
      // table, which replaces the previous one, and a group frame passes
      // when its address's bit is set (another address with the same hash
      // passes too).
      const uint16_t count = Load16(address + kCbMulticastCount, ok) & kCbCountMask;
      std::vector<uint8_t> bytes(count);
      if (ok && DmaRead(address + kCbMulticastList, bytes.data(), bytes.size())) {
        multicast_hash = {};
        for (size_t i = 0; i + 6 <= bytes.size(); i += 6) {
          const unsigned bit = MulticastHashIndex(bytes.data() + i);
          multicast_hash[bit >> 3] =
              static_cast<uint8_t>(multicast_hash[bit >> 3] | 1u << (bit & 7));
        }
      } else {
        good = false;
      }
      break;
    }
    case 4:
      good = Transmit(address, result.command, result);
      result.cost_ns = kTransmitBusyNs;
      break;
    default:  // load microcode, dump, diagnose: not modelled
      counters.unknown_commands.fetch_add(1);
      break;
  }
  result.status = static_cast<uint16_t>(kCbComplete | (good ? kCbOk : 0));
  return result;
}

// Simplified mode only: no TBD array, the frame right after the count word.
bool I8255x::Impl::Transmit(uint32_t address, uint16_t command, BlockResult& result) {
  bool ok = true;
  const uint32_t tbd_array = Load32(address + kTcbTbdArray, ok);
  const uint16_t count = Load16(address + kTcbCount, ok) & kCbCountMask;
  if (!ok) return false;
  if ((command & kCbFlexible) != 0 || tbd_array != kNoAddress || count == 0) {
    counters.transmit_errors.fetch_add(1);
    return false;
  }
  Frame& frame = tx_frame;
  frame.errors = FrameErrors{};
  frame.bytes.resize(count);
  if (!DmaRead(address + kTcbFrame, frame.bytes.data(), count)) return false;
  if ((configuration[kCfgSourceInsert] & kCfgNoSourceInsert) == 0 && count >= 12) {
    std::copy(individual_address.begin(), individual_address.end(), frame.bytes.begin() + 6);
  }
  if ((configuration[kCfgPadding] & kCfgPadTransmit) != 0 && frame.bytes.size() < kMinimumFrame) {
    frame.bytes.resize(kMinimumFrame, 0);
  }
  result.sends = true;
  return true;
}

void I8255x::Impl::FinishBlock(uint32_t address, const BlockResult& result, bool superseded) {
  if (!result.readable) {
    Observe("command block at " + Hex(address) + " unreadable; command unit stopped");
    if (!superseded) {
      cu_work_pending = false;
      cu_after = kCuIdle;
    }
    return;
  }
  counters.commands_executed.fetch_add(1);
  if (!faults.blocks_never_complete.load())
    Store16(address + kCbStatus, result.status);  // written last
  if (result.command & kCbInterrupt) Raise(kCx);
  cu_busy_until_ns = std::max(cu_busy_until_ns, machine.clock().NowNs()) + result.cost_ns;
  if (superseded) return;  // a later start or resume decides where the CU goes
  // End of list wins over suspend when a block has both: the CU goes idle.
  if (result.command & kCbEndOfList) {
    cu_work_pending = false;
    cu_after = kCuIdle;
  } else if (result.command & kCbSuspend) {
    cu_work_pending = false;
    cu_after = kCuSuspended;
    cu_suspended_block = address;
  } else {
    cu_next = cu_base + result.link;
    if (++cu_blocks_this_start == kLongCommandList) {
      Observe("command list of more than " + std::to_string(kLongCommandList) +
              " blocks without end of list or suspend (looping links?), at " + Hex(address));
    }
  }
}

}  // namespace sim
