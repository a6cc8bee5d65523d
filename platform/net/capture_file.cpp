// pcap capture and replay written and read directly, for builds without
// libpcap (TORVELIN_PCAP off, e.g. the 32-bit build, where no 32-bit libpcap
// is installed). The files are the classic format libpcap writes: a 24-byte
// file header (microsecond timestamps, Ethernet link type) and a 16-byte
// header before each frame, all in the host's byte order.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/net/segment.h"

namespace sim {

namespace {

constexpr uint32_t kMagicMicroseconds = 0xA1B2C3D4;
constexpr uint32_t kMagicNanoseconds = 0xA1B23C4D;
constexpr uint32_t kLinkTypeEthernet = 1;
constexpr uint32_t kSnapLength = 65535;
// The largest frame libpcap itself reads back from a file.
constexpr uint32_t kLargestRecord = 262144;

struct FileHeader {
  uint32_t magic;
  uint16_t version_major;
  uint16_t version_minor;
  int32_t this_zone;
  uint32_t sigfigs;
  uint32_t snap_length;
  uint32_t link_type;
};
static_assert(sizeof(FileHeader) == 24);

struct RecordHeader {
  uint32_t seconds;
  uint32_t fraction;  // microseconds, or nanoseconds in a nanosecond file
  uint32_t captured;
  uint32_t length;
};
static_assert(sizeof(RecordHeader) == 16);

uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }
uint16_t Swap16(uint16_t v) { return __builtin_bswap16(v); }

}  // namespace

struct CapturePort::Impl {
  std::string path;
  Clock& clock;
  mutable std::mutex mutex;
  FILE* file = nullptr;  // guarded by mutex; null once closed
  uint64_t frames = 0;   // guarded by mutex
  std::string error;     // guarded by mutex

  Impl(std::string p, Clock& c) : path(std::move(p)), clock(c) {}

  // Caller holds mutex. Records the first failed write.
  void Write(const void* data, size_t length) {
    if (std::fwrite(data, 1, length, file) != length && error.empty()) {
      error = "writing " + path + " failed: " + std::strerror(errno);
    }
  }

  // Caller holds mutex. Returns the error, if any, after closing.
  std::string CloseLocked() {
    if (file == nullptr) return error;
    if (std::fflush(file) != 0 && error.empty()) {
      error = "writing " + path + " failed: " + std::strerror(errno);
    }
    if (std::ferror(file) && error.empty()) error = "writing " + path + " failed";
    if (std::fclose(file) != 0 && error.empty()) {
      error = "closing " + path + " failed: " + std::strerror(errno);
    }
    file = nullptr;
    return error;
  }
};

CapturePort::CapturePort(Segment& segment, const std::string& path, Clock& clock)
    : impl_(std::make_unique<Impl>(path, clock)), segment_(segment) {
  impl_->file = std::fopen(path.c_str(), "wb");
  if (impl_->file == nullptr) {
    throw std::runtime_error("CapturePort: cannot open " + path + ": " + std::strerror(errno));
  }
  const FileHeader header{kMagicMicroseconds, 2, 4, 0, 0, kSnapLength, kLinkTypeEthernet};
  impl_->Write(&header, sizeof header);
  segment_.Attach(this);
}

CapturePort::~CapturePort() {
  try {
    Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "CapturePort: %s\n", e.what());
  }
}

void CapturePort::Receive(const Frame& frame) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->file == nullptr) return;
  const uint64_t ns = impl_->clock.NowNs();
  const size_t length = frame.bytes.size();
  const RecordHeader header{
      static_cast<uint32_t>(ns / 1000000000u), static_cast<uint32_t>((ns % 1000000000u) / 1000u),
      static_cast<uint32_t>(std::min<size_t>(length, kSnapLength)), static_cast<uint32_t>(length)};
  impl_->Write(&header, sizeof header);
  impl_->Write(frame.bytes.data(), header.captured);
  ++impl_->frames;
}

void CapturePort::Close() {
  segment_.Detach(this);
  std::string error;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->file == nullptr) return;
    error = impl_->CloseLocked();
  }
  if (!error.empty()) throw std::runtime_error("CapturePort: " + error);
}

uint64_t CapturePort::frames() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->frames;
}

std::string CapturePort::error() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->error;
}

std::vector<std::vector<uint8_t>> ReadPcapFrames(const std::string& path) {
  const auto fail = [&path](const std::string& what) {
    return std::runtime_error("ReadPcapFrames: " + path + ": " + what);
  };
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    throw std::runtime_error("ReadPcapFrames: cannot read " + path + ": " + std::strerror(errno));
  }
  struct Closer {
    FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};

  FileHeader header{};
  if (std::fread(&header, sizeof header, 1, file) != 1) throw fail("not a pcap file (too short)");
  bool swapped = false;
  if (header.magic != kMagicMicroseconds && header.magic != kMagicNanoseconds) {
    swapped = true;
    header.magic = Swap32(header.magic);
    header.version_major = Swap16(header.version_major);
    header.link_type = Swap32(header.link_type);
  }
  if (header.magic != kMagicMicroseconds && header.magic != kMagicNanoseconds) {
    throw fail("not a pcap file");
  }
  if (header.version_major != 2) {
    throw fail("unsupported pcap version " + std::to_string(header.version_major));
  }
  // The upper bits of the link type field may carry FCS information.
  const uint32_t link_type = header.link_type & 0x0FFFFFFF;
  if (link_type != kLinkTypeEthernet) {
    throw std::runtime_error("ReadPcapFrames: " + path + " is not an Ethernet capture (link type " +
                             std::to_string(link_type) + ")");
  }

  std::vector<std::vector<uint8_t>> frames;
  for (;;) {
    RecordHeader record{};
    const size_t got = std::fread(&record, 1, sizeof record, file);
    if (got == 0 && std::feof(file)) break;  // end of file, between records
    if (got != sizeof record) throw fail("truncated record header");
    const uint32_t captured = swapped ? Swap32(record.captured) : record.captured;
    if (captured > kLargestRecord) {
      throw fail("record of " + std::to_string(captured) + " bytes is larger than any frame");
    }
    std::vector<uint8_t> frame(captured);
    if (captured != 0 && std::fread(frame.data(), 1, captured, file) != captured) {
      throw fail("truncated frame");
    }
    frames.push_back(std::move(frame));
  }
  if (std::ferror(file)) throw fail("read error");
  return frames;
}

}  // namespace sim
