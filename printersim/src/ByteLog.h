// A log of the bytes that flowed one way through a printer, counted from the first: it
// keeps them all, or, once told to keep only the newest ones, at least that many of the
// newest (so that a printer that prints for days does not grow without bound). Offsets are
// absolute: the n-th byte ever logged is at offset n whatever was let go before it.
//
// Appending never allocates once room was made with Reserve, so that a printer's step can
// make all its room first and then change everything at once.
#ifndef PRINTERSIM_BYTE_LOG_H
#define PRINTERSIM_BYTE_LOG_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace printersim {

class ByteLog {
 public:
  // Room for `extra` more bytes; may throw std::bad_alloc, with nothing changed.
  void Reserve(std::size_t extra);
  template <typename Iterator>
  void Append(Iterator first, Iterator last) {
    bytes_.insert(bytes_.end(), first, last);
    LetGoOfOld();
  }
  // Bytes logged in all, those let go of included.
  std::uint64_t Total() const { return base_ + bytes_.size(); }
  // The bytes from offset `from` on; those no longer kept are left out, and *start (when
  // given) says at which offset the answer begins.
  std::vector<std::uint8_t> From(std::uint64_t from, std::uint64_t* start = nullptr) const;
  // Keeps at least the newest `bytes` from now on (0: everything, as at first).
  void KeepRecent(std::uint64_t bytes);

 private:
  void LetGoOfOld();

  std::vector<std::uint8_t> bytes_;
  std::uint64_t base_ = 0;    // offset of bytes_[0]
  std::uint64_t recent_ = 0;  // 0: keep everything
};

}  // namespace printersim

#endif  // PRINTERSIM_BYTE_LOG_H
