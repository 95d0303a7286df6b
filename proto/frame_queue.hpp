// The queue through which the session hands one visitor stream the gateway's frames,
// counted by frames and by payload bytes.
#pragma once

#include <cstddef>

#include "proto/frame.hpp"
#include "proto/local_queue.hpp"

namespace quillmar {

struct PayloadBytes {
  std::size_t operator()(const Frame& frame) const { return frame.payload.size(); }
};

using FrameSender = LocalSender<Frame, PayloadBytes>;
using FrameReceiver = LocalReceiver<Frame, PayloadBytes>;

inline std::pair<FrameSender, FrameReceiver> make_frame_queue(QueueLimits limits) {
  return make_local_queue<Frame, PayloadBytes>(limits);
}

}  // namespace quillmar
