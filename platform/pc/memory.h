// Physical memory below 4 GiB and the DMA path into it.
//
// The controller's descriptors hold 32-bit physical addresses and the driver
// hands it plain pointers, so every block the runtime's malloc gives the
// driver lies in one arena mapped below 4 GiB. A hardware address is the
// pointer truncated to 32 bits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

class Arena {
 public:
  static constexpr size_t kAlignment = 16;

  // Maps `bytes` (rounded up to whole pages) of memory below 4 GiB, all
  // zero; throws std::runtime_error when the host cannot give it.
  explicit Arena(size_t bytes = 64u << 20);
  // Whatever is still allocated goes. The memory is cleared and kept for the
  // next arena of the same size the process makes.
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Thread-safe first-fit allocation, 16-byte aligned; null when no free
  // block is large enough. A request of 0 bytes gets a distinct 16-byte block
  // (so that every successful call can be freed). The memory is not cleared.
  void* Allocate(size_t size);
  // Releases a block and merges it with free neighbours. Null is ignored. A
  // pointer that Allocate did not return (or a block freed twice) is a bug in
  // the caller: the process aborts with a message.
  void Free(void* block);
  // Blocks handed out and not yet freed, and the bytes asked for in them.
  size_t OutstandingBlocks() const;
  size_t OutstandingBytes() const;
  // Free blocks (1 when everything is free: the free list is coalesced).
  size_t FreeBlocks() const;

  uint8_t* base() const { return base_; }
  size_t size() const { return size_; }
  // True when [address, address + length) lies inside the arena.
  bool Contains(uint32_t address, size_t length) const {
    const uint64_t offset = uint64_t{address} - ToAddress(base_);
    return address >= ToAddress(base_) && offset <= size_ && length <= size_ - offset;
  }
  // The memory at a bus address inside the arena; null outside it.
  uint8_t* ToPointer(uint32_t address) const {
    return Contains(address, 1) ? base_ + (address - ToAddress(base_)) : nullptr;
  }
  // The bus address of a pointer: the pointer truncated to 32 bits.
  static uint32_t ToAddress(const void* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
  }

 private:
  struct Used {
    size_t size;       // the block, rounded up to kAlignment
    size_t requested;  // what the caller asked for
  };

  uint8_t* base_ = nullptr;  // set by the constructor, read-only after
  size_t size_ = 0;          // set by the constructor, read-only after
  mutable std::mutex mutex_;
  std::map<size_t, size_t> free_;          // guarded by mutex_: offset -> size, disjoint, coalesced
  std::unordered_map<size_t, Used> used_;  // guarded by mutex_: offset -> block
  size_t outstanding_bytes_ = 0;           // guarded by mutex_
  size_t touched_ = 0;  // guarded by mutex_: the end of the furthest block ever handed out
};

// A bus error: a DMA access the bus refused.
struct BusError {
  uint32_t address;
  uint32_t length;
  bool write;
  std::string reason;  // "outside memory", "bus mastering disabled" or "misaligned"
};

// The only way a device touches memory. Every access is checked against the
// arena and the function's bus-master enable; a refused access is recorded
// and not performed (reads then give all ones). Descriptor words are read and
// written with single-copy-atomic accesses (acquire loads, release stores) so
// that the driver's own accessors (HwLoad16/HwStore16, ...) pair with them.
//
// Alignment: Load16/Store16 need a 2-aligned address. Load32/Store32 at a
// 4-aligned address are one atomic access; at an address that is only
// 2-aligned (the 32-bit fields of receive buffer descriptors, which sit in
// 18-byte slots) they are two 16-bit atomic accesses, low half first, exactly
// as the driver's HwLoadUnaligned32/HwStoreUnaligned32 make them. Such fields
// never change while the controller uses them, so the split is not
// observable. An odd address for a 16- or 32-bit word is refused as
// "misaligned": it can only come from a wild link or pointer in a descriptor.
// Read/Write move frame data with plain copies; the status words around them
// order those copies.
//
// A zero-length Read/Write touches nothing and always succeeds.
class Dma {
 public:
  static constexpr size_t kKeptErrors = 256;

  Dma(Arena& arena, std::atomic<bool>& bus_master) : arena_(arena), bus_master_(bus_master) {}

  bool Read(uint32_t address, void* destination, size_t length);
  bool Write(uint32_t address, const void* source, size_t length);
  uint16_t Load16(uint32_t address, bool* ok = nullptr);
  uint32_t Load32(uint32_t address, bool* ok = nullptr);
  bool Store16(uint32_t address, uint16_t value);
  bool Store32(uint32_t address, uint32_t value);

  // The first kKeptErrors refusals, and how many there have been in all.
  std::vector<BusError> errors() const;
  uint64_t error_count() const;

 private:
  // Every descriptor word and frame of every frame passes here, so the
  // common case (an access the bus allows) is decided inline.
  bool Check(uint32_t address, size_t length, bool write, size_t align) {
    if (bus_master_.load(std::memory_order_acquire) && arena_.Contains(address, length) &&
        address % align == 0) [[likely]] {
      return true;
    }
    return Refuse(address, length, write, align);
  }
  // Records a refused access; returns false.
  bool Refuse(uint32_t address, size_t length, bool write, size_t align);

  Arena& arena_;
  std::atomic<bool>& bus_master_;  // the PCI function's command bit; any thread reads it
  mutable std::mutex mutex_;
  std::vector<BusError> errors_;          // guarded by mutex_; the first kKeptErrors kept
  std::atomic<uint64_t> error_count_{0};  // every refusal; any thread adds, relaxed
};

}  // namespace sim
