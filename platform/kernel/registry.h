// The kernel's registry: sections, each an ordered list of raw (key, value)
// texts, delivered to KeEnumRegSection exactly as stored (blanks included),
// cut to 127 characters plus the terminating zero.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sim {

class Registry {
 public:
  using Entry = std::pair<std::string, std::string>;

  void Add(const std::string& section, std::string key, std::string value);
  const std::vector<Entry>* Section(const std::string& name) const;  // null when absent

  // Loads the file format:
  //   [SECTION]            starts a section (name between the brackets, as is)
  //   key=value            an entry; everything before the first '=' is the key
  //                        and everything after it the value, blanks included
  //   "key"="value"        the same with C-style quoting, so that any text
  //                        (leading or trailing blanks, '=', '#', \t, \xNN) can
  //                        be expressed
  //   # comment            a line whose first character is '#'
  // Empty lines are ignored. Throws std::runtime_error("FILE:LINE: problem").
  static Registry Load(const std::string& path);
  static Registry Parse(const std::string& text, const std::string& origin = "<text>");

 private:
  std::vector<std::pair<std::string, std::vector<Entry>>> sections_;
};

}  // namespace sim
