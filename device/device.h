// The device functions clients call, and the flow of frames between clients
// and an adapter's receive queue and command unit.
#pragma once

#include <cstdint>

#include "controller/adapter.h"

// One per open. Who touches what:
// - Next: the adapter's Clients list, changed under DriverMutex with
//   interrupts disabled (open's append, close's removal); walked by the
//   interrupt service's delivery (which runs with interrupts excluded) and by
//   close under DriverMutex.
// - Adapter, Event: written at open before the record is on the list,
//   read-only afterwards.
// - Statistics: atomic increments (NicCount), copied out without a lock.
// - Filter: atomic stores by its own client's filter change (any time) and by
//   open; atomic loads by close's union under DriverMutex.
// - ReadPointer: set by open under DriverMutex with interrupts disabled, in the
//   same section that appends the record, so that no frame can be queued
//   between the two; moved by the client's read (under DriverMutex with
//   interrupts disabled) and by the interrupt service's delivery.
// - PendingBuffer, PendingSize, PendingLength: the pending read. Registered by
//   the client's read under DriverMutex with interrupts disabled; completed
//   and cleared by delivery in the interrupt service; ended and cleared by
//   close under DriverMutex with interrupts disabled. PendingLength points at
//   a local of the blocked read, never at the caller's variable: the read
//   copies it out after its wait, and close stores NicReadClosed there.
struct NicClient {
  NicClient* Next;
  NicAdapter* Adapter;
  ClientStatistics Statistics;
  uint32_t Filter;
  KHandle Event;
  ReceiveQueueSlot* ReadPointer;
  void* PendingBuffer;
  uint32_t PendingSize;
  uint32_t* PendingLength;
};
static_assert(offsetof(NicClient, Next) == 0);
// The record as the driver's 32-bit kernel lays it out: every field in its
// order, with no gap.
#if __SIZEOF_POINTER__ == 4
static_assert(offsetof(NicClient, Adapter) == 4);
static_assert(offsetof(NicClient, Statistics) == 8);
static_assert(offsetof(NicClient, Filter) == 52);
static_assert(offsetof(NicClient, Event) == 56);
static_assert(offsetof(NicClient, ReadPointer) == 60);
static_assert(offsetof(NicClient, PendingBuffer) == 64);
static_assert(offsetof(NicClient, PendingSize) == 68);
static_assert(offsetof(NicClient, PendingLength) == 72);
static_assert(sizeof(NicClient) == 76);
#endif

// Stored by close at PendingLength of a read it ends: the woken read returns
// without touching the released record. Never a frame length.
constexpr uint32_t NicReadClosed = 0xFFFFFFFF;

// The driver-wide counters, copied out by MacControlGlobalStatistics. Atomic
// increments (NicCount) from client threads and the interrupt service; zeroed
// by DeviceResetImage before any thread exists.
extern GlobalStatistics DriverStatistics;
// Zeroes DriverStatistics, as loading a fresh image does (DriverImageEntry).
void DeviceResetImage();

uint32_t NicDeviceFunction(uint32_t function, void* context, void* instance, uintptr_t arg1,
                           uintptr_t arg2, uintptr_t arg3);
uint32_t NicOpen(NicAdapter* adapter, NicClient** place);
uint32_t NicClose(NicClient* client);
uint32_t NicSetFilter(NicClient* client, uint32_t filter);
uint32_t NicControl(NicAdapter* adapter, NicClient* client, uint32_t code, uintptr_t argument,
                    uint32_t size);
uint32_t NicRead(NicClient* client, void* buffer, uint32_t size, uint32_t* length);
uint32_t NicWrite(NicClient* client, const void* frame, uint32_t length, uint32_t* transferred);
void NicDeliverPacket(NicAdapter* adapter);
void NicCountReceivedFrame(NicClient* client, const void* buffer, uint32_t length);
