// Test support for the simulated camera: a fake port that keeps what the camera sends, and a
// host that speaks the camera's packet protocol over it the way the driver does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/camera.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

// Records every port call; IN messages queue per endpoint until a test takes them.
class FakePort : public usbd::UsbPort {
public:
    using usbd::UsbPort::SendIn;
    void SendIn(std::uint8_t endpointAddress, usbd::InMessage shared) override
    {
        // The bytes as they would arrive: the stored ones, then zero filler.
        Bytes message(shared.length, 0);
        if (shared.bytes != nullptr) {
            std::copy_n(shared.bytes->begin(), std::min(shared.length, shared.bytes->size()),
                        message.begin());
        }
        std::unique_lock lock(mutex_);
        if (holdNextSend_) {
            // Stalls the sending thread inside the port call until the test lets it go.
            holdNextSend_ = false;
            sendHeld_ = true;
            sendWasHeld_ = true;
            arrived_.notify_all();
            arrived_.wait(lock, [this] { return !sendHeld_; });
        }
        events_.push_back("send " + std::to_string(endpointAddress) + " " +
                          std::to_string(message.size()));
        queues_[endpointAddress].push_back(std::move(message));
        arrived_.notify_all();
    }

    void FailNextIn(std::uint8_t endpointAddress, usbd::EndpointResult result) override
    {
        std::lock_guard lock(mutex_);
        failures_.emplace_back(endpointAddress, result);
    }

    void FlushIn(std::uint8_t endpointAddress) override
    {
        std::lock_guard lock(mutex_);
        ++flushes_[endpointAddress];
        queues_[endpointAddress].clear();
    }

    // The next SendIn stops inside the port call until ReleaseHeldSend.
    void HoldNextSend()
    {
        std::lock_guard lock(mutex_);
        holdNextSend_ = true;
    }

    // Whether a send was held (and maybe already released) within the time-out.
    bool WaitForHeldSend(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, timeout, [this] { return sendWasHeld_; });
    }

    void ReleaseHeldSend()
    {
        std::lock_guard lock(mutex_);
        sendHeld_ = false;
        arrived_.notify_all();
    }

    void Note(const std::string& event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        arrived_.notify_all();
    }

    // Takes the oldest message of an endpoint, waiting up to `timeout` for one.
    std::optional<Bytes> Take(std::uint8_t endpoint,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(0))
    {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, timeout, [&] { return !queues_[endpoint].empty(); });
        if (queues_[endpoint].empty()) {
            return std::nullopt;
        }
        Bytes message = std::move(queues_[endpoint].front());
        queues_[endpoint].pop_front();
        return message;
    }

    std::size_t Queued(std::uint8_t endpoint)
    {
        std::lock_guard lock(mutex_);
        return queues_[endpoint].size();
    }

    std::vector<std::pair<std::uint8_t, usbd::EndpointResult>> Failures()
    {
        std::lock_guard lock(mutex_);
        return failures_;
    }

    int Flushes(std::uint8_t endpoint)
    {
        std::lock_guard lock(mutex_);
        return flushes_[endpoint];
    }

    std::vector<std::string> Events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

    bool WaitForEvent(const std::string& event, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, timeout, [&] {
            for (const auto& e : events_) {
                if (e == event) {
                    return true;
                }
            }
            return false;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<std::uint8_t, std::deque<Bytes>> queues_;
    std::vector<std::pair<std::uint8_t, usbd::EndpointResult>> failures_;
    std::map<std::uint8_t, int> flushes_;
    std::vector<std::string> events_;
    bool holdNextSend_ = false;
    bool sendHeld_ = false;
    bool sendWasHeld_ = false;
};

inline sim::Packet MakePacket(std::initializer_list<std::uint8_t> head)
{
    sim::Packet packet{};
    std::size_t i = 0;
    for (std::uint8_t byte : head) {
        packet[i++] = byte;
    }
    return packet;
}

// A camera plugged into a fake port and configured, and the driver's side of the protocol.
class TestHost {
public:
    explicit TestHost(sim::CameraOptions options = {}) : camera(std::move(options))
    {
        camera.Attached(&port);
        camera.SetConfiguration(sim::kConfigurationValue);
    }
    ~TestHost()
    {
        if (camera.IsAttached()) {
            camera.Detached();
        }
    }

    usbd::EndpointResult Send(const sim::Packet& packet)
    {
        return camera.OutTransfer(sim::kCommandEndpoint, packet.data(), packet.size());
    }

    void WriteSensor(std::uint8_t reg, std::uint16_t value)
    {
        ASSERT_EQ(Send(MakePacket({0x04, reg, static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value & 0xFF)})),
                  usbd::EndpointResult::Ok);
    }

    void WriteBridge(std::uint8_t reg, std::uint8_t value)
    {
        ASSERT_EQ(Send(MakePacket({0x25, reg, value})), usbd::EndpointResult::Ok);
    }

    // The second reply of a read: both replies must be there.
    std::optional<Bytes> ReadReply(const sim::Packet& command)
    {
        if (Send(command) != usbd::EndpointResult::Ok) {
            return std::nullopt;
        }
        auto first = port.Take(sim::kReplyEndpoint);
        auto second = port.Take(sim::kReplyEndpoint);
        if (!first || !second) {
            return std::nullopt;
        }
        return second;
    }

    std::optional<std::uint16_t> ReadSensor(std::uint8_t reg)
    {
        auto reply = ReadReply(MakePacket({0x0C, reg}));
        if (!reply) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>((*reply)[0] << 8 | (*reply)[1]);
    }

    std::optional<std::uint8_t> ReadBridge(std::uint8_t reg)
    {
        auto reply = ReadReply(MakePacket({0x26, reg}));
        if (!reply) {
            return std::nullopt;
        }
        return (*reply)[0];
    }

    // Stream start as the driver programs it for a region and sub-sampling mode, after the
    // sensor initialisation has switched automatic exposure and gain off.
    void ProgramWindow(int x, int y, int w, int h, int subSample)
    {
        WriteSensor(0xAF, 0);
        int frameWidth = w;
        int frameHeight = h;
        if (subSample == 1) {
            x = 0, y = 0, w = 752, h = 480, frameWidth = 376, frameHeight = 240;
        } else if (subSample == 2) {
            x = 0, y = 0, w = 752, h = 480, frameWidth = 188, frameHeight = 120;
        }
        std::uint16_t readMode = ReadSensor(0x0D).value_or(0) & 0xFFF0;
        readMode |= subSample == 1 ? 0x5 : subSample == 2 ? 0xA : 0;
        WriteSensor(0x0D, readMode);
        WriteSensor(0x05, frameWidth >= 570 ? 64 : (663 - frameWidth) & ~3);
        WriteSensor(0x06, 45);
        WriteSensor(0x01, static_cast<std::uint16_t>(x));
        WriteSensor(0x02, static_cast<std::uint16_t>(y + (subSample == 1 ? 2 : 4)));
        WriteSensor(0x03, static_cast<std::uint16_t>(h));
        WriteSensor(0x04, static_cast<std::uint16_t>(w));
        std::uint32_t size = (static_cast<std::uint32_t>(frameWidth * frameHeight) + 2047) & ~2047u;
        for (std::uint8_t i = 0; i < 4; ++i) {
            WriteBridge(i, static_cast<std::uint8_t>(size >> (8 * i)));
        }
    }

    void SetFlips(bool flipH, bool flipV)
    {
        std::uint16_t mode = ReadSensor(0x0D).value_or(0) & 0xFFCF;
        mode |= (flipH ? 0x20 : 0) | (flipV ? 0x10 : 0);
        WriteSensor(0x0D, mode);
    }

    // The frame read sequence: request, begin, (chunk reads), end. Returns the frame message.
    std::optional<Bytes> ReadFrame(std::chrono::milliseconds timeout = std::chrono::milliseconds(0))
    {
        Send(MakePacket({0x02}));
        Send(MakePacket({0x02}));
        Send(MakePacket({0x03}));
        return port.Take(sim::kFrameEndpoint, timeout);
    }

    FakePort port;
    sim::Camera camera;
};

}  // namespace simtest
