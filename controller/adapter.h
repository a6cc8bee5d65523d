// The per-controller record and the blocks clients read out of it.
#pragma once

#include <cstdint>

#include "controller/hardware.h"
#include "device/interface.h"
#include "host/host.h"

// Adds 1 to a counter that several threads and the interrupt service update.
inline void NicCount(uint32_t& counter) { __atomic_fetch_add(&counter, 1u, __ATOMIC_RELAXED); }

// Adapter Flags
constexpr uint32_t AdapterPolled = 0x1;
constexpr uint32_t AdapterSuspended = 0x2;
constexpr uint32_t AdapterAborted = 0x4;

constexpr uint32_t EepromImageWords = 256;

// One per usable controller; allocated zero-filled by instance creation and
// never released once published. Fields in their defined order. Natural
// alignment is kept (the controller's descriptor words are reached with
// atomic accesses), so the compiler may pad between fields.
//
// Who touches what:
// - identity, Name, Description, IoBase, Irq, DevFn, Bus, InterruptHandle,
//   HaObject, QueueStart/QueueEnd: written by creation before publication,
//   read-only afterwards.
// - Flags: changed by the availability handler with atomic read-modify-write,
//   read without a lock everywhere (NicLoadFlags).
// - Clients: changed under DriverMutex with interrupts disabled; walked by the
//   interrupt service (which runs with interrupts excluded).
// - Filter: changed under DriverMutex, with atomic stores; a filter change
//   reads it atomically without the mutex to see whether it adds bits.
// - MacAddress, Link*, EepromImage, command blocks: written by bring-up and
//   by command issue; bring-up and every timed command run under DriverMutex.
// - receive descriptors, their cursors, QueueWrite and slot contents: the
//   interrupt service, and bring-up while the interrupt service leaves the
//   adapter alone. Readers of QueueWrite and slots disable interrupts.
// - Statistics: atomic increments (NicCount), copied out without a lock.
struct NicAdapter {
  NicAdapter* Next;
  KeList Clients;
  const char* Description;
  char Name[128];
  AdapterStatistics Statistics;
  AdapterInfo Info;
  uint32_t Flags;
  KHandle HaObject;
  KHandle InterruptHandle;
  uint16_t VendorId;
  uint16_t DeviceId;
  uint32_t IoBase;
  uint8_t Irq;
  uint8_t DevFn;
  uint8_t Bus;
  uint8_t MacAddress[6];
  uint32_t Filter;
  uint16_t LinkSpeed;
  uint16_t LinkDuplex;
  uint8_t LinkForced;
  uint16_t EepromImage[EepromImageWords];
  CommandBlock* CommandBlocks[2];
  alignas(16) CommandBlock Blocks[2];
  uint32_t NextCommandBlock;
  uint32_t CurrentCommandBlock;
  uint8_t* RxRbdHead;
  uint8_t* RxRbdTail;
  alignas(16) ReceiveBufferDescriptor Rbds[RbdCount];
  ReceiveFrameDescriptor* RxRfdHead;
  ReceiveFrameDescriptor* RxRfdTail;
  alignas(16) ReceiveFrameDescriptor Rfds[RfdCount];
  alignas(16) uint8_t RxBuffers[RbdCount][RxBufferSize];
  ReceiveQueueSlot* QueueStart;
  ReceiveQueueSlot* QueueEnd;
  ReceiveQueueSlot* QueueWrite;
  // Room for the self-test result block (NicSelfTest): the controller writes
  // it by DMA, possibly after the test has been given up on, so it lives as
  // long as the record. The block starts at the first 16-byte boundary inside
  // this area, whatever the record's own alignment.
  uint8_t SelfTestArea[SelfTestAlignment + sizeof(SelfTestBlock)];
};
static_assert(offsetof(NicAdapter, Next) == 0);

// The record as the driver's 32-bit kernel lays it out: every field in its
// order, each starting where the one before it ends, except for five gaps.
// Three come from the alignment x86 gives the field's own type, which the
// code relies on: the compiler reaches the field with aligned word accesses,
// and an atomic access is single-copy atomic only when it does not straddle
// a cache line. Two come from the 16-byte boundaries the structures the
// controller reads by DMA start on (their offsets in the record are multiples
// of 16, so an allocator that gives 16-byte-aligned blocks gives aligned
// structures). The other DMA structures fall on such boundaries by
// themselves.
#if __SIZEOF_POINTER__ == 4
static_assert(offsetof(NicAdapter, Next) == 0);
static_assert(offsetof(NicAdapter, Clients) == 4);
static_assert(offsetof(NicAdapter, Description) == 8);
static_assert(offsetof(NicAdapter, Name) == 12);
static_assert(offsetof(NicAdapter, Statistics) == 140);
static_assert(offsetof(NicAdapter, Info) == 288);
static_assert(offsetof(NicAdapter, Flags) == 340);
static_assert(offsetof(NicAdapter, HaObject) == 344);
static_assert(offsetof(NicAdapter, InterruptHandle) == 348);
static_assert(offsetof(NicAdapter, VendorId) == 352);
static_assert(offsetof(NicAdapter, DeviceId) == 354);
static_assert(offsetof(NicAdapter, IoBase) == 356);
static_assert(offsetof(NicAdapter, Irq) == 360);
static_assert(offsetof(NicAdapter, DevFn) == 361);
static_assert(offsetof(NicAdapter, Bus) == 362);
static_assert(offsetof(NicAdapter, MacAddress) == 363);
// Gap of 3 bytes (369-371): Filter is loaded and stored atomically.
static_assert(offsetof(NicAdapter, Filter) == 372);
static_assert(offsetof(NicAdapter, LinkSpeed) == 376);
static_assert(offsetof(NicAdapter, LinkDuplex) == 378);
static_assert(offsetof(NicAdapter, LinkForced) == 380);
// Gap of 1 byte (381): the EEPROM words are read and written as 16-bit words.
static_assert(offsetof(NicAdapter, EepromImage) == 382);
// Gap of 2 bytes (894-895): the two pointers are read as 32-bit words.
static_assert(offsetof(NicAdapter, CommandBlocks) == 896);
// Gap of 8 bytes (904-911): the command blocks start on a 16-byte boundary.
static_assert(offsetof(NicAdapter, Blocks) == 912);
static_assert(sizeof(NicAdapter::Blocks) == 2 * (16 + 1536));
static_assert(offsetof(NicAdapter, NextCommandBlock) == 4016);
static_assert(offsetof(NicAdapter, CurrentCommandBlock) == 4020);
static_assert(offsetof(NicAdapter, RxRbdHead) == 4024);
static_assert(offsetof(NicAdapter, RxRbdTail) == 4028);
static_assert(offsetof(NicAdapter, Rbds) == 4032);  // on a 16-byte boundary already
static_assert(sizeof(NicAdapter::Rbds) == 32 * 18);
static_assert(offsetof(NicAdapter, RxRfdHead) == 4608);
static_assert(offsetof(NicAdapter, RxRfdTail) == 4612);
// Gap of 8 bytes (4616-4623): the frame descriptors start on a 16-byte boundary.
static_assert(offsetof(NicAdapter, Rfds) == 4624);
static_assert(sizeof(NicAdapter::Rfds) == 34 * 16);
static_assert(offsetof(NicAdapter, RxBuffers) == 5168);  // on a 16-byte boundary already
static_assert(sizeof(NicAdapter::RxBuffers) == 32 * 4096);
static_assert(offsetof(NicAdapter, QueueStart) == 136240);
static_assert(offsetof(NicAdapter, QueueEnd) == 136244);
static_assert(offsetof(NicAdapter, QueueWrite) == 136248);
// The driver's own area after the defined fields, and the padding that keeps
// the record a multiple of its 16-byte alignment.
static_assert(offsetof(NicAdapter, SelfTestArea) == 136252);
static_assert(sizeof(NicAdapter) == 136288);
static_assert(alignof(NicAdapter) == 16);
#endif

inline uint32_t NicLoadFlags(const NicAdapter* adapter) {
  return __atomic_load_n(&adapter->Flags, __ATOMIC_ACQUIRE);
}
