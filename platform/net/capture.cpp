// CapturePort: every frame heard on a segment, stamped with machine time, into
// a pcap file. The file itself is written by PcapWriter, through libpcap or
// directly depending on the build (pcap_writer.h).
#include <cstdio>
#include <stdexcept>

#include "platform/net/pcap_writer.h"
#include "platform/net/segment.h"

namespace sim {

struct CapturePort::Impl {
  explicit Impl(Clock& c) : clock(c) {}

  Clock& clock;
  mutable std::mutex mutex;
  std::unique_ptr<PcapWriter> writer;  // guarded by mutex; null once closed
  uint64_t frames = 0;                 // guarded by mutex
  std::string error;                   // guarded by mutex; the writer's, once closed
};

CapturePort::CapturePort(Segment& segment, const std::string& path, Clock& clock)
    : impl_(std::make_unique<Impl>(clock)), segment_(segment) {
  std::string failure;
  impl_->writer = PcapWriter::Create(path, failure);
  if (impl_->writer == nullptr) throw std::runtime_error("CapturePort: " + failure);
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
  if (impl_->writer == nullptr) return;
  impl_->writer->Append(PcapRecordAt(impl_->clock.NowNs(), frame.bytes.size()), frame.bytes.data());
  ++impl_->frames;
}

void CapturePort::Close() {
  segment_.Detach(this);
  std::string error;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->writer == nullptr) return;
    impl_->error = impl_->writer->Close();
    impl_->writer.reset();
    error = impl_->error;
  }
  if (!error.empty()) throw std::runtime_error("CapturePort: " + error);
}

uint64_t CapturePort::frames() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->frames;
}

std::string CapturePort::error() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->writer != nullptr ? impl_->writer->failure() : impl_->error;
}

}  // namespace sim
