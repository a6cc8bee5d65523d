#include "tools/torvelin/util.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/machine.h"

namespace tool {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Mac> ParseMac(std::string_view text) {
  Mac mac{};
  size_t pos = 0;
  for (size_t i = 0; i < 6; ++i) {
    if (i > 0) {
      if (pos >= text.size() || (text[pos] != ':' && text[pos] != '-')) return std::nullopt;
      ++pos;
    }
    if (pos + 2 > text.size()) return std::nullopt;
    const int hi = HexDigit(text[pos]);
    const int lo = HexDigit(text[pos + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    mac[i] = static_cast<uint8_t>(hi * 16 + lo);
    pos += 2;
  }
  if (pos != text.size()) return std::nullopt;
  return mac;
}

std::string FormatMac(const uint8_t* bytes) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                bytes[3], bytes[4], bytes[5]);
  return text;
}

std::string FormatMac(const Mac& mac) { return FormatMac(mac.data()); }

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return std::nullopt;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
      return std::nullopt;
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<bool> ParseBool(std::string_view text) {
  const std::string word = Lower(text);
  if (word == "yes" || word == "on" || word == "true" || word == "1") return true;
  if (word == "no" || word == "off" || word == "false" || word == "0") return false;
  return std::nullopt;
}

std::string Hex(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0xF]);
  }
  return text;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text) {
  std::vector<uint8_t> bytes;
  int pending = -1;
  for (char c : text) {
    if (c == ':' || c == '-' || c == '.' || c == ' ' || c == '\t') {
      if (pending >= 0) return std::nullopt;  // a separator splits a byte
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    if (pending < 0) {
      pending = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(pending * 16 + digit));
      pending = -1;
    }
  }
  if (pending >= 0) return std::nullopt;
  return bytes;
}

std::string Hex16(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

std::string StatusMeaning(uint32_t status) {
  switch (status) {
    case 0:
      return "success";
    case 2:
      return "bad parameter";
    case 3:
      return "out of resources";
    case 4:
      return "no supported controller found";
    case 7:
      return "unrecognised function or control family";
    case 11:
      return "controller failure";
    case 12:
      return "client of another device";
    case 13:
      return "control code out of range";
    case 19:
      return "adapter suspended";
    case 104:
      return "availability change detected";
    case 0x10000000:
      return "frame longer than 1536 bytes";
    case 0x10000001:
      return "frame shorter than 60 bytes";
    case sim::ClientProcess::kStopped:
      return "machine stopped";
    case sim::ClientProcess::kNoDevice:
      return "no such device";
    default:
      return "unknown status";
  }
}

std::string StatusCode(uint32_t status) {
  char code[16];
  if (status >= 0x10000) {
    std::snprintf(code, sizeof code, "0x%08X", status);
  } else {
    std::snprintf(code, sizeof code, "%u", status);
  }
  return code;
}

std::string StatusName(uint32_t status) {
  return StatusCode(status) + " (" + StatusMeaning(status) + ")";
}

DestClass ClassOf(const uint8_t* destination) {
  if ((destination[0] & 0x01) != 0 && destination[0] != 0xFF) return DestClass::Multicast;
  for (int i = 0; i < 6; ++i) {
    if (destination[i] != 0xFF) return DestClass::Directed;
  }
  return DestClass::Broadcast;
}

std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
    size_t end = pos;
    while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
    if (end > pos) words.emplace_back(line.substr(pos, end - pos));
    pos = end;
  }
  return words;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (u < 0x20 || u >= 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02x", u);
      out += code;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError(path + ": cannot open: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw InputError(path + ": cannot read");
  return text.str();
}

}  // namespace tool
