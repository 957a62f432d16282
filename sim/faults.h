// Faults the camera can be told to show, switched at run time. Counted faults apply to the next
// `count` occasions (kAlways: until switched off).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>

#include <usbd/host/usb_function.h>

namespace sim {

constexpr int kAlways = std::numeric_limits<int>::max();

// Takes one occasion from a fault counter; true when the fault applies this time.
bool TakeFault(int& count);

enum class ReplyLoss {
    Both,    // neither reply of a read is sent
    Second,  // only the acknowledgement is sent, the value never comes
};

struct FaultPlan {
    // Command endpoint: OUT transfers answered with a failure instead of being processed.
    int failedCommands = 0;
    usbd::EndpointResult commandFailure = usbd::EndpointResult::Error;
    bool commandHalted = false;  // stalls every command until the host clears the halt

    // Replies of reads.
    int lostReplies = 0;
    ReplyLoss replyLoss = ReplyLoss::Both;
    int lateReplies = 0;
    std::chrono::milliseconds replyDelay{0};

    // Frames.
    int droppedFrames = 0;  // requested frames that never come
    int shortFrames = 0;    // frame messages cut to `shortFrameBytes`
    std::size_t shortFrameBytes = 0;
    int lateFrames = 0;
    std::chrono::milliseconds frameDelay{0};

    // Removal after the next `removalCommands` command packets: the camera takes no command
    // after the last of them and `unplug` runs on the camera's own thread.
    int removalCommands = 0;

    // Removal in the middle of the next frame: `removalBytes` of it are sent, then `unplug`
    // runs on the camera's own thread (it is expected to take the camera off its port).
    bool removeMidFrame = false;
    std::size_t removalBytes = 0;
    std::function<void()> unplug;
};

}  // namespace sim
