// pcap files through libpcap: PcapWriter over its dumper, and ReadPcapFrames.
#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/net/pcap_writer.h"
#include "platform/net/segment.h"

namespace sim {

struct PcapWriter::File {
  pcap_t* handle = nullptr;
  pcap_dumper_t* dumper = nullptr;

  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() {
    pcap_dump_close(dumper);
    pcap_close(handle);
  }
};

std::unique_ptr<PcapWriter> PcapWriter::Create(const std::string& path, std::string& failure) {
  pcap_t* handle = pcap_open_dead(DLT_EN10MB, static_cast<int>(kPcapSnapLength));
  if (handle == nullptr) {
    failure = "cannot set up a pcap writer for " + path;
    return nullptr;
  }
  pcap_dumper_t* dumper = pcap_dump_open(handle, path.c_str());
  if (dumper == nullptr) {
    failure = "cannot open " + path + ": " + pcap_geterr(handle);
    pcap_close(handle);
    return nullptr;
  }
  auto file = std::make_unique<File>();
  file->handle = handle;
  file->dumper = dumper;
  return std::unique_ptr<PcapWriter>(new PcapWriter(path, std::move(file)));
}

PcapWriter::PcapWriter(std::string path, std::unique_ptr<File> file)
    : path_(std::move(path)), file_(std::move(file)) {}

PcapWriter::~PcapWriter() = default;

void PcapWriter::Append(const PcapRecordHeader& header, const uint8_t* frame) {
  pcap_pkthdr record{};
  record.ts.tv_sec = static_cast<time_t>(header.seconds);
  record.ts.tv_usec = static_cast<suseconds_t>(header.fraction);
  record.caplen = header.captured;
  record.len = header.length;
  pcap_dump(reinterpret_cast<u_char*>(file_->dumper), &record, frame);
  FILE* stream = pcap_dump_file(file_->dumper);
  if (stream != nullptr && std::ferror(stream)) Fail("writing " + path_ + " failed");
}

std::string PcapWriter::Close() {
  if (file_ == nullptr) return failure_;
  if (pcap_dump_flush(file_->dumper) != 0) {
    Fail("writing " + path_ + " failed: " + std::strerror(errno));
  }
  FILE* stream = pcap_dump_file(file_->dumper);
  if (stream != nullptr && std::ferror(stream)) Fail("writing " + path_ + " failed");
  file_.reset();
  return failure_;
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
