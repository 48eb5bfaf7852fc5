#include "RealTimeCommands.h"

namespace printersim {

namespace {
constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kDc4 = 0x14;

// Arguments that follow DLE DC4 fn, by fn; 0 for a function the printer does not know.
int ArgumentsOf(std::uint8_t fn) {
  switch (fn) {
    case 1: return 2;  // m t: pulse
    case 2: return 2;  // a b: power off
    case 7: return 3;  // a b c: buzzer
    case 8: return 7;  // d1..d7: clear buffers
    default: return 0;
  }
}
}  // namespace

void RealTimeCommands::Feed(const std::uint8_t* data, std::size_t size, Requests* requests) {
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = data[i];
    ended_ = false;
    switch (state_) {
      case State::kData:
        if (byte == kDle) state_ = State::kAfterDle;
        break;
      case State::kAfterDle:
        // DLE DLE EOT n is still a request: the second DLE may begin it.
        if (byte == kEot) {
          state_ = State::kAfterEot;
        } else if (byte == kDc4) {
          state_ = State::kAfterDc4;
        } else if (byte != kDle) {
          state_ = State::kData;
        }
        break;
      case State::kAfterEot:
        if (byte >= 1 && byte <= 4) {
          requests->statusRequests.push_back(byte);
          state_ = State::kData;
          ended_ = true;
        } else {
          // Not a status request after all; a DLE here may begin the next one.
          state_ = byte == kDle ? State::kAfterDle : State::kData;
        }
        break;
      case State::kAfterDc4:
        argumentsLeft_ = ArgumentsOf(byte);
        drawerKick_ = byte == 1;
        state_ = argumentsLeft_ > 0 ? State::kArguments : State::kData;
        ended_ = argumentsLeft_ == 0;
        break;
      case State::kArguments:
        if (--argumentsLeft_ == 0) {
          if (drawerKick_) ++requests->drawerPulses;
          state_ = State::kData;
          ended_ = true;
        }
        break;
    }
  }
}

void RealTimeCommands::Restart() { state_ = State::kData; }

std::size_t RealTimeCommands::LeadingCommands(const std::uint8_t* data, std::size_t size) const {
  RealTimeCommands scan = *this;
  Requests ignored;
  std::size_t whole = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (scan.state_ == State::kData && data[i] != kDle) break;  // print data
    scan.Feed(data + i, 1, &ignored);
    if (scan.ended_) {
      whole = i + 1;
    } else if (scan.state_ == State::kData) {
      break;  // a DLE that began no command
    }
  }
  return whole;
}

}  // namespace printersim
