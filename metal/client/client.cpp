// The client program: a process of its own that uses the driver only through
// its devices, as any program on this kernel would. It opens
// /DEV/MAC/TORVELIN/0, reads its adapter information, writes a set of frames
// of chosen sizes, destinations and contents (and two the driver must refuse),
// and, when a second device exists, reads on it what the emulator's network
// delivered. Then it reports the statistics blocks and halts the machine.
//
// The frames are a pure function of the boot command line (seed=, frames=),
// so the host rebuilds every one of them to check the capture byte for byte:
// keep BuildFrame and the tables in step with metal/check.py.
#include "device/interface.h"
#include "metal/kernel/metal.h"

namespace {

constexpr uint32_t InfoWords = sizeof(AdapterInfo) / 4;

// Sizes cycle through the edges of the driver's range and of the buffers on
// the way: the minimum, odd and even lengths around powers of two, the
// largest standard Ethernet frame and the driver's maximum.
constexpr uint32_t Sizes[] = {60,   61,   62,   63,   64,   65,   100,  127,  128,
                              129,  255,  256,  257,  511,  512,  513,  1000, 1023,
                              1024, 1025, 1499, 1500, 1514, 1515, 1535, 1536};
constexpr uint32_t SizeCount = sizeof Sizes / sizeof Sizes[0];

// Destinations cycle: broadcast, the second device (directed), a multicast
// group nobody joined, and a station nobody here has.
constexpr uint8_t Broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint8_t NoPeer[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t Elsewhere[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint16_t EtherType = 0x88B5;  // local experimental: nothing on the way answers it

uint32_t Seed = 1;
uint32_t FrameCount = 52;
uint8_t Station[6];
uint8_t Peer[6];
bool HavePeer = false;

struct Reader {
  ClientOpen* Open;
  uint32_t Frames;
  uint32_t Matched;
  uint32_t Ended;  // the read loop has ended
};
Reader PeerReader;

uint32_t NextRandom(uint32_t& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}

uint32_t FrameLength(uint32_t i) { return Sizes[i % SizeCount]; }

const uint8_t* FrameDestination(uint32_t i, uint8_t* multicast) {
  switch (i % 4) {
    case 0:
      return Broadcast;
    case 1:
      return HavePeer ? Peer : NoPeer;
    case 2:
      multicast[0] = 0x01;
      multicast[1] = 0x00;
      multicast[2] = 0x5E;
      multicast[3] = 0x00;
      multicast[4] = 0x00;
      multicast[5] = static_cast<uint8_t>(i & 0x7F);
      return multicast;
    default:
      return Elsewhere;
  }
}

void BuildFrame(uint8_t* frame, uint32_t i) {
  uint8_t multicast[6];
  const uint8_t* destination = FrameDestination(i, multicast);
  const uint32_t length = FrameLength(i);
  for (uint32_t k = 0; k < 6; ++k) {
    frame[k] = destination[k];
    frame[6 + k] = Station[k];
  }
  frame[12] = EtherType >> 8;
  frame[13] = EtherType & 0xFF;
  frame[14] = static_cast<uint8_t>(i >> 24);
  frame[15] = static_cast<uint8_t>(i >> 16);
  frame[16] = static_cast<uint8_t>(i >> 8);
  frame[17] = static_cast<uint8_t>(i);
  uint32_t s = (Seed * 0x9E3779B9u) ^ (i + 1);
  if (s == 0) s = 1;
  for (uint32_t k = 18; k < length; ++k) frame[k] = static_cast<uint8_t>(NextRandom(s));
}

void FormatMac(char* out, const uint8_t* mac) {
  const char* digits = "0123456789abcdef";
  for (uint32_t k = 0; k < 6; ++k) {
    out[k * 3] = digits[mac[k] >> 4];
    out[k * 3 + 1] = digits[mac[k] & 15];
    out[k * 3 + 2] = k == 5 ? '\0' : ':';
  }
}

// One line per block, every counter by name, for the host to compare.
void ReportTraffic(const char* block, uint32_t device, const uint32_t* w) {
  Log("stats %s dev%u TxDirected=%u TxMulticast=%u TxBroadcast=%u RxDirected=%u RxMulticast=%u "
      "RxBroadcast=%u ReadErrors=%u WriteErrors=%u RxTooShort=%u RxCrcErrors=%u "
      "RxAlignmentErrors=%u RxOverruns=%u WriteTooShort=%u WriteTooLong=%u",
      block, device, w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[12], w[13], w[14],
      w[15], w[16]);
}

bool ReportStatistics(ClientOpen* open, uint32_t device) {
  uint32_t client[11] = {};
  uint32_t adapter[37] = {};
  uint32_t global[17] = {};
  if (DeviceCall(open, DeviceControl, MacControlClientStatistics,
                 reinterpret_cast<uintptr_t>(client), sizeof client) != 0 ||
      DeviceCall(open, DeviceControl, MacControlAdapterStatistics,
                 reinterpret_cast<uintptr_t>(adapter), sizeof adapter) != 0 ||
      DeviceCall(open, DeviceControl, MacControlGlobalStatistics,
                 reinterpret_cast<uintptr_t>(global), sizeof global) != 0) {
    Log("statistics of dev%u refused", device);
    return false;
  }
  Log("stats client dev%u TxDirected=%u TxMulticast=%u TxBroadcast=%u RxDirected=%u "
      "RxMulticast=%u RxBroadcast=%u ReadErrors=%u WriteErrors=%u WriteTooShort=%u "
      "WriteTooLong=%u",
      device, client[1], client[2], client[3], client[4], client[5], client[6], client[7],
      client[8], client[9], client[10]);
  ReportTraffic("adapter", device, adapter + 20);
  ReportTraffic("global", device, global);
  return true;
}

void ReaderMain(uintptr_t argument) {
  Reader* reader = reinterpret_cast<Reader*>(argument);
  static uint8_t buffer[MaximumFrameLength];
  static uint8_t expected[MaximumFrameLength];
  for (;;) {
    uint32_t length = 0;
    const uint32_t status =
        DeviceCall(reader->Open, DeviceRead, reinterpret_cast<uintptr_t>(buffer), sizeof buffer,
                   reinterpret_cast<uintptr_t>(&length));
    if (status != 0) {
      Log("reader: read ended with status %u after %u frames", status, reader->Frames);
      break;
    }
    ++reader->Frames;
    const uint32_t seq = length >= 18 ? (static_cast<uint32_t>(buffer[14]) << 24 |
                                         static_cast<uint32_t>(buffer[15]) << 16 |
                                         static_cast<uint32_t>(buffer[16]) << 8 | buffer[17])
                                      : 0xFFFFFFFF;
    bool match = false;
    if (seq < FrameCount && length == FrameLength(seq)) {
      BuildFrame(expected, seq);
      match = host::memcmp(expected, buffer, length) == 0;
    }
    if (match) ++reader->Matched;
    Log("rx dev1 frame=%u length=%u seq=%u %s", reader->Frames - 1, length, seq,
        match ? "intact" : "DIFFERS");
  }
  reader->Ended = 1;
}

// Waits, giving the CPU to the reader and the interrupt thread, until the
// reader has `frames` frames or `ms` milliseconds have passed.
void AwaitReader(uint32_t frames, uint32_t ms) {
  const uint32_t start = ClockMilliseconds();
  while (PeerReader.Frames < frames && ClockMilliseconds() - start < ms) KePassTimeSlice();
}

// Waits for the driver's started signal (or its end without one) and lists
// the devices it published.
void AwaitDevices() {
  WaitForSignal(10000);
  uint32_t driverStatus = 0;
  if (DriverEnded(&driverStatus)) {
    Log("client: the driver ended with status %u before publishing its devices", driverStatus);
    MachineExit(0x10);
  }
  Log("client: %u devices", DeviceCount());
  for (uint32_t i = 0; i < DeviceCount(); ++i) Log("client: device %s", DeviceName(i));
}

// Opens a device (or ends the run with `exitCode`) and reads its adapter
// information into `info`, its station address into `address`; the status of
// that read in *infoStatus.
ClientOpen* OpenWithInfo(const char* name, uint32_t exitCode, uint32_t (&info)[InfoWords],
                         uint8_t* address, uint32_t* infoStatus) {
  uint32_t status = 0;
  ClientOpen* open = DeviceOpenByName(name, &status);
  if (open == nullptr) {
    Log("client: open of %s failed with status %u", name, status);
    MachineExit(exitCode);
  }
  *infoStatus = DeviceCall(open, DeviceControl, MacControlAdapterInfo,
                           reinterpret_cast<uintptr_t>(info), sizeof info);
  const uint8_t* station = reinterpret_cast<const uint8_t*>(&info[3]);
  for (uint32_t k = 0; k < 6; ++k) address[k] = station[k];
  return open;
}

// Opens the first device and takes its station address for the frames.
ClientOpen* OpenFirst() {
  uint32_t info[InfoWords] = {};
  uint32_t status = 0;
  ClientOpen* open = OpenWithInfo("/DEV/MAC/TORVELIN/0", 0x11, info, Station, &status);
  char mac[18];
  FormatMac(mac, Station);
  Log("client: info dev0 status=%u size=%u address_length=%u station=%s minimum=%u maximum=%u",
      status, info[0], info[2], mac, info[11], info[12]);
  return open;
}

// Opens the second device, when there is one, takes its address as the
// directed frames' destination and starts the thread that reads on it.
ClientOpen* OpenPeer() {
  if (DeviceCount() <= 1) return nullptr;
  uint32_t info[InfoWords] = {};
  uint32_t status = 0;
  ClientOpen* peer = OpenWithInfo("/DEV/MAC/TORVELIN/1", 0x12, info, Peer, &status);
  HavePeer = true;
  char mac[18];
  FormatMac(mac, Peer);
  Log("client: info dev1 station=%s", mac);
  PeerReader.Open = peer;
  KHandle self = 0;
  KeGetCurrentProcessHandle(&self);
  if (!ThreadCreate("reader", self, ReaderMain, reinterpret_cast<uintptr_t>(&PeerReader))) {
    Log("client: no reader thread");
    MachineExit(0x13);
  }
  return peer;
}

// The frames, one write each, then two writes the driver refuses before the
// controller sees them. Returns the number of failures.
uint32_t WriteFrames(ClientOpen* open) {
  // The scheduler is cooperative: the client gives the CPU up after every
  // write so that the interrupt thread drains the receiving controller as it
  // would be preempted to on a real kernel.
  static uint8_t frame[MaximumFrameLength];
  uint32_t failures = 0;
  uint32_t bytes = 0;
  for (uint32_t i = 0; i < FrameCount; ++i) {
    BuildFrame(frame, i);
    uint32_t transferred = 0;
    const uint32_t length = FrameLength(i);
    const uint32_t status = DeviceCall(open, DeviceWrite, reinterpret_cast<uintptr_t>(frame),
                                       length, reinterpret_cast<uintptr_t>(&transferred));
    if (status != 0 || transferred != length) {
      Log("client: write %u of %u bytes: status %u, transferred %u", i, length, status,
          transferred);
      ++failures;
    }
    bytes += transferred;
    KePassTimeSlice();
  }
  uint32_t transferred = 1;
  const uint32_t tooShort = DeviceCall(open, DeviceWrite, reinterpret_cast<uintptr_t>(frame), 59,
                                       reinterpret_cast<uintptr_t>(&transferred));
  const uint32_t shortTransferred = transferred;
  transferred = 1;
  const uint32_t tooLong =
      DeviceCall(open, DeviceWrite, reinterpret_cast<uintptr_t>(frame), MaximumFrameLength + 1,
                 reinterpret_cast<uintptr_t>(&transferred));
  if (tooShort != StatusFrameTooShort || tooLong != StatusFrameTooLong || shortTransferred != 0 ||
      transferred != 0) {
    Log("client: refused writes gave %x and %x", tooShort, tooLong);
    ++failures;
  }
  Log("client: wrote %u frames, %u bytes, %u failed", FrameCount, bytes, failures);
  return failures;
}

// Filter control on the open device: all multicast on, then back to what
// open chose (a narrower filter only takes effect at a close). Then the
// statistics blocks of both devices. Returns the number of failures.
uint32_t CheckFilterAndStatistics(ClientOpen* open, ClientOpen* peer) {
  uint32_t failures = 0;
  const uint32_t status = DeviceCall(open, DeviceControl, MacControlSetFilter, 0x7, 0);
  Log("client: filter directed+multicast+broadcast status=%u", status);
  if (status != 0) ++failures;

  const uint32_t diagnose = CommandLineValue("diag", 0);
  if (diagnose != 0) DiagnoseDevices(diagnose);

  const bool reported = ReportStatistics(open, 0) && (peer == nullptr || ReportStatistics(peer, 1));
  if (!reported) ++failures;
  return failures;
}

// Closes both devices; closing with a read pending ends that read. Returns
// the number of failures.
uint32_t CloseDevices(ClientOpen* open, ClientOpen* peer) {
  uint32_t failures = 0;
  uint32_t status = 0;
  if (peer != nullptr) {
    status = CloseDevice(peer);
    const uint32_t start = ClockMilliseconds();
    while (!PeerReader.Ended && ClockMilliseconds() - start < 200) KePassTimeSlice();
    Log("client: close dev1 status=%u, reader ended=%u", status, PeerReader.Ended);
    if (status != 0 || !PeerReader.Ended) ++failures;
  }
  status = CloseDevice(open);
  Log("client: close dev0 status=%u", status);
  if (status != 0) ++failures;
  return failures;
}

}  // namespace

void ClientMain(uintptr_t) {
  Seed = CommandLineValue("seed", 1);
  FrameCount = CommandLineValue("frames", 52);
  const uint32_t settle = CommandLineValue("settle", 1500);

  // The kernel starts the client's work once the driver has raised its
  // started signal (or has ended without raising it).
  AwaitDevices();
  ClientOpen* open = OpenFirst();
  ClientOpen* peer = OpenPeer();

  uint32_t failures = WriteFrames(open);
  if (peer != nullptr) {
    // Broadcasts and the frames directed to the second device are the ones
    // its filter lets through.
    const uint32_t wanted = (FrameCount + 3) / 4 + (FrameCount + 2) / 4;
    AwaitReader(wanted, settle);
    Log("client: dev1 read %u frames (%u intact) of the %u its filter admits", PeerReader.Frames,
        PeerReader.Matched, wanted);
  }
  failures += CheckFilterAndStatistics(open, peer);
  failures += CloseDevices(open, peer);

  Log("kernel: interrupts=%u eoi=%u handler_rounds=%u spurious=%u rights_violations=%u "
      "switches=%u halts=%u heap_in_use=%u",
      Counters.InterruptsTaken, Counters.EndOfInterrupts, Counters.HandlerRounds,
      Counters.SpuriousInterrupts, Counters.RightsViolations, Counters.ContextSwitches,
      Counters.IdleHalts, HeapInUse());
  Log("client: done, %u failures", failures);
  MachineExit(failures == 0 ? 1 : 2);
}
