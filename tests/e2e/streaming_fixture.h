// A camera plugged in and a capture pin on it, reached like an application does: filter by
// category, data intersection, pin creation with the negotiated format, state changes, frames.
#pragma once

#include "driver/camera_fixture.h"

#include "capture/capture_worker.h"
#include "control/property_set.h"
#include "pin/capture_pin.h"
#include "usb/frame_timeout.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace cameratest {

// The delivered frame's pixel at (x, y) of the picture as people see it: the frame is
// bottom-up, `height` rows of `stride` bytes.
inline sim::Rgb PixelAt(const std::vector<std::uint8_t>& frame, ULONG height, ULONG stride,
                        ULONG x, ULONG y)
{
    const std::uint8_t* pixel = frame.data() + (height - 1 - y) * stride + x * 4;
    return sim::Rgb{pixel[2], pixel[1], pixel[0]};
}

class StreamingTest : public OneCameraTest {
protected:
    void SetUp() override
    {
        OneCameraTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // Unity exposure and gain: the raw levels are the scene's.
        device_->SetExposure(480);
        device_->SetGlobalGain(16);
        ASSERT_EQ(ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, filter_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        pin_.Close();
        filter_.Close();
        if (clock_ != nullptr) {
            KsCloseHandle(clock_);
            clock_ = nullptr;
        }
        InterlockedExchange(&FrameTimeout, 3000);
        CameraTest::TearDown();
    }

    // The camera's offered range, as the pin reports it.
    KS_DATARANGE_VIDEO OfferedRange() const
    {
        std::vector<std::vector<std::uint8_t>> ranges;
        EXPECT_EQ(filter_.DataRanges(0, ranges), STATUS_SUCCESS);
        KS_DATARANGE_VIDEO range{};
        if (!ranges.empty() && ranges[0].size() >= sizeof range) {
            std::memcpy(&range, ranges[0].data(), sizeof range);
        }
        return range;
    }

    // The offered range of an OutputFormat (imaging/output_formats.h), found by its subtype;
    // a zero range when the pin does not offer it.
    KS_DATARANGE_VIDEO OfferedRangeOfFormat(ULONG outputFormat) const
    {
        std::vector<std::vector<std::uint8_t>> ranges;
        EXPECT_EQ(filter_.DataRanges(0, ranges), STATUS_SUCCESS);
        KS_DATARANGE_VIDEO range{};
        for (const auto& bytes : ranges) {
            if (bytes.size() >= sizeof range) {
                std::memcpy(&range, bytes.data(), sizeof range);
                if (FormatOfSubtype(range.DataRange.SubFormat) == outputFormat) {
                    return range;
                }
            }
        }
        return KS_DATARANGE_VIDEO{};
    }

    // The negotiated format for the offered range of an OutputFormat (the first range, 32-bit
    // RGB, by default).
    std::vector<std::uint8_t> NegotiatedFormat(ULONG outputFormat = OutputFormatRgb32) const
    {
        KS_DATARANGE_VIDEO range = OfferedRangeOfFormat(outputFormat);
        std::vector<std::uint8_t> format;
        EXPECT_EQ(filter_.Intersect(0, &range, sizeof range, format), STATUS_SUCCESS);
        return format;
    }

    NTSTATUS CreatePin(const std::vector<std::uint8_t>& format, ksclient::Pin& pin,
                       bool withClock = true)
    {
        NTSTATUS status =
            filter_.CreatePin(0, format.data(), static_cast<ULONG>(format.size()), pin);
        if (NT_SUCCESS(status) && withClock) {
            if (clock_ == nullptr) {
                KsCreateDefaultClock(&clock_);
            }
            status = pin.SetMasterClock(clock_);
        }
        return status;
    }

    // Negotiates, creates the pin and runs it.
    void StartStreaming(bool withClock = true)
    {
        ASSERT_EQ(CreatePin(NegotiatedFormat(), pin_, withClock), STATUS_SUCCESS);
        ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }

    // Runs the pin and waits for its first frame.
    void StartStreamingWithAFrame()
    {
        StartStreaming();
        std::vector<std::uint8_t> frame;
        KSSTREAM_HEADER header{};
        ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    }

    ULONG FrameBytes() const
    {
        return device_->Geometry.OutputWidth * device_->Geometry.OutputHeight * 4;
    }

    NTSTATUS ReadFrame(std::vector<std::uint8_t>& frame, KSSTREAM_HEADER& header,
                       ULONG timeoutMs = 5000)
    {
        if (frame.size() < FrameBytes()) {
            frame.resize(FrameBytes());
        }
        return pin_.ReadFrame(frame, header, timeoutMs);
    }

    // The same with the frame information that follows the stream header.
    NTSTATUS ReadFrame(std::vector<std::uint8_t>& frame, KSSTREAM_HEADER& header,
                       KS_FRAME_INFO& frameInfo, ULONG timeoutMs = 5000)
    {
        if (frame.size() < FrameBytes()) {
            frame.resize(FrameBytes());
        }
        return pin_.ReadFrame(frame, header, frameInfo, timeoutMs);
    }

    // A private property item's value through the filter, as an application reads it; the
    // sentinel stays when the request fails (and the failure is reported).
    LONG GetCameraProperty(ULONG id) const
    {
        CameraPropertyValue record{};
        record.Value = 0x5A5A5A5A;
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
        EXPECT_EQ(ksclient::GetProperty(filter_.Get(), CameraPropertySet, id, &record,
                                        sizeof record, tail, sizeof record - sizeof(KSPROPERTY))
                      .status,
                  STATUS_SUCCESS)
            << "item " << id;
        return record.Value;
    }

    ksclient::Filter filter_;
    ksclient::Pin pin_;
    HANDLE clock_ = nullptr;
};

}  // namespace cameratest
