// The machine trace: what the driver does to the machine, in machine time.
//
// One recorder per machine, off by default. While it is on it records every
// port access (with the PCI configuration register or controller register
// it reaches, and the EEPROM words and MDI cycles those accesses make up),
// every kernel call of the driver (begin and end, arguments and result),
// interrupt handler runs, interrupt line levels, and each controller's DMA
// (descriptor words, data, refused accesses). Each event carries the machine
// time of the thread that made it (Clock::NowNs) and its track: the host
// thread ("driver main", "interrupt", "client N", "host" for a harness
// thread), or, for DMA, the controller ("controller 00:03.0").
//
// Written out as text lines (one event a line, for grep and diff) or as
// trace-event JSON ({"traceEvents": [...]}, which Perfetto's UI and
// Chromium's tracing view open).
//
// Cost when off: the hooks test one pointer (Trace::Active(), one relaxed
// load) and the port bus its own trace function; nothing else runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pc/port_bus.h"

namespace sim {

class PciBus;

class Trace {
 public:
  struct Arg {
    std::string key;
    std::string value;
  };
  using Args = std::vector<Arg>;

  // A recording stops adding events beyond this many (a long run with the
  // trace on); the count of those dropped is kept and written out.
  static constexpr size_t kMaxEvents = size_t{8} << 20;

  Trace(Clock& clock, PortBus& ports, PciBus& pci);
  ~Trace();  // turns itself off
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // The recorder that is on in this process, or null. The hooks outside the
  // port bus test this and nothing else when tracing is off.
  static Trace* Active() { return g_active.load(std::memory_order_relaxed); }

  // On/off. Turning on does not clear what was recorded before.
  void SetOn(bool on);
  bool on() const { return Active() == this; }
  void Clear();
  size_t size() const;
  uint64_t dropped() const;

  // Names the calling host thread's track from now on (for every trace):
  // `base`, followed by " <number>" when number >= 0. `base` must outlive
  // the process (a literal). Two stores; no cost beyond that.
  static void NameThread(const char* base, int64_t number = -1);

  // Events on the calling thread's track. End is recorded only when a
  // Begin of the same thread is open, so that a trace switched on in the
  // middle of a call still nests.
  void Begin(const char* category, std::string name, Args args = {});
  void End(std::string name, Args args = {});
  void Instant(const char* category, std::string name, Args args = {});
  // An interrupt line's level changed (sources holding it high).
  void LineLevel(unsigned line, unsigned level);
  // A DMA access by the device whose bus-master bit is `owner` (the PCI
  // function's command-bit mirror, which names the controller). `kind` is
  // "load", "store", "read" or "write"; `value` is meaningful for the word
  // accesses (`width` 2 or 4) and ignored for copies (`width` 0).
  void Dma(const void* owner, const char* kind, uint32_t address, size_t length, unsigned width,
           uint32_t value);
  void DmaRefused(const void* owner, uint32_t address, size_t length, bool write,
                  const char* reason);

  // The recording so far.
  std::string Text() const;
  std::string Json() const;
  // Writes Json() when the path ends in ".json", Text() otherwise. False when
  // the file cannot be written.
  bool WriteFile(const std::string& path) const;

  // Hex formatting for arguments: "0x1f".
  static std::string Hex(uint64_t value);

 private:
  struct Event {
    uint64_t ns;
    uint32_t track;
    char phase;  // 'B', 'E', 'i', 'C'
    const char* category;
    std::string name;
    Args args;
  };
  // Decoding state of one controller's serial lines.
  struct Serial {
    // EEPROM: lines last written, bits clocked in (data in) and out (data
    // out, sampled at the first read after each rising clock).
    uint8_t eeprom_lines = 0;
    bool sample_pending = false;
    std::vector<bool> eeprom_in;
    std::vector<bool> eeprom_out;
    // MDI: the last control word written and whether its completion was
    // reported.
    uint32_t mdi_command = 0;
    bool mdi_reported = true;
  };

  void OnPort(const PortBus::Access& access);
  // Caller holds mutex_.
  uint32_t TrackLocked(const std::string& name);
  uint32_t ThreadTrackLocked();
  void AddLocked(uint64_t ns, uint32_t track, char phase, const char* category, std::string name,
                 Args args);
  void EepromLocked(const std::string& owner, Serial& serial, uint32_t track, uint64_t ns);
  std::string ControllerName(const void* owner);

  static std::atomic<Trace*> g_active;

  Clock& clock_;
  PortBus& ports_;
  PciBus& pci_;
  mutable std::mutex mutex_;
  std::vector<Event> events_;                      // guarded by mutex_
  uint64_t dropped_ = 0;                           // guarded by mutex_
  std::vector<std::string> track_names_;           // guarded by mutex_; index = tid - 1
  std::map<std::string, uint32_t> track_of_name_;  // guarded by mutex_
  std::map<std::pair<std::thread::id, std::string>, uint32_t> thread_tracks_;  // guarded by mutex_
  std::map<uint32_t, std::vector<std::string>> open_;  // guarded by mutex_: open Begins per track
  std::map<std::string, Serial> serial_;               // guarded by mutex_: per controller
  std::map<const void*, std::string> controllers_;     // guarded by mutex_: DMA owner -> name
};

}  // namespace sim
