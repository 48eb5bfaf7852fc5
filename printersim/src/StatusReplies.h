// ESC/POS real-time status: the host sends DLE EOT n (0x10 0x04 n) and the printer answers
// at once with one status byte, whatever else it is busy with. n = 1 asks the printer
// status, 2 the off-line cause, 3 the error cause, 4 the paper sensors. Every reply byte has
// bit 1 and bit 4 set and bit 0 and bit 7 clear (0xx1xx10), so 0x12 means no condition.
#ifndef PRINTERSIM_STATUSREPLIES_H
#define PRINTERSIM_STATUSREPLIES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace printersim {

constexpr std::uint8_t kStatusNoCondition = 0x12;

// Finds DLE EOT n in the byte stream written to the printer, also when a request is split
// across writes. Not thread-safe: the printer feeds it under its own lock.
class StatusReplies {
 public:
  StatusReplies();

  void SetReply(int n, std::uint8_t value);  // n = 1..4
  // Scans host-to-printer bytes and appends the reply to every complete request.
  void Feed(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* replies);
  // Forgets a request begun but not finished (the printer was powered off).
  void Restart();

 private:
  enum class State { kData, kAfterDle, kAfterEot };
  State state_ = State::kData;
  std::array<std::uint8_t, 4> replies_;
};

}  // namespace printersim

#endif  // PRINTERSIM_STATUSREPLIES_H
