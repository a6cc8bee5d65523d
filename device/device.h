// The device functions clients call, and the flow of frames between clients
// and an adapter's receive queue and command unit.
#pragma once

#include <cstdint>

#include "controller/adapter.h"

// Device function codes
constexpr uint32_t DeviceOpen = 2;
constexpr uint32_t DeviceClose = 3;
constexpr uint32_t DeviceRead = 4;
constexpr uint32_t DeviceWrite = 5;
constexpr uint32_t DeviceControl = 14;

// Control codes
constexpr uint32_t MacControlSetFilter = 0x80001;
constexpr uint32_t MacControlClientStatistics = 0x80002;
constexpr uint32_t MacControlAdapterStatistics = 0x80003;
constexpr uint32_t MacControlGlobalStatistics = 0x80004;
constexpr uint32_t MacControlAdapterInfo = 0x80005;

// One per open. Who touches what:
// - Next: the adapter's Clients list, changed under DriverMutex with
//   interrupts disabled.
// - Adapter, Event: written at open, read-only afterwards.
// - Statistics: atomic increments, copied out without a lock.
// - Filter: under DriverMutex or by its own client's thread.
// - ReadPointer, PendingBuffer, PendingSize, PendingLength: the client's read
//   (under DriverMutex with interrupts disabled) and the interrupt service's
//   delivery (which runs with interrupts excluded).
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

extern GlobalStatistics DriverStatistics;

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
