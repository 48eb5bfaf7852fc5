// The cuts a printer made as it printed, counted from the first, with where the newest of
// them end in what it printed: a look at the newest receipts can begin at a cut without
// reading everything that came before it.
//
// Adding never allocates, so that a printer's step can change everything at once.
#ifndef PRINTERSIM_CUT_LOG_H
#define PRINTERSIM_CUT_LOG_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <printersim/printersim.h>

namespace printersim {

class CutLog {
 public:
  // One more cut, ending `end` bytes into what the printer printed.
  void Add(std::uint64_t end);
  // Cuts in all.
  std::uint64_t Count() const { return count_; }
  // Where the newest `most` cuts end (at most kKeptCutEnds of them), oldest first.
  std::vector<std::uint64_t> NewestEnds(std::size_t most) const;

 private:
  std::array<std::uint64_t, kKeptCutEnds> ends_{};  // the n-th cut's end at n % kKeptCutEnds
  std::uint64_t count_ = 0;
};

}  // namespace printersim

#endif  // PRINTERSIM_CUT_LOG_H
