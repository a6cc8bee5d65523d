#include "platform/pc/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "platform/pc/trace.h"

#if defined(__SANITIZE_ADDRESS__)
#define TORVELIN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TORVELIN_ASAN 1
#endif
#endif
#ifdef TORVELIN_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Under AddressSanitizer the arena's free space is poisoned, so a driver that
// touches a block after releasing it (or the model DMA-ing into one) is
// reported at the access, as with the host's own heap.
void ArenaPoison([[maybe_unused]] const void* p, [[maybe_unused]] size_t n) {
#ifdef TORVELIN_ASAN
  ASAN_POISON_MEMORY_REGION(p, n);
#endif
}
void ArenaUnpoison([[maybe_unused]] const void* p, [[maybe_unused]] size_t n) {
#ifdef TORVELIN_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
}

}  // namespace

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace sim {

namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

bool BelowFourGiB(void* p, size_t size) {
  const auto start = reinterpret_cast<uintptr_t>(p);
  return p != MAP_FAILED && start != 0 && start + size <= k4GiB;
}

// Memory whose every address fits in 32 bits, at the same address in every
// run where that is free: the bus addresses the driver writes to the
// controller (and the machine trace shows) are then the same run to run, so
// two traces of one bring-up can be compared line by line. Fixed addresses
// below 4 GiB are tried first, without replacing anything; where none is
// free (a sanitizer keeps low memory for itself), MAP_32BIT asks for the low
// 2 GiB wherever the kernel likes. A kernel that does not know
// MAP_FIXED_NOREPLACE takes the address as a hint, so every result is
// checked.
uint8_t* MapBelowFourGiB(size_t size) {
  constexpr int kProtection = PROT_READ | PROT_WRITE;
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  constexpr uint64_t kStep = uint64_t{64} << 20;
  // Well clear of a non-PIE program image and its heap; a sanitizer keeps
  // only the low 2 GiB for the program, so start low enough to fit many.
  constexpr uint64_t kFirst = uint64_t{256} << 20;
  for (uint64_t hint = kFirst; hint + size <= k4GiB; hint += kStep) {
    void* p =
        mmap(reinterpret_cast<void*>(hint), size, kProtection, kFlags | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED) continue;
    if (BelowFourGiB(p, size)) return static_cast<uint8_t*>(p);
    munmap(p, size);
  }
  void* p = mmap(nullptr, size, kProtection, kFlags | MAP_32BIT, -1, 0);
  if (BelowFourGiB(p, size)) return static_cast<uint8_t*>(p);
  if (p != MAP_FAILED) munmap(p, size);
  return nullptr;
}

// The memory of the last arena that went, kept for the next one: a process
// that makes machine after machine (a fuzz target boots one per input) then
// neither maps nor unmaps each time, nor takes a page fault for every page
// its driver touches again. It is kept as a fresh mapping looks: all zero,
// and under AddressSanitizer all poisoned.
struct Spare {
  uint8_t* base = nullptr;
  size_t size = 0;
};
std::mutex g_spare_mutex;
Spare g_spare;  // guarded by g_spare_mutex

void Unmap(uint8_t* base, size_t size) {
  // The next mapping at this address must not inherit the poison.
  ArenaUnpoison(base, size);
  munmap(base, size);
}

uint8_t* TakeSpare(size_t size) {
  std::lock_guard lock(g_spare_mutex);
  if (g_spare.base == nullptr) return nullptr;
  if (g_spare.size != size) {
    Unmap(g_spare.base, g_spare.size);
    g_spare = {};
    return nullptr;
  }
  return std::exchange(g_spare, {}).base;
}

// `touched`: the bytes at the start that may hold anything but zero (every
// block ever handed out lies there); the rest is given back to the host, in
// case a device wrote there.
void KeepSpare(uint8_t* base, size_t size, size_t touched) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  touched = (touched + page - 1) / page * page;  // the size is whole pages too
  ArenaUnpoison(base, touched);
  std::memset(base, 0, touched);
  ArenaPoison(base, touched);
  if (touched < size) madvise(base + touched, size - touched, MADV_DONTNEED);
  std::lock_guard lock(g_spare_mutex);
  if (g_spare.base != nullptr) Unmap(g_spare.base, g_spare.size);
  g_spare = {base, size};
}

}  // namespace

Arena::Arena(size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (bytes == 0 || bytes > k4GiB / 2) {
    throw std::runtime_error("Arena: size must be between 1 byte and 2 GiB");
  }
  size_ = (bytes + page - 1) / page * page;
  free_.emplace(0, size_);
  base_ = TakeSpare(size_);
  if (base_ != nullptr) return;
  base_ = MapBelowFourGiB(size_);
  if (base_ == nullptr) {
    throw std::runtime_error("Arena: cannot map " + std::to_string(size_) +
                             " bytes of memory below 4 GiB");
  }
  ArenaPoison(base_, size_);
}

Arena::~Arena() { KeepSpare(base_, size_, touched_); }

void* Arena::Allocate(size_t size) {
  if (size > size_) return nullptr;
  const size_t block = size == 0 ? kAlignment : (size + kAlignment - 1) / kAlignment * kAlignment;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = free_.begin(); it != free_.end(); ++it) {
    if (it->second < block) continue;
    const size_t offset = it->first;
    const size_t rest = it->second - block;
    free_.erase(it);
    if (rest != 0) free_.emplace(offset + block, rest);
    used_.emplace(offset, Used{block, size});
    outstanding_bytes_ += size;
    touched_ = std::max(touched_, offset + block);
    ArenaUnpoison(base_ + offset, block);
    return base_ + offset;
  }
  return nullptr;
}

void Arena::Free(void* pointer) {
  if (pointer == nullptr) return;
  const auto* p = static_cast<uint8_t*>(pointer);
  std::lock_guard<std::mutex> lock(mutex_);
  auto used =
      p >= base_ && p < base_ + size_ ? used_.find(static_cast<size_t>(p - base_)) : used_.end();
  if (used == used_.end()) {
    // A driver bug (double free, or a pointer from elsewhere); going on would
    // corrupt the allocator.
    std::fprintf(stderr, "Arena::Free: %p was not allocated from this arena (or already freed)\n",
                 pointer);
    std::abort();
  }
  size_t offset = used->first;
  size_t size = used->second.size;
  // Only the block itself: its free neighbours are poisoned already, and
  // poisoning the merged range would rewrite the shadow of the whole free
  // rest of the arena on every release.
  ArenaPoison(base_ + offset, size);
  outstanding_bytes_ -= used->second.requested;
  used_.erase(used);

  // Merge with the free neighbours on both sides.
  auto next = free_.lower_bound(offset);
  if (next != free_.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second == offset) {
      offset = previous->first;
      size += previous->second;
      free_.erase(previous);
    }
  }
  if (next != free_.end() && offset + size == next->first) {
    size += next->second;
    free_.erase(next);
  }
  free_.emplace(offset, size);
}

size_t Arena::OutstandingBlocks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_.size();
}

size_t Arena::OutstandingBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outstanding_bytes_;
}

size_t Arena::FreeBlocks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return free_.size();
}

// ---- Dma ----

bool Dma::Refuse(uint32_t address, size_t length, bool write, size_t align) {
  const char* reason = nullptr;
  if (!bus_master_.load(std::memory_order_acquire)) {
    reason = "bus mastering disabled";
  } else if (!arena_.Contains(address, length)) {
    reason = "outside memory";
  } else if (address % align != 0) {
    reason = "misaligned";
  }
  // The bus master bit may have come back since the inline check.
  if (reason == nullptr) return true;
  if (Trace* trace = Trace::Active()) [[unlikely]] {
    trace->DmaRefused(&bus_master_, address, length, write, reason);
  }
  error_count_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mutex_);
  if (errors_.size() < kKeptErrors) {
    errors_.push_back(BusError{address, static_cast<uint32_t>(length), write, reason});
  }
  return false;
}

bool Dma::Read(uint32_t address, void* destination, size_t length) {
  if (length == 0) return true;
  if (!Check(address, length, false, 1)) {
    std::memset(destination, 0xFF, length);
    return false;
  }
  std::memcpy(destination, arena_.ToPointer(address), length);
  if (Trace* trace = Trace::Active()) [[unlikely]] {
    trace->Dma(&bus_master_, "read", address, length, 0, 0);
  }
  return true;
}

bool Dma::Write(uint32_t address, const void* source, size_t length) {
  if (length == 0) return true;
  if (!Check(address, length, true, 1)) return false;
  std::memcpy(arena_.ToPointer(address), source, length);
  if (Trace* trace = Trace::Active()) [[unlikely]] {
    trace->Dma(&bus_master_, "write", address, length, 0, 0);
  }
  return true;
}

uint16_t Dma::Load16(uint32_t address, bool* ok) {
  const bool good = Check(address, 2, false, 2);
  if (ok != nullptr) *ok = good;
  if (!good) return 0xFFFF;
  const uint16_t value = __atomic_load_n(
      reinterpret_cast<const uint16_t*>(arena_.ToPointer(address)), __ATOMIC_ACQUIRE);
  if (Trace* trace = Trace::Active()) [[unlikely]] {
    trace->Dma(&bus_master_, "load", address, 2, 2, value);
  }
  return value;
}

uint32_t Dma::Load32(uint32_t address, bool* ok) {
  const bool good = Check(address, 4, false, 2);
  if (ok != nullptr) *ok = good;
  if (!good) return 0xFFFFFFFF;
  uint8_t* p = arena_.ToPointer(address);
  uint32_t value;
  if (address % 4 == 0) {
    value = __atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_ACQUIRE);
  } else {
    const auto* half = reinterpret_cast<const uint16_t*>(p);
    const uint32_t low = __atomic_load_n(half, __ATOMIC_ACQUIRE);
    const uint32_t high = __atomic_load_n(half + 1, __ATOMIC_ACQUIRE);
    value = low | high << 16;
  }
  if (Trace* trace = Trace::Active()) [[unlikely]] {
    trace->Dma(&bus_master_, "load", address, 4, 4, value);
  }
  return value;
}

bool Dma::Store16(uint32_t address, uint16_t value) {
  if (!Check(address, 2, true, 2)) return false;
  __atomic_store_n(reinterpret_cast<uint16_t*>(arena_.ToPointer(address)), value, __ATOMIC_RELEASE);
  if (Trace* trace = Trace::Active()) [[unlikely]] {
    trace->Dma(&bus_master_, "store", address, 2, 2, value);
  }
  return true;
}

bool Dma::Store32(uint32_t address, uint32_t value) {
  if (!Check(address, 4, true, 2)) return false;
  uint8_t* p = arena_.ToPointer(address);
  if (address % 4 == 0) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(p), value, __ATOMIC_RELEASE);
  } else {
    auto* half = reinterpret_cast<uint16_t*>(p);
    __atomic_store_n(half, static_cast<uint16_t>(value), __ATOMIC_RELEASE);
    __atomic_store_n(half + 1, static_cast<uint16_t>(value >> 16), __ATOMIC_RELEASE);
  }
  if (Trace* trace = Trace::Active()) [[unlikely]] {
    trace->Dma(&bus_master_, "store", address, 4, 4, value);
  }
  return true;
}

std::vector<BusError> Dma::errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

uint64_t Dma::error_count() const { return error_count_.load(std::memory_order_relaxed); }

}  // namespace sim
