// pcap files written and read directly, for builds without libpcap
// (TORVELIN_PCAP off, e.g. the 32-bit build, where no 32-bit libpcap is
// installed): PcapWriter over a stdio file, and ReadPcapFrames. The files are
// the classic format libpcap writes (pcap_writer.h).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/net/pcap_writer.h"
#include "platform/net/segment.h"

namespace sim {

namespace {

constexpr uint32_t kMagicMicroseconds = 0xA1B2C3D4;
constexpr uint32_t kMagicNanoseconds = 0xA1B23C4D;
constexpr uint32_t kLinkTypeEthernet = 1;
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

uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }
uint16_t Swap16(uint16_t v) { return __builtin_bswap16(v); }

// What a failed write of `path` is reported as; errno holds the reason.
std::string WriteFailed(const std::string& path) {
  return "writing " + path + " failed: " + std::strerror(errno);
}

}  // namespace

struct PcapWriter::File {
  FILE* stream = nullptr;  // null once closed

  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() {
    if (stream != nullptr) std::fclose(stream);
  }
  // False (errno says why) when the file took less than all of `data`.
  bool Put(const void* data, size_t length) {
    return std::fwrite(data, 1, length, stream) == length;
  }
};

std::unique_ptr<PcapWriter> PcapWriter::Create(const std::string& path, std::string& failure) {
  auto file = std::make_unique<File>();
  file->stream = std::fopen(path.c_str(), "wb");
  if (file->stream == nullptr) {
    failure = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<PcapWriter> writer(new PcapWriter(path, std::move(file)));
  const FileHeader header{kMagicMicroseconds, 2, 4, 0, 0, kPcapSnapLength, kLinkTypeEthernet};
  if (!writer->file_->Put(&header, sizeof header)) writer->Fail(WriteFailed(path));
  return writer;
}

PcapWriter::PcapWriter(std::string path, std::unique_ptr<File> file)
    : path_(std::move(path)), file_(std::move(file)) {}

PcapWriter::~PcapWriter() = default;

void PcapWriter::Append(const PcapRecordHeader& header, const uint8_t* frame) {
  if (!file_->Put(&header, sizeof header)) Fail(WriteFailed(path_));
  if (!file_->Put(frame, header.captured)) Fail(WriteFailed(path_));
}

std::string PcapWriter::Close() {
  if (file_ == nullptr) return failure_;
  FILE* stream = file_->stream;
  file_->stream = nullptr;
  if (std::fflush(stream) != 0) Fail(WriteFailed(path_));
  if (std::ferror(stream)) Fail("writing " + path_ + " failed");
  if (std::fclose(stream) != 0) Fail("closing " + path_ + " failed: " + std::strerror(errno));
  file_.reset();
  return failure_;
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
    PcapRecordHeader record{};
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
