#include "support/TraceLines.h"

std::string WithoutLineNumber(const std::string& line) {
  const size_t open = line.find('(');
  if (open == std::string::npos) return line;
  const size_t close = line.find(") ", open);
  if (close == std::string::npos || close == open + 1) return line;
  for (size_t i = open + 1; i < close; ++i) {
    if (line[i] < '0' || line[i] > '9') return line;
  }
  return line.substr(0, open) + "(#)" + line.substr(close + 1);
}

std::vector<std::string> WithoutLineNumbers(const std::vector<std::string>& lines) {
  std::vector<std::string> result;
  result.reserve(lines.size());
  for (const std::string& line : lines) result.push_back(WithoutLineNumber(line));
  return result;
}

std::vector<std::string> LinesOf(const std::vector<std::string>& lines, const std::string& tag) {
  std::vector<std::string> result;
  const std::string prefix = tag + "(#) ";
  for (const std::string& line : lines) {
    std::string plain = WithoutLineNumber(line);
    if (plain.compare(0, prefix.size(), prefix) == 0) result.push_back(plain);
  }
  return result;
}

int IndexOf(const std::vector<std::string>& lines, const std::string& line, int from) {
  for (size_t i = from < 0 ? 0 : static_cast<size_t>(from); i < lines.size(); ++i) {
    if (WithoutLineNumber(lines[i]) == line) return static_cast<int>(i);
  }
  return -1;
}

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  int at = 0;
  for (const std::string& line : expected) {
    at = IndexOf(lines, line, at);
    if (at < 0) return false;
    ++at;
  }
  return true;
}
