#include "tools/torvelin/report.h"

#include <algorithm>
#include <cctype>

namespace tool {
namespace {

bool Numeric(const std::string& cell) {
  return !cell.empty() && std::all_of(cell.begin(), cell.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-';
  });
}

}  // namespace

std::string Table::Render(const std::string& indent) const {
  const size_t columns = header_.size();
  std::vector<size_t> width(columns, 0);
  std::vector<bool> right(columns, true);
  for (size_t c = 0; c < columns; ++c) {
    width[c] = header_[c].size();
    bool any = false;
    for (const auto& row : rows_) {
      if (c >= row.size()) continue;
      width[c] = std::max(width[c], row[c].size());
      if (!row[c].empty()) {
        any = true;
        if (!Numeric(row[c])) right[c] = false;
      }
    }
    if (!any) right[c] = false;
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out = indent;
    for (size_t c = 0; c < columns; ++c) {
      const std::string cell = c < cells.size() ? cells[c] : "";
      const std::string pad(width[c] - std::min(width[c], cell.size()), ' ');
      out += right[c] ? pad + cell : cell + (c + 1 < columns ? pad : "");
      if (c + 1 < columns) out += "  ";
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
  };
  std::string out = line(header_);
  for (const auto& row : rows_) out += line(row);
  return out;
}

std::string Indent(const std::string& text, const std::string& indent) {
  if (text.empty()) return indent + "(nothing)\n";
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    out += indent + text.substr(pos, end - pos) + "\n";
    pos = end + 1;
  }
  return out;
}

}  // namespace tool
