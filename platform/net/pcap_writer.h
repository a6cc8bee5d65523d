// Writing a pcap file, the part of CapturePort that differs between the build
// with libpcap (capture_libpcap.cpp) and the one without (capture_file.cpp).
// Both write the classic format libpcap writes: a file header (microsecond
// timestamps, Ethernet link type) and a 16-byte record header before each
// frame, in the host's byte order. CapturePort (capture.cpp) is the same over
// both. Included by platform/net/ only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sim {

inline constexpr uint32_t kPcapSnapLength = 65535;

// The header before each frame in a pcap file.
struct PcapRecordHeader {
  uint32_t seconds;
  uint32_t fraction;  // microseconds, or nanoseconds in a nanosecond file
  uint32_t captured;  // bytes of the frame in the file
  uint32_t length;    // bytes of the frame on the wire
};
static_assert(sizeof(PcapRecordHeader) == 16);

// The header of a frame of `length` bytes seen at machine time `ns`, as a
// capture writes it: microseconds, the frame cut at kPcapSnapLength.
inline PcapRecordHeader PcapRecordAt(uint64_t ns, size_t length) {
  return {static_cast<uint32_t>(ns / 1000000000u),
          static_cast<uint32_t>((ns % 1000000000u) / 1000u),
          static_cast<uint32_t>(length < kPcapSnapLength ? length : kPcapSnapLength),
          static_cast<uint32_t>(length)};
}

// One pcap file being written. Not thread-safe: its owner serialises the
// calls. A failed write does not stop later ones; the first failure is kept.
class PcapWriter {
 public:
  // Creates `path` and writes the file header; null, with the reason in
  // `failure` ("cannot open PATH: ..."), when the file cannot be created.
  static std::unique_ptr<PcapWriter> Create(const std::string& path, std::string& failure);
  ~PcapWriter();  // closes the file, if still open, without reporting
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Appends one record: `header`, then its `captured` bytes of `frame`.
  void Append(const PcapRecordHeader& header, const uint8_t* frame);
  // Flushes and closes the file. Returns the first failure of the writer's
  // life, empty when every write succeeded.
  std::string Close();
  // The first failure so far, empty while there is none.
  const std::string& failure() const { return failure_; }

 private:
  struct File;  // the build's own: a stdio file, or libpcap's dumper
  PcapWriter(std::string path, std::unique_ptr<File> file);
  void Fail(std::string what) {
    if (failure_.empty()) failure_ = std::move(what);
  }

  std::string path_;
  std::unique_ptr<File> file_;  // null once closed
  std::string failure_;
};

}  // namespace sim
