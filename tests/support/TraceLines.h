// Helpers for asserting on trace lines, whose line numbers change with every edit of the
// sources: "(#)" stands for them.
#ifndef VANTORY_TESTS_TRACELINES_H
#define VANTORY_TESTS_TRACELINES_H

#include <string>
#include <vector>

// "tag(123) text\n" becomes "tag(#) text\n"; other lines stay as they are.
std::string WithoutLineNumber(const std::string& line);
std::vector<std::string> WithoutLineNumbers(const std::vector<std::string>& lines);

// The lines (without line numbers) whose tag is `tag`.
std::vector<std::string> LinesOf(const std::vector<std::string>& lines, const std::string& tag);

// Index of the first line at or after `from` equal to `line` (line numbers removed), or -1.
int IndexOf(const std::vector<std::string>& lines, const std::string& line, int from = 0);

// True when `expected` appear in this order (not necessarily adjacent) among `lines`.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected);

#endif  // VANTORY_TESTS_TRACELINES_H
