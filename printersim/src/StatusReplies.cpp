#include "StatusReplies.h"

namespace printersim {

namespace {
constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kEot = 0x04;
}  // namespace

StatusReplies::StatusReplies() { replies_.fill(kStatusNoCondition); }

void StatusReplies::SetReply(int n, std::uint8_t value) {
  replies_[static_cast<std::size_t>(n - 1)] = value;
}

void StatusReplies::Feed(const std::uint8_t* data, std::size_t size,
                         std::vector<std::uint8_t>* replies) {
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = data[i];
    switch (state_) {
      case State::kData:
        if (byte == kDle) state_ = State::kAfterDle;
        break;
      case State::kAfterDle:
        // DLE DLE EOT n is still a request: the second DLE may begin it.
        if (byte == kEot) {
          state_ = State::kAfterEot;
        } else if (byte != kDle) {
          state_ = State::kData;
        }
        break;
      case State::kAfterEot:
        if (byte >= 1 && byte <= 4) {
          replies->push_back(replies_[byte - 1u]);
          state_ = State::kData;
        } else {
          // Not a status request after all; a DLE here may begin the next one.
          state_ = byte == kDle ? State::kAfterDle : State::kData;
        }
        break;
    }
  }
}

void StatusReplies::Restart() { state_ = State::kData; }

}  // namespace printersim
