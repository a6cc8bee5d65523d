// Small helpers shared by the tool's commands: input errors, numbers,
// station addresses, hex text, status names and frame classes.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

// Exit status of the tool: every check held, a check failed, bad input.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

// Bad input from the user (a file, an option, a request). The message is one
// line naming the file and line where there is one; the tool prints it and
// exits with status 2.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Mac = std::array<uint8_t, 6>;

// "00:a0:c9:12:34:56" or "00-A0-C9-12-34-56" (two hex digits per byte).
std::optional<Mac> ParseMac(std::string_view text);
std::string FormatMac(const Mac& mac);
std::string FormatMac(const uint8_t* bytes);
constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Unsigned numbers in decimal or with a 0x prefix; nullopt when the text is
// not entirely a number or exceeds `max`.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max = UINT64_MAX);
// yes/no, on/off, true/false, 1/0.
std::optional<bool> ParseBool(std::string_view text);

std::string Hex(const uint8_t* bytes, size_t length);
inline std::string Hex(const std::vector<uint8_t>& bytes) {
  return Hex(bytes.data(), bytes.size());
}
// Hex digits, optionally separated by ':', '-', '.' or blanks; nullopt on any
// other character or an odd number of digits.
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text);
std::string Hex16(uint32_t value);  // "0x1229"

// A driver status code with its meaning: "19 (adapter suspended)".
std::string StatusName(uint32_t status);
// The code alone: decimal, hex from 0x10000 up ("19", "0x10000000").
std::string StatusCode(uint32_t status);
std::string StatusMeaning(uint32_t status);

// The class of a destination address, as the driver's counters see it: a
// group address other than one starting with 0xFF is multicast, all ones is
// broadcast, anything else directed.
enum class DestClass { Directed, Multicast, Broadcast };
DestClass ClassOf(const uint8_t* destination);

// The value a word names among fixed choices; nullopt for any other word.
template <class T>
std::optional<T> Choose(std::string_view word,
                        std::initializer_list<std::pair<std::string_view, T>> choices) {
  for (const auto& [name, value] : choices) {
    if (name == word) return value;
  }
  return std::nullopt;
}

std::vector<std::string> SplitWords(std::string_view line);
std::string Lower(std::string_view text);
// C-style escapes for one-line output (\n, \t, \\, \xNN).
std::string Escape(std::string_view text);
// Reads a whole file; throws InputError naming it when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace tool
