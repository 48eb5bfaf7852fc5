#include "ByteLog.h"

#include <algorithm>

namespace printersim {

void ByteLog::Reserve(std::size_t extra) {
  const std::size_t needed = bytes_.size() + extra;
  if (needed > bytes_.capacity()) bytes_.reserve(std::max(needed, 2 * bytes_.capacity()));
}

std::vector<std::uint8_t> ByteLog::From(std::uint64_t from, std::uint64_t* start) const {
  const std::uint64_t first = std::max(from, base_);
  if (start != nullptr) *start = std::min(first, Total());
  if (first >= Total()) return {};
  return std::vector<std::uint8_t>(bytes_.begin() + static_cast<std::ptrdiff_t>(first - base_), bytes_.end());
}

void ByteLog::KeepRecent(std::uint64_t bytes) {
  recent_ = bytes;
  LetGoOfOld();
}

// Lets go only once twice the kept size piled up, so that each byte is moved at most once
// on average; erasing never allocates.
void ByteLog::LetGoOfOld() {
  if (recent_ == 0 || bytes_.size() <= 2 * recent_) return;
  const std::size_t drop = bytes_.size() - static_cast<std::size_t>(recent_);
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(drop));
  base_ += drop;
}

}  // namespace printersim
