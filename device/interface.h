// The client contract of /DEV/MAC/TORVELIN/<n>: the device function codes a
// client calls with, the control codes and the blocks they return, the filter
// bits, the status codes every call answers with and the availability events
// the kernel delivers. Everything a client program needs and nothing of the
// driver's own records or the controller's formats: the tool, the benches and
// the fuzz targets see the driver through this header and the kernel only.
// The driver includes it too, so it stays freestanding (<cstdint> and
// <cstddef> only).
#pragma once

#include <cstddef>
#include <cstdint>

// Status codes
constexpr uint32_t StatusSuccess = 0;
constexpr uint32_t StatusBadParameter = 2;
constexpr uint32_t StatusNoResources = 3;
constexpr uint32_t StatusNoController = 4;
constexpr uint32_t StatusUnrecognised = 7;
constexpr uint32_t StatusControllerFailure = 11;
constexpr uint32_t StatusForeignClient = 12;
constexpr uint32_t StatusBadControlCode = 13;
constexpr uint32_t StatusSuspended = 19;
constexpr uint32_t StatusChangeDetected = 104;
constexpr uint32_t StatusFrameTooLong = 0x10000000;
constexpr uint32_t StatusFrameTooShort = 0x10000001;

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

// Availability event codes, delivered to the driver through the kernel.
constexpr uint32_t HaEventSuspend = 100;
constexpr uint32_t HaEventResume = 101;
constexpr uint32_t HaEventAbort = 102;

// The longest frame a write accepts and a read returns, and the shortest a
// write accepts (destination to the end of the data, no frame check sequence).
constexpr uint32_t MaximumFrameLength = 1536;
constexpr uint32_t MinimumFrameLength = 60;

// Filter bits
constexpr uint32_t FilterDirected = 0x1;
constexpr uint32_t FilterAllMulticast = 0x2;
constexpr uint32_t FilterBroadcast = 0x4;
constexpr uint32_t FilterPromiscuous = 0x8;

// ---- Blocks returned by the control codes: arrays of 32-bit words ----
// Counters are updated from client threads and the interrupt service with
// atomic increments (NicCount); the words stay plain little-endian words.
struct ClientStatistics {
  uint32_t Reserved0;
  uint32_t TxDirected;
  uint32_t TxMulticast;
  uint32_t TxBroadcast;
  uint32_t RxDirected;
  uint32_t RxMulticast;
  uint32_t RxBroadcast;
  uint32_t ReadErrors;
  uint32_t WriteErrors;
  uint32_t WriteTooShort;
  uint32_t WriteTooLong;
};
static_assert(sizeof(ClientStatistics) == 44);
static_assert(offsetof(ClientStatistics, Reserved0) == 0);
static_assert(offsetof(ClientStatistics, TxDirected) == 4);
static_assert(offsetof(ClientStatistics, TxMulticast) == 8);
static_assert(offsetof(ClientStatistics, TxBroadcast) == 12);
static_assert(offsetof(ClientStatistics, RxDirected) == 16);
static_assert(offsetof(ClientStatistics, RxMulticast) == 20);
static_assert(offsetof(ClientStatistics, RxBroadcast) == 24);
static_assert(offsetof(ClientStatistics, ReadErrors) == 28);
static_assert(offsetof(ClientStatistics, WriteErrors) == 32);
static_assert(offsetof(ClientStatistics, WriteTooShort) == 36);
static_assert(offsetof(ClientStatistics, WriteTooLong) == 40);

// Shared by the adapter block (after 20 reserved words) and the global block.
struct TrafficCounters {
  uint32_t Reserved0;
  uint32_t Reserved1;
  uint32_t TxDirected;
  uint32_t TxMulticast;
  uint32_t TxBroadcast;
  uint32_t RxDirected;
  uint32_t RxMulticast;
  uint32_t RxBroadcast;
  uint32_t ReadErrors;
  uint32_t WriteErrors;
  uint32_t RxTooShort;
  uint32_t Reserved11;
  uint32_t RxCrcErrors;
  uint32_t RxAlignmentErrors;
  uint32_t RxOverruns;
  uint32_t WriteTooShort;
  uint32_t WriteTooLong;
};
static_assert(sizeof(TrafficCounters) == 68);
static_assert(offsetof(TrafficCounters, Reserved0) == 0);
static_assert(offsetof(TrafficCounters, Reserved1) == 4);
static_assert(offsetof(TrafficCounters, TxDirected) == 8);
static_assert(offsetof(TrafficCounters, TxMulticast) == 12);
static_assert(offsetof(TrafficCounters, TxBroadcast) == 16);
static_assert(offsetof(TrafficCounters, RxDirected) == 20);
static_assert(offsetof(TrafficCounters, RxMulticast) == 24);
static_assert(offsetof(TrafficCounters, RxBroadcast) == 28);
static_assert(offsetof(TrafficCounters, ReadErrors) == 32);
static_assert(offsetof(TrafficCounters, WriteErrors) == 36);
static_assert(offsetof(TrafficCounters, RxTooShort) == 40);
static_assert(offsetof(TrafficCounters, Reserved11) == 44);
static_assert(offsetof(TrafficCounters, RxCrcErrors) == 48);
static_assert(offsetof(TrafficCounters, RxAlignmentErrors) == 52);
static_assert(offsetof(TrafficCounters, RxOverruns) == 56);
static_assert(offsetof(TrafficCounters, WriteTooShort) == 60);
static_assert(offsetof(TrafficCounters, WriteTooLong) == 64);

using GlobalStatistics = TrafficCounters;
static_assert(sizeof(GlobalStatistics) == 68);

struct AdapterStatistics {
  uint32_t Reserved[20];
  TrafficCounters Counters;
};
static_assert(sizeof(AdapterStatistics) == 148);
static_assert(offsetof(AdapterStatistics, Reserved) == 0);
static_assert(offsetof(AdapterStatistics, Counters) == 80);
static_assert(offsetof(AdapterStatistics, Counters.TxDirected) == 88);
static_assert(offsetof(AdapterStatistics, Counters.WriteTooLong) == 144);

struct AdapterInfo {
  uint32_t InfoSize;  // 52
  uint32_t Unused;    // 0
  uint32_t AddressLength;
  uint8_t StationAddress[32];
  uint32_t MinimumFrameLength;
  uint32_t MaximumFrameLength;
};
static_assert(sizeof(AdapterInfo) == 52);
static_assert(offsetof(AdapterInfo, InfoSize) == 0);
static_assert(offsetof(AdapterInfo, Unused) == 4);
static_assert(offsetof(AdapterInfo, AddressLength) == 8);
static_assert(offsetof(AdapterInfo, StationAddress) == 12);
static_assert(offsetof(AdapterInfo, MinimumFrameLength) == 44);
static_assert(offsetof(AdapterInfo, MaximumFrameLength) == 48);
