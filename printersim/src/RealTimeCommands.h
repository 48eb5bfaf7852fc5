// The real-time commands an ESC/POS printer acts on as they arrive, whatever else it is busy
// with, also while it does not print: DLE EOT n (0x10 0x04 n), the status request (n = 1
// asks the printer status, 2 the off-line cause, 3 the error cause, 4 the paper sensors), and
// DLE DC4 fn ..., of which fn 1 (DLE DC4 1 m t) kicks the cash drawer open; the others are
// passed over with their arguments. A command split across writes is found all the same.
// Not thread-safe: the printer feeds it under its own lock.
#ifndef PRINTERSIM_REALTIMECOMMANDS_H
#define PRINTERSIM_REALTIMECOMMANDS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace printersim {

constexpr std::uint8_t kStatusNoCondition = 0x12;

class RealTimeCommands {
 public:
  // What a stretch of host bytes asked for, in order of arrival.
  struct Requests {
    std::vector<int> statusRequests;  // n of each DLE EOT n
    int drawerPulses = 0;
  };

  // Scans host-to-printer bytes and adds what they ask for to `requests`.
  void Feed(const std::uint8_t* data, std::size_t size, Requests* requests);
  // Forgets a command begun but not finished (the printer was powered off).
  void Restart();
  // How many bytes at the head of `data` are real-time commands and nothing else (ending
  // with a whole one), read on from where the stream is now: a printer whose buffer is full
  // still takes those.
  std::size_t LeadingCommands(const std::uint8_t* data, std::size_t size) const;

 private:
  enum class State { kData, kAfterDle, kAfterEot, kAfterDc4, kArguments };
  State state_ = State::kData;
  int argumentsLeft_ = 0;  // kArguments: bytes of DLE DC4 still to come
  bool drawerKick_ = false;  // kArguments: they end a drawer kick
  bool ended_ = false;       // the last byte fed ended a command
};

}  // namespace printersim

#endif  // PRINTERSIM_REALTIMECOMMANDS_H
