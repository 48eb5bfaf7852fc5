#include "CutLog.h"

#include <algorithm>

namespace printersim {

void CutLog::Add(std::uint64_t end) {
  ends_[count_ % kKeptCutEnds] = end;
  ++count_;
}

std::vector<std::uint64_t> CutLog::NewestEnds(std::size_t most) const {
  const std::uint64_t kept = std::min<std::uint64_t>({count_, kKeptCutEnds, most});
  std::vector<std::uint64_t> ends;
  ends.reserve(static_cast<std::size_t>(kept));
  for (std::uint64_t n = count_ - kept; n < count_; ++n) ends.push_back(ends_[n % kKeptCutEnds]);
  return ends;
}

}  // namespace printersim
