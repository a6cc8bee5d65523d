// Plain-text tables for the tool's reports.
#pragma once

#include <string>
#include <vector>

namespace tool {

class Table {
 public:
  explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
  void Row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  // Columns are left-aligned, except those whose every body cell is a number.
  std::string Render(const std::string& indent = "  ") const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

// "TORVELIN: x\nTORVELIN: y" -> each line indented; empty text -> "(nothing)".
std::string Indent(const std::string& text, const std::string& indent = "  ");

}  // namespace tool
