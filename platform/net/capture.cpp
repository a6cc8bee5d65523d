// pcap capture and replay through libpcap.
#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/net/segment.h"

namespace sim {

namespace {
constexpr int kSnapLength = 65535;
}

struct CapturePort::Impl {
  std::string path;
  Clock& clock;
  mutable std::mutex mutex;
  pcap_t* handle = nullptr;         // guarded by mutex; null once closed
  pcap_dumper_t* dumper = nullptr;  // guarded by mutex; null once closed
  uint64_t frames = 0;              // guarded by mutex
  std::string error;                // guarded by mutex

  Impl(std::string p, Clock& c) : path(std::move(p)), clock(c) {}

  // Caller holds mutex. Returns the error, if any, after closing.
  std::string CloseLocked() {
    if (dumper == nullptr) return error;
    if (pcap_dump_flush(dumper) != 0 && error.empty()) {
      error = "writing " + path + " failed: " + std::strerror(errno);
    }
    FILE* file = pcap_dump_file(dumper);
    if (file != nullptr && std::ferror(file) && error.empty()) {
      error = "writing " + path + " failed";
    }
    pcap_dump_close(dumper);
    pcap_close(handle);
    dumper = nullptr;
    handle = nullptr;
    return error;
  }
};

CapturePort::CapturePort(Segment& segment, const std::string& path, Clock& clock)
    : impl_(std::make_unique<Impl>(path, clock)), segment_(segment) {
  impl_->handle = pcap_open_dead(DLT_EN10MB, kSnapLength);
  if (impl_->handle == nullptr) {
    throw std::runtime_error("CapturePort: cannot set up a pcap writer for " + path);
  }
  impl_->dumper = pcap_dump_open(impl_->handle, path.c_str());
  if (impl_->dumper == nullptr) {
    const std::string reason = pcap_geterr(impl_->handle);
    pcap_close(impl_->handle);
    impl_->handle = nullptr;
    throw std::runtime_error("CapturePort: cannot open " + path + ": " + reason);
  }
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
  if (impl_->dumper == nullptr) return;
  const uint64_t ns = impl_->clock.NowNs();
  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
  header.ts.tv_usec = static_cast<suseconds_t>((ns % 1000000000u) / 1000u);
  const size_t length = frame.bytes.size();
  header.caplen = static_cast<bpf_u_int32>(std::min<size_t>(length, kSnapLength));
  header.len = static_cast<bpf_u_int32>(length);
  pcap_dump(reinterpret_cast<u_char*>(impl_->dumper), &header, frame.bytes.data());
  ++impl_->frames;
  FILE* file = pcap_dump_file(impl_->dumper);
  if (file != nullptr && std::ferror(file) && impl_->error.empty()) {
    impl_->error = "writing " + impl_->path + " failed";
  }
}

void CapturePort::Close() {
  segment_.Detach(this);
  std::string error;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->dumper == nullptr) return;
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
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* handle = pcap_open_offline(path.c_str(), errbuf);
  if (handle == nullptr) {
    throw std::runtime_error("ReadPcapFrames: cannot read " + path + ": " + errbuf);
  }
  struct Closer {
    pcap_t* h;
    ~Closer() { pcap_close(h); }
  } closer{handle};
  if (pcap_datalink(handle) != DLT_EN10MB) {
    throw std::runtime_error("ReadPcapFrames: " + path + " is not an Ethernet capture (link type " +
                             std::to_string(pcap_datalink(handle)) + ")");
  }
  std::vector<std::vector<uint8_t>> frames;
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int result = pcap_next_ex(handle, &header, &data);
    if (result == 1) {
      frames.emplace_back(data, data + header->caplen);
    } else if (result == PCAP_ERROR_BREAK) {
      break;  // end of file
    } else {
      throw std::runtime_error("ReadPcapFrames: " + path + ": " + pcap_geterr(handle));
    }
  }
  return frames;
}

}  // namespace sim
