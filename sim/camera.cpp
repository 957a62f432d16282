#include "sim/camera.h"

#include <algorithm>

#include "sim/timing.h"

namespace sim {

namespace {

// Time the removal hook waits after the partial frame, so the host can hand the data to the
// waiting transfers before the device disappears.
constexpr std::chrono::milliseconds kRemovalSettleTime{20};

}  // namespace

Camera::Camera(CameraOptions options)
    : options_(std::move(options)),
      deviceDescriptor_(BuildDeviceDescriptor(options_.vendorId, options_.productId)),
      configurationDescriptor_(BuildConfigurationDescriptor()),
      firmware_(options_.chipVersion),
      scene_(options_.scene),
      noise_(options_.noiseSeed, options_.noiseAmplitude)
{
}

Camera::~Camera()
{
    scheduler_.Stop();
}

std::vector<std::uint8_t> Camera::DeviceDescriptor() const
{
    return deviceDescriptor_;
}

std::vector<std::uint8_t> Camera::ConfigurationDescriptor(std::uint8_t index) const
{
    if (index != 0) {
        return {};
    }
    const auto& replaced = options_.configurationDescriptors;
    if (!replaced.empty()) {
        std::size_t request = configurationRequests_.fetch_add(1);
        return replaced[std::min(request, replaced.size() - 1)];
    }
    return configurationDescriptor_;
}

bool Camera::SetConfiguration(std::uint8_t configurationValue)
{
    std::lock_guard lock(mutex_);
    if (configurationValue == 0) {
        configured_ = false;
        scheduler_.Clear();
        return true;
    }
    if (configurationValue != kConfigurationValue) {
        return false;
    }
    configured_ = true;
    return true;
}

usbd::EndpointResult Camera::OutTransfer(std::uint8_t endpointAddress, const std::uint8_t* data,
                                         std::size_t length)
{
    if (endpointAddress != kCommandEndpoint) {
        return usbd::EndpointResult::Stall;
    }
    {
        std::lock_guard lock(mutex_);
        if (!configured_) {
            return usbd::EndpointResult::Error;
        }
        std::vector<std::uint8_t> bytes(data, data + length);
        if (faults_.removalCommands < 0) {
            return usbd::EndpointResult::Error;  // on its way off the port
        }
        if (faults_.commandHalted || TakeFault(faults_.failedCommands)) {
            usbd::EndpointResult result =
                faults_.commandHalted ? usbd::EndpointResult::Stall : faults_.commandFailure;
            if (result == usbd::EndpointResult::Stall) {
                faults_.commandHalted = true;
            }
            ++stats_.refusedCommands;
            log_.Add({LogKind::Refused, endpointAddress, std::move(bytes), length, 0});
            return result;
        }
        // The firmware takes its FIFO 64 bytes at a time; a shorter tail reads as zeros.
        for (std::size_t offset = 0; offset < length; offset += kPacketSize) {
            Packet packet{};
            std::size_t count = std::min(kPacketSize, length - offset);
            std::copy_n(data + offset, count, packet.begin());
            HandleCommandLocked(packet);
            if (faults_.removalCommands > 0 && --faults_.removalCommands == 0) {
                faults_.removalCommands = -1;
                scheduler_.At(Scheduler::Clock::now(), [unplug = std::move(faults_.unplug)] {
                    unplug();
                });
                faults_.unplug = nullptr;
            }
        }
    }
    Drain();
    return usbd::EndpointResult::Ok;
}

void Camera::ClearHalt(std::uint8_t endpointAddress)
{
    std::lock_guard lock(mutex_);
    ++stats_.haltsCleared;
    if (endpointAddress == kCommandEndpoint) {
        faults_.commandHalted = false;
    }
}

void Camera::ResetLocked()
{
    scheduler_.Clear();
    firmware_.Reset();
    configured_ = false;
    faults_.commandHalted = false;
    requestAwaitsTrigger_ = false;
    triggeredFrameHeld_ = false;
    anchor_.reset();
}

void Camera::PortReset()
{
    std::lock_guard lock(mutex_);
    ++stats_.portResets;
    ResetLocked();
}

void Camera::Attached(usbd::UsbPort* port)
{
    // A scheduler thread left over from an earlier removal ends here, before new work comes.
    scheduler_.Stop();
    std::lock_guard lock(mutex_);
    port_ = port;
    ResetLocked();
}

void Camera::Detached()
{
    {
        std::unique_lock lock(mutex_);
        port_ = nullptr;
        configured_ = false;
        actionsSent_ += outbox_.size();
        outbox_.clear();
        requestAwaitsTrigger_ = false;
        triggeredFrameHeld_ = false;
        // A port call in flight on another thread must end before the port may go away.
        if (drainer_ != std::this_thread::get_id()) {
            drained_.wait(lock, [this] { return !draining_; });
        }
    }
    scheduler_.Stop();
}

void Camera::Post(PortAction action)
{
    outbox_.push_back(std::move(action));
    ++actionsPosted_;
}

void Camera::Drain()
{
    std::unique_lock lock(mutex_);
    if (draining_) {
        // The thread already draining sends these too, in order. A caller on another thread
        // waits until they are out: the device acts on a command (dropping stale frame data
        // from its FIFO) before the host sees the command's transfer complete, so no stale
        // byte may reach a transfer issued after it.
        if (drainer_ != std::this_thread::get_id()) {
            const std::uint64_t mine = actionsPosted_;
            drained_.wait(lock, [this, mine] { return !draining_ || actionsSent_ >= mine; });
        }
        return;
    }
    draining_ = true;
    drainer_ = std::this_thread::get_id();
    while (!outbox_.empty()) {
        PortAction action = std::move(outbox_.front());
        outbox_.pop_front();
        usbd::UsbPort* port = port_;
        lock.unlock();
        switch (action.kind) {
        case PortAction::Kind::Send:
            if (port != nullptr) {
                port->SendIn(action.endpoint, std::move(action.message));
            }
            break;
        case PortAction::Kind::FailNext:
            if (port != nullptr) {
                port->FailNextIn(action.endpoint, action.result);
            }
            break;
        case PortAction::Kind::Flush:
            if (port != nullptr) {
                port->FlushIn(action.endpoint);
            }
            break;
        }
        lock.lock();
        ++actionsSent_;
        drained_.notify_all();
    }
    draining_ = false;
    drainer_ = std::thread::id();
    drained_.notify_all();
}

void Camera::HandleCommandLocked(const Packet& packet)
{
    ++stats_.commands;
    ++stats_.commandsByOpcode[packet[0]];
    log_.Add({LogKind::Command, kCommandEndpoint, {packet.begin(), packet.end()}, kPacketSize, 0});

    CommandOutcome outcome = firmware_.Handle(packet);
    if (!outcome.known) {
        ++stats_.unknownCommands;
        return;
    }
    if (outcome.restartStream) {
        RestartStreamLocked();
    }
    if (outcome.replies) {
        if (rewriteReplies_) {
            rewriteReplies_(packet, outcome.firstReply, outcome.secondReply);
        }
        SendRepliesLocked(outcome);
    }
    if (outcome.frameRequested) {
        FrameRequestedLocked();
    }
    if (outcome.sensorWritten && requestAwaitsTrigger_ && !firmware_.Sensor().SnapshotMode()) {
        // Back to free-running: the waiting request is served by the next frame.
        requestAwaitsTrigger_ = false;
        ScheduleFrameLocked(RealTime() ? NextFrameBoundaryLocked() : Scheduler::Clock::now());
    }
}

void Camera::RestartStreamLocked()
{
    // Stale frame data in the bridge's FIFO is dropped, and the sensor restarts its frames.
    scheduler_.Clear();
    Post({PortAction::Kind::Flush, kFrameEndpoint, {}, usbd::EndpointResult::Ok});
    requestAwaitsTrigger_ = false;
    triggeredFrameHeld_ = false;
    anchor_.reset();
}

void Camera::PostRepliesLocked(const std::vector<Packet>& replies)
{
    for (const Packet& reply : replies) {
        ++stats_.repliesSent;
        log_.Add({LogKind::Reply, kReplyEndpoint, {reply.begin(), reply.end()}, kPacketSize, 0});
        Post({PortAction::Kind::Send, kReplyEndpoint,
              usbd::InMessage::Of({reply.begin(), reply.end()}), usbd::EndpointResult::Ok});
    }
}

void Camera::SendRepliesLocked(const CommandOutcome& outcome)
{
    std::vector<Packet> replies = {outcome.firstReply, outcome.secondReply};
    if (TakeFault(faults_.lostReplies)) {
        std::size_t kept = faults_.replyLoss == ReplyLoss::Both ? 0 : 1;
        stats_.repliesLost += replies.size() - kept;
        replies.resize(kept);
    }
    if (replies.empty()) {
        return;
    }
    if (TakeFault(faults_.lateReplies)) {
        stats_.repliesDelayed += replies.size();
        scheduler_.At(Scheduler::Clock::now() + faults_.replyDelay, [this, replies] {
            {
                std::lock_guard lock(mutex_);
                if (port_ == nullptr) {
                    return;
                }
                PostRepliesLocked(replies);
            }
            Drain();
        });
        return;
    }
    PostRepliesLocked(replies);
}

Scheduler::Clock::time_point Camera::NextFrameBoundaryLocked()
{
    auto now = Scheduler::Clock::now();
    auto period = sim::FrameTime(firmware_.Sensor(), firmware_.Bridge().ClockSelection());
    if (!anchor_ || period != anchorPeriod_) {
        // The sensor (re)starts its frame cycle: the first frame ends one period from now.
        anchor_ = std::max(now, lastDue_);
        anchorPeriod_ = period;
    }
    auto elapsed = now - *anchor_;
    auto periods = elapsed.count() < 0 ? 0 : elapsed / period + 1;
    Scheduler::Clock::time_point due =
        *anchor_ + std::chrono::duration_cast<Scheduler::Clock::duration>(period * periods);
    if (due <= lastDue_) {
        due = lastDue_ + std::chrono::duration_cast<Scheduler::Clock::duration>(period);
    }
    lastDue_ = due;
    return due;
}

void Camera::FrameRequestedLocked()
{
    ++stats_.frameRequests;
    Post({PortAction::Kind::Flush, kFrameEndpoint, {}, usbd::EndpointResult::Ok});
    if (firmware_.Sensor().SnapshotMode()) {
        if (triggeredFrameHeld_) {
            triggeredFrameHeld_ = false;
            ScheduleFrameLocked(Scheduler::Clock::now());
        } else {
            requestAwaitsTrigger_ = true;
        }
        return;
    }
    ScheduleFrameLocked(RealTime() ? NextFrameBoundaryLocked() : Scheduler::Clock::now());
}

void Camera::ScheduleFrameLocked(Scheduler::Clock::time_point due)
{
    if (TakeFault(faults_.lateFrames)) {
        ++stats_.framesDelayed;
        due += faults_.frameDelay;
    }
    // Removal runs its hook on the camera's own thread, never inside a call from the host.
    if (due <= Scheduler::Clock::now() && !faults_.removeMidFrame) {
        ProduceFrameLocked();
        return;
    }
    scheduler_.At(due, [this] {
        std::function<void()> unplug;
        {
            std::lock_guard lock(mutex_);
            if (port_ == nullptr || !configured_) {
                return;
            }
            ProduceFrameLocked();
            unplug = std::move(pendingUnplug_);
            pendingUnplug_ = nullptr;
        }
        Drain();
        if (unplug) {
            WaitUntilDrained();
            std::this_thread::sleep_for(kRemovalSettleTime);
            unplug();
        }
    });
}

void Camera::WaitUntilDrained()
{
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return !draining_ && outbox_.empty(); });
}

void Camera::ProduceFrameLocked()
{
    std::uint32_t number = ++frameNumber_;
    if (TakeFault(faults_.droppedFrames)) {
        ++stats_.framesDropped;
        log_.Add({LogKind::FrameDropped, kFrameEndpoint, {}, 0, number});
        return;
    }

    SensorRegisters& sensor = firmware_.Sensor();
    // Without noise a frame depends only on the scene and the registers: when none of them
    // changed, the last frame is the next one too, and building it again would only cost time.
    FrameInputs inputs{sensor.Window(), sensor.Exposure(), sensor.Gain(), sceneVersion_};
    if (options_.noiseAmplitude > 0 || !lastInputs_ || !(*lastInputs_ == inputs)) {
        lastFrame_ = std::make_shared<const RawFrame>(
            BuildFrame(scene_, inputs.window, inputs.exposure, inputs.gain,
                       options_.noiseAmplitude > 0 ? &noise_ : nullptr));
        lastInputs_ = inputs;
    }
    // The mean level costs a pass over the frame; only the automatic loops need it.
    bool automatic = sensor.AutoExposure() || sensor.AutoGain();
    if (automatic && AutoExposureStep(sensor, MeanLevel(*lastFrame_), options_.brightnessTarget)) {
        ++stats_.autoExposureSteps;
    }

    // The bridge sends exactly its transfer size: the pixels, then zero filler. The message
    // shares the frame's pixels instead of copying them.
    usbd::InMessage message{
        std::shared_ptr<const std::vector<std::uint8_t>>(lastFrame_, &lastFrame_->pixels),
        firmware_.Bridge().TransferSize()};
    if (TakeFault(faults_.shortFrames)) {
        ++stats_.framesShortened;
        message.length = std::min(message.length, faults_.shortFrameBytes);
    }
    firmware_.Bridge().CountFrame();

    if (faults_.removeMidFrame) {
        faults_.removeMidFrame = false;
        ++stats_.framesCutByRemoval;
        message.length = std::min(message.length, faults_.removalBytes);
        pendingUnplug_ = std::move(faults_.unplug);
        faults_.unplug = nullptr;
    }

    ++stats_.framesSent;
    log_.Add({LogKind::Frame, kFrameEndpoint, {}, message.length, number});
    Post({PortAction::Kind::Send, kFrameEndpoint, std::move(message), usbd::EndpointResult::Ok});
}

void Camera::SetScene(Scene scene)
{
    std::lock_guard lock(mutex_);
    scene_ = std::move(scene);
    ++sceneVersion_;
}

void Camera::Trigger()
{
    {
        std::lock_guard lock(mutex_);
        ++stats_.triggers;
        const SensorRegisters& sensor = firmware_.Sensor();
        if (!sensor.SnapshotMode() || !firmware_.Bridge().TriggerForwarded() || !configured_) {
            ++stats_.triggersIgnored;
            return;
        }
        if (!requestAwaitsTrigger_) {
            triggeredFrameHeld_ = true;
            return;
        }
        requestAwaitsTrigger_ = false;
        auto due = Scheduler::Clock::now();
        if (RealTime()) {
            due += std::chrono::duration_cast<Scheduler::Clock::duration>(
                TriggeredFrameTime(sensor, firmware_.Bridge().ClockSelection()));
        }
        ScheduleFrameLocked(due);
    }
    Drain();
}

std::uint16_t Camera::PeekSensorRegister(std::uint8_t reg) const
{
    std::lock_guard lock(mutex_);
    return firmware_.Sensor().Read(reg);
}

void Camera::PokeSensorRegister(std::uint8_t reg, std::uint16_t value)
{
    std::lock_guard lock(mutex_);
    firmware_.Sensor().Write(reg, value);
}

std::uint8_t Camera::PeekBridgeRegister(std::uint8_t reg) const
{
    std::lock_guard lock(mutex_);
    return firmware_.Bridge().Read(reg);
}

std::uint8_t Camera::PeekDataStore(std::uint16_t address) const
{
    std::lock_guard lock(mutex_);
    return firmware_.Store().Peek(address);
}

void Camera::PokeDataStore(std::uint16_t address, std::uint8_t value)
{
    std::lock_guard lock(mutex_);
    firmware_.Store().Poke(address, value);
}

std::uint32_t Camera::TransferSize() const
{
    std::lock_guard lock(mutex_);
    return firmware_.Bridge().TransferSize();
}

SensorWindow Camera::Window() const
{
    std::lock_guard lock(mutex_);
    return firmware_.Sensor().Window();
}

FrameState Camera::FrameSequenceState() const
{
    std::lock_guard lock(mutex_);
    return firmware_.State();
}

bool Camera::Configured() const
{
    std::lock_guard lock(mutex_);
    return configured_;
}

bool Camera::IsAttached() const
{
    std::lock_guard lock(mutex_);
    return port_ != nullptr;
}

std::chrono::nanoseconds Camera::FrameTime() const
{
    std::lock_guard lock(mutex_);
    return sim::FrameTime(firmware_.Sensor(), firmware_.Bridge().ClockSelection());
}

RawFrame Camera::LastFrame() const
{
    std::lock_guard lock(mutex_);
    return *lastFrame_;
}

CameraStatistics Camera::Statistics() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

void Camera::WaitIdle()
{
    scheduler_.WaitIdle();
}

void Camera::FailNextCommands(int count, usbd::EndpointResult result)
{
    std::lock_guard lock(mutex_);
    faults_.failedCommands = count;
    faults_.commandFailure = result;
}

void Camera::StallEndpoint(std::uint8_t endpointAddress)
{
    if (endpointAddress == kCommandEndpoint) {
        std::lock_guard lock(mutex_);
        faults_.commandHalted = true;
        return;
    }
    FailNextIn(endpointAddress, usbd::EndpointResult::Stall);
}

void Camera::FailNextIn(std::uint8_t endpointAddress, usbd::EndpointResult result)
{
    {
        std::lock_guard lock(mutex_);
        Post({PortAction::Kind::FailNext, endpointAddress, {}, result});
    }
    Drain();
}

void Camera::LoseReplies(int reads, ReplyLoss loss)
{
    std::lock_guard lock(mutex_);
    faults_.lostReplies = reads;
    faults_.replyLoss = loss;
}

void Camera::DelayReplies(int reads, std::chrono::milliseconds delay)
{
    std::lock_guard lock(mutex_);
    faults_.lateReplies = reads;
    faults_.replyDelay = delay;
}

void Camera::DropFrames(int count)
{
    std::lock_guard lock(mutex_);
    faults_.droppedFrames = count;
}

void Camera::ShortenFrames(int count, std::size_t bytes)
{
    std::lock_guard lock(mutex_);
    faults_.shortFrames = count;
    faults_.shortFrameBytes = bytes;
}

void Camera::DelayFrames(int count, std::chrono::milliseconds delay)
{
    std::lock_guard lock(mutex_);
    faults_.lateFrames = count;
    faults_.frameDelay = delay;
}

void Camera::RemoveDuringNextFrame(std::size_t bytes, std::function<void()> unplug)
{
    std::lock_guard lock(mutex_);
    faults_.removeMidFrame = true;
    faults_.removalBytes = bytes;
    faults_.unplug = std::move(unplug);
}

void Camera::RewriteReplies(ReplyRewriter rewrite)
{
    std::lock_guard lock(mutex_);
    rewriteReplies_ = std::move(rewrite);
}

void Camera::RemoveAfterCommands(int commands, std::function<void()> unplug)
{
    std::lock_guard lock(mutex_);
    faults_.removalCommands = commands;
    faults_.unplug = std::move(unplug);
}

void Camera::ClearFaults()
{
    std::lock_guard lock(mutex_);
    faults_ = FaultPlan{};
}

}  // namespace sim
