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
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class Arena {
 public:
  // Maps `bytes` of memory below 4 GiB; throws std::runtime_error when the
  // host cannot give it.
  explicit Arena(size_t bytes = 64u << 20);
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Thread-safe first-fit allocation, 16-byte aligned; null when full.
  void* Allocate(size_t size);
  void Free(void* block);
  // Blocks handed out and not yet freed.
  size_t OutstandingBlocks() const;
  size_t OutstandingBytes() const;

  bool Contains(uint32_t address, size_t length) const;
  uint8_t* ToPointer(uint32_t address) const;
  static uint32_t ToAddress(const void* pointer);

 private:
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  mutable std::mutex mutex_;
  // Allocator state, guarded by mutex_ (implementation-defined).
  struct Block {
    size_t offset;
    size_t size;
  };
  std::vector<Block> free_;  // sorted by offset, coalesced
  std::vector<Block> used_;
};

// A bus error: a DMA access the bus refused.
struct BusError {
  uint32_t address;
  uint32_t length;
  bool write;
  std::string reason;  // "outside memory" or "bus mastering disabled"
};

// The only way a device touches memory. Every access is checked against the
// arena and the function's bus-master enable; a refused access is recorded
// and not performed (reads then give all ones). Descriptor words are read and
// written with single-copy-atomic accesses (acquire loads, release stores) so
// that the driver's own accessors pair with them.
class Dma {
 public:
  Dma(Arena& arena, std::atomic<bool>& bus_master) : arena_(arena), bus_master_(bus_master) {}

  bool Read(uint32_t address, void* destination, size_t length);
  bool Write(uint32_t address, const void* source, size_t length);
  uint16_t Load16(uint32_t address, bool* ok = nullptr);
  uint32_t Load32(uint32_t address, bool* ok = nullptr);
  bool Store16(uint32_t address, uint16_t value);
  bool Store32(uint32_t address, uint32_t value);

  std::vector<BusError> errors() const;
  uint64_t error_count() const;

 private:
  bool Check(uint32_t address, size_t length, bool write, size_t align);

  Arena& arena_;
  std::atomic<bool>& bus_master_;
  mutable std::mutex mutex_;
  std::vector<BusError> errors_;  // guarded by mutex_; the first 256 kept
  std::atomic<uint64_t> error_count_{0};
};

}  // namespace sim
