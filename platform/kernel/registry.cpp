#include "platform/kernel/registry.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace sim {

void Registry::Add(const std::string& section, std::string key, std::string value) {
  for (auto& [name, entries] : sections_) {
    if (name == section) {
      entries.emplace_back(std::move(key), std::move(value));
      return;
    }
  }
  sections_.emplace_back(section, std::vector<Entry>{{std::move(key), std::move(value)}});
}

const std::vector<Registry::Entry>* Registry::Section(const std::string& name) const {
  // Section names match exactly, case included: the kernel compares the
  // driver's text as given.
  for (const auto& [section, entries] : sections_) {
    if (section == name) return &entries;
  }
  return nullptr;
}

namespace {

// The one-character escapes of quoted text, and what each stands for.
constexpr std::string_view kEscapes("\\\"'tnr0", 7);
constexpr std::string_view kEscaped("\\\"'\t\n\r\0", 7);

class LineParser {
 public:
  LineParser(const std::string& line, const std::string& origin, size_t number)
      : line_(line), origin_(origin), number_(number) {}

  [[noreturn]] void Fail(const std::string& problem) const {
    throw std::runtime_error(origin_ + ":" + std::to_string(number_) + ": " + problem);
  }

  void SkipBlanks() {
    while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t')) ++pos_;
  }
  bool AtEnd() const { return pos_ >= line_.size(); }
  char Peek() const { return line_[pos_]; }
  void Expect(char c, const char* what) {
    if (AtEnd() || line_[pos_] != c) Fail(std::string("expected ") + what);
    ++pos_;
  }

  // A C-style quoted text starting at the current '"'.
  std::string Quoted() {
    Expect('"', "'\"'");
    std::string text;
    while (true) {
      if (AtEnd()) Fail("unterminated quoted text");
      char c = line_[pos_++];
      if (c == '"') return text;
      if (c != '\\') {
        text.push_back(c);
        continue;
      }
      if (AtEnd()) Fail("unterminated quoted text");
      c = line_[pos_++];
      if (const size_t at = kEscapes.find(c); at != std::string_view::npos) {
        text.push_back(kEscaped[at]);
      } else if (c == 'x') {
        int value = 0;
        int digits = 0;
        while (digits < 2 && !AtEnd() && std::isxdigit(static_cast<unsigned char>(Peek()))) {
          const char h = line_[pos_++];
          value = value * 16 + (h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
          ++digits;
        }
        if (digits == 0) Fail("\\x needs hexadecimal digits");
        text.push_back(static_cast<char>(value));
      } else {
        Fail(std::string("unknown escape \\") + c);
      }
    }
  }

 private:
  const std::string& line_;
  const std::string& origin_;
  size_t number_;
  size_t pos_ = 0;
};

bool Blank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

// Choices of the format beyond the header's summary:
// - a line of blanks only counts as empty;
// - a section may appear more than once; later entries are appended to it;
// - blanks after a section's closing ']' are allowed;
// - in the quoted form both key and value are quoted, with optional blanks
//   around '=' and at the end of the line;
// - an unquoted entry needs a key that is not empty (a line starting with '='
//   is almost always a mistake);
// - a trailing '\r' (a file written with CR LF line ends) is dropped.
Registry Registry::Parse(const std::string& text, const std::string& origin) {
  Registry registry;
  std::string current;
  bool in_section = false;
  std::istringstream in(text);
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Blank(line) || line[0] == '#') continue;
    LineParser parser(line, origin, number);
    if (line[0] == '[') {
      const size_t close = line.find_last_not_of(" \t");
      if (line[close] != ']' || close == 0) parser.Fail("section header without closing ']'");
      current = line.substr(1, close - 1);
      in_section = true;
      // An empty section still exists (KeEnumRegSection then finds no entry).
      if (registry.Section(current) == nullptr)
        registry.sections_.emplace_back(current, std::vector<Entry>{});
      continue;
    }
    if (!in_section) parser.Fail("entry before the first [SECTION]");
    if (line[0] == '"') {
      std::string key = parser.Quoted();
      parser.SkipBlanks();
      parser.Expect('=', "'=' after the quoted key");
      parser.SkipBlanks();
      if (parser.AtEnd() || parser.Peek() != '"') parser.Fail("expected a quoted value after '='");
      std::string value = parser.Quoted();
      parser.SkipBlanks();
      if (!parser.AtEnd()) parser.Fail("unexpected text after the quoted value");
      registry.Add(current, std::move(key), std::move(value));
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) parser.Fail("expected key=value");
    if (equals == 0) parser.Fail("empty key");
    registry.Add(current, line.substr(0, equals), line.substr(equals + 1));
  }
  return registry;
}

Registry Registry::Load(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error(path + ": cannot open");
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) throw std::runtime_error(path + ": cannot read");
  return Parse(text.str(), path);
}

}  // namespace sim
