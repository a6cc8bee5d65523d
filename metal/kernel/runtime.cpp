// The host's runtime library (host:: in host/host.h), the block functions the
// compiler may call on its own, and the heap behind malloc and free.
#include "metal/kernel/metal.h"

extern "C" {
void* memcpy(void* destination, const void* source, size_t count);
void* memmove(void* destination, const void* source, size_t count);
void* memset(void* block, int value, size_t count);
int memcmp(const void* a, const void* b, size_t count);
}

// ---- heap
// First fit over one region, blocks in address order, each preceded by a
// 16-byte header; adjacent free blocks merge on free. Every block is 16-byte
// aligned (the driver's records hold 16-byte aligned controller structures).
// Threads switch only at kernel calls and no interrupt path allocates, so the
// heap needs no lock.
namespace {

struct Block {
  uint32_t Size;  // bytes after the header
  uint32_t Free;
  Block* Next;  // the next block in address order
  uint32_t Magic;
};
static_assert(sizeof(Block) == 16);
constexpr uint32_t BlockMagic = 0x6D657461;

Block* HeapFirst = nullptr;
uint32_t HeapUsed = 0;

}  // namespace

void HeapInit(uintptr_t start, uintptr_t end) {
  start = (start + 15) & ~uintptr_t{15};
  end &= ~uintptr_t{15};
  HeapFirst = reinterpret_cast<Block*>(start);
  HeapFirst->Size = static_cast<uint32_t>(end - start - sizeof(Block));
  HeapFirst->Free = 1;
  HeapFirst->Next = nullptr;
  HeapFirst->Magic = BlockMagic;
  HeapUsed = 0;
}

uint32_t HeapInUse() { return HeapUsed; }

namespace host {

void* malloc(uint32_t size) {
  if (size == 0) return nullptr;
  size = (size + 15) & ~uint32_t{15};
  for (Block* b = HeapFirst; b != nullptr; b = b->Next) {
    if (!b->Free || b->Size < size) continue;
    if (b->Size >= size + 2 * sizeof(Block)) {
      Block* rest = reinterpret_cast<Block*>(reinterpret_cast<uint8_t*>(b + 1) + size);
      rest->Size = b->Size - size - static_cast<uint32_t>(sizeof(Block));
      rest->Free = 1;
      rest->Next = b->Next;
      rest->Magic = BlockMagic;
      b->Next = rest;
      b->Size = size;
    }
    b->Free = 0;
    HeapUsed += b->Size;
    return b + 1;
  }
  return nullptr;
}

void free(void* pointer) {
  if (pointer == nullptr) return;
  Block* b = static_cast<Block*>(pointer) - 1;
  if (b->Magic != BlockMagic || b->Free) {
    Log("free of %p: not a live block, ignored", pointer);
    return;
  }
  b->Free = 1;
  HeapUsed -= b->Size;
  // Merge with the following free blocks, then let a free predecessor take
  // this one (a walk from the start: the heap holds few blocks).
  while (b->Next != nullptr && b->Next->Free) {
    b->Size += b->Next->Size + static_cast<uint32_t>(sizeof(Block));
    b->Next = b->Next->Next;
  }
  for (Block* p = HeapFirst; p != nullptr; p = p->Next) {
    if (p->Next == b && p->Free) {
      p->Size += b->Size + static_cast<uint32_t>(sizeof(Block));
      p->Next = b->Next;
      break;
    }
  }
}

void* memset(void* block, int value, uint32_t count) { return ::memset(block, value, count); }
int memcmp(const void* a, const void* b, uint32_t count) { return ::memcmp(a, b, count); }

// strcpy, strcat, strcmpi, atol and ultoa: platform/kernel/host_text.cpp,
// shared with the simulated PC's kernel.

int printf(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  const int n = ConsoleFormatV(text, sizeof text, format, arguments);
  va_end(arguments);
  return n;
}

}  // namespace host

// ---- the block functions a freestanding compiler may emit calls to
extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
  uint8_t* d = static_cast<uint8_t*>(destination);
  const uint8_t* s = static_cast<const uint8_t*>(source);
  while (count-- != 0) *d++ = *s++;
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  uint8_t* d = static_cast<uint8_t*>(destination);
  const uint8_t* s = static_cast<const uint8_t*>(source);
  if (d < s) {
    while (count-- != 0) *d++ = *s++;
  } else {
    while (count-- != 0) d[count] = s[count];
  }
  return destination;
}

void* memset(void* block, int value, size_t count) {
  uint8_t* d = static_cast<uint8_t*>(block);
  while (count-- != 0) *d++ = static_cast<uint8_t>(value);
  return block;
}

int memcmp(const void* a, const void* b, size_t count) {
  const uint8_t* x = static_cast<const uint8_t*>(a);
  const uint8_t* y = static_cast<const uint8_t*>(b);
  for (size_t i = 0; i < count; ++i) {
    if (x[i] != y[i]) return x[i] - y[i];
  }
  return 0;
}

}  // extern "C"
