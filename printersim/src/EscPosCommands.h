// How long an ESC/POS command is, measured from its first bytes, and the commands a printer
// acts on as it prints (not as the bytes arrive): the interpreter that draws receipts and the
// simulated printers measure commands the same way.
//
// Measuring never reads past the bytes it is given. A command whose length fields are all
// there has a known length even when its data has not all come yet, so that a printer can
// pass over a large image that arrives in pieces without holding it.
#ifndef PRINTERSIM_ESCPOSCOMMANDS_H
#define PRINTERSIM_ESCPOSCOMMANDS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace printersim {

constexpr std::uint8_t kHt = 0x09;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kFs = 0x1C;
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kGs = 0x1D;

// The length of the command (or the single byte) at the head of `data`: 1 for a byte that
// begins no command, the command's whole length once its length fields are there (it may be
// more than `size`), or kLengthUnknown while they are not.
constexpr std::size_t kLengthUnknown = 0;
std::size_t CommandLength(const std::uint8_t* data, std::size_t size);

// GS V m [n]: the cut modes that take a feed amount n, and those that cut at once.
bool CutTakesFeed(std::uint8_t mode);
bool IsCutWithoutFeed(std::uint8_t mode);
// Whether the whole command `command` (`length` bytes, as CommandLength measured) cuts the
// paper: ESC i, ESC m, or GS V in one of its cut modes.
bool IsCut(const std::uint8_t* command, std::size_t length);

// Follows a stream of print data as the printer prints it, command by command, and tells
// what it does beyond drawing: ESC p m t1 t2 pulses a cash drawer, and a cut ends a receipt.
// A command split across pieces is found all the same; a command that never ends (a GS k
// whose NUL never comes) is given up after kMostHeldBytes (none the printer takes is that
// long). Not thread-safe: the printer feeds it under its own lock.
class PrintedCommands {
 public:
  static constexpr std::size_t kMostHeldBytes = 64 << 10;

  struct Effects {
    int drawerPulses = 0;
    // Where each cut ends, counted from the first byte ever fed, in order.
    std::vector<std::uint64_t> cutEnds;
  };

  void Feed(const std::uint8_t* data, std::size_t size, Effects* effects);

 private:
  // `data` begins `offset` bytes into the stream.
  void FeedAt(const std::uint8_t* data, std::size_t size, std::uint64_t offset, Effects* effects);
  // The command ends `end` bytes into the stream.
  void Act(const std::uint8_t* command, std::size_t length, std::uint64_t end, Effects* effects) const;
  // Whether `command` begins with FS q n; then its images are followed one by one.
  static constexpr std::size_t kNvBitImagesHead = 3;
  bool BeginsNvBitImages(const std::uint8_t* command, std::size_t size);

  std::uint64_t fed_ = 0;           // bytes fed in all

  std::vector<std::uint8_t> held_;  // the head of a command whose length is not known yet
  std::size_t skip_ = 0;            // bytes still to come of a command that needs no look
  std::size_t nvImagesLeft_ = 0;    // images still to come of an FS q
  std::uint8_t nvHeader_[4] = {};   // the header of the next of them, as far as it came
  std::size_t nvHeaderBytes_ = 0;
};

}  // namespace printersim

#endif  // PRINTERSIM_ESCPOSCOMMANDS_H
