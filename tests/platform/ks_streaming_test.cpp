// Streaming: when the framework runs the pin's Process routine, the frames it hands over through
// the leading-edge stream pointer, and what becomes of frames still queued when the pin leaves
// RUN or closes.
#include "ks_test_fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace kstest {
namespace {

using ksclient::Filter;
using ksclient::Pin;

// How long a test lets the framework act on something it must not act on, before checking that
// it did not. Long enough for an asynchronous pass to have run.
constexpr auto SettleTime = std::chrono::milliseconds(150);

// One client frame queued with KsQueueFrame and waited for later.
class QueuedFrame {
public:
    QueuedFrame() : buffer_(FrameBytes + 64, 0xEE) {}
    QueuedFrame(const QueuedFrame&) = delete;
    QueuedFrame& operator=(const QueuedFrame&) = delete;
    ~QueuedFrame()
    {
        if (request_ != nullptr) {
            KsCancelFrame(request_);
            KsCloseHandle(request_);
        }
    }

    NTSTATUS Queue(const Pin& pin) { return Queue(pin.Get()); }
    NTSTATUS Queue(HANDLE pin)
    {
        header_ = KSSTREAM_HEADER{};
        header_.Size = sizeof(KSSTREAM_HEADER);
        header_.FrameExtent = static_cast<ULONG>(buffer_.size());
        header_.Data = buffer_.data();
        header_.OptionsFlags = 0;
        return KsQueueFrame(pin, &header_, &request_);
    }
    NTSTATUS Wait(ULONG timeoutMs = 5000) { return KsWaitFrame(request_, timeoutMs); }
    HANDLE Request() const { return request_; }

    const KSSTREAM_HEADER& Header() const { return header_; }
    const std::vector<std::uint8_t>& Buffer() const { return buffer_; }

private:
    std::vector<std::uint8_t> buffer_;
    KSSTREAM_HEADER header_{};
    HANDLE request_ = nullptr;
};

// The frame carries the pattern of the serial-th delivered frame over DataUsed bytes, and the
// bytes after it are untouched.
testing::AssertionResult HoldsFrame(const std::vector<std::uint8_t>& buffer, ULONG dataUsed,
                                    ULONG serial)
{
    for (ULONG i = 0; i < dataUsed; ++i) {
        if (buffer[i] != PatternByte(serial, i)) {
            return testing::AssertionFailure()
                   << "byte " << i << " is " << int(buffer[i]) << ", frame " << serial << " has "
                   << int(PatternByte(serial, i));
        }
    }
    for (std::size_t i = dataUsed; i < buffer.size(); ++i) {
        if (buffer[i] != 0xEE) {
            return testing::AssertionFailure() << "byte " << i << " beyond DataUsed was written";
        }
    }
    return testing::AssertionSuccess();
}

class KsStreaming : public KsOpenPinTest {
protected:

    static bool PassesReach(int count)
    {
        return WaitUntil([count](const Counters& c) { return c.processPasses >= count; });
    }

};

TEST_F(KsStreaming, ProcessRunsOnlyWhenAskedInRun)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame frame;
    ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    // A frame arriving does not start processing on a pin that does not initiate it.
    std::this_thread::sleep_for(SettleTime);
    EXPECT_EQ(Observed().processPasses, 0);
    EXPECT_EQ(frame.Wait(0), STATUS_TIMEOUT);

    ASSERT_TRUE(RequestProcessing());
    EXPECT_EQ(frame.Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(PassesReach(1));
    EXPECT_EQ(Observed().framesDelivered, 1);
    EXPECT_EQ(Observed().passesOutsideRun, 0);
}

TEST_F(KsStreaming, NoPassInPauseEvenWithFramesQueued)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    QueuedFrame frame;
    ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(RequestProcessing());
    }
    std::this_thread::sleep_for(SettleTime);
    EXPECT_EQ(Observed().processPasses, 0);
    EXPECT_EQ(frame.Wait(0), STATUS_TIMEOUT);  // still queued, untouched

    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(RequestProcessing());
    EXPECT_EQ(frame.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().passesOutsideRun, 0);
}

TEST_F(KsStreaming, NoPassInStopOrAcquire)
{
    ASSERT_TRUE(RequestProcessing());
    ASSERT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_TRUE(RequestProcessing());
    std::this_thread::sleep_for(SettleTime);
    EXPECT_EQ(Observed().processPasses, 0);
}

TEST_F(KsStreaming, PassRunsWithoutAFrameQueued)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(RequestProcessing());
    ASSERT_TRUE(PassesReach(1));
    EXPECT_EQ(Observed().passesWithoutFrame, Observed().processPasses);
    EXPECT_EQ(Observed().framesDelivered, 0);
}

TEST_F(KsStreaming, DeliveredFrameCarriesWhatProcessSet)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame frame;
    ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    ASSERT_TRUE(RequestProcessing());
    ASSERT_EQ(frame.Wait(), STATUS_SUCCESS);

    const KSSTREAM_HEADER& header = frame.Header();
    EXPECT_EQ(header.DataUsed, FrameBytes);
    EXPECT_EQ(header.Duration, FrameDuration);
    EXPECT_EQ(header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(header.PresentationTime.Denominator, 1u);
    EXPECT_EQ(header.PresentationTime.Time, 0);  // no clock on this pin
    EXPECT_EQ(header.OptionsFlags, static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
    EXPECT_TRUE(HoldsFrame(frame.Buffer(), header.DataUsed, 1));
}

TEST_F(KsStreaming, FramesAreFilledInTheOrderTheyWereQueued)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame frames[3];
    for (QueuedFrame& frame : frames) {
        ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    }
    for (ULONG serial = 1; serial <= 3; ++serial) {
        ASSERT_TRUE(RequestProcessing());
        ASSERT_EQ(frames[serial - 1].Wait(), STATUS_SUCCESS);
        EXPECT_TRUE(
            HoldsFrame(frames[serial - 1].Buffer(), frames[serial - 1].Header().DataUsed, serial));
    }
    EXPECT_EQ(Observed().framesDelivered, 3);
}

TEST_F(KsStreaming, ReadStreamFillsTheCallersHeader)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // Keep asking for passes from another thread while the read waits.
    std::atomic<bool> done{false};
    std::thread driver([&] {
        while (!done.load()) {
            RequestProcessing();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::uint8_t> buffer(FrameBytes, 0xEE);
    KSSTREAM_HEADER header{};
    NTSTATUS status = pin_.ReadFrame(buffer, header, 5000);
    done.store(true);
    driver.join();
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(header.DataUsed, FrameBytes);
    EXPECT_EQ(header.Duration, FrameDuration);
    EXPECT_EQ(Observed().framesDelivered, 1);
    EXPECT_TRUE(HoldsFrame(buffer, header.DataUsed, 1));
}

TEST_F(KsStreaming, ReadStreamTimesOutAndTakesItsFrameBack)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<std::uint8_t> buffer(FrameBytes, 0xEE);
    KSSTREAM_HEADER header{};
    EXPECT_EQ(pin_.ReadFrame(buffer, header, 50), STATUS_TIMEOUT);
    // The frame is no longer queued: a pass now finds nothing to fill.
    ASSERT_TRUE(RequestProcessing());
    ASSERT_TRUE(PassesReach(1));
    EXPECT_EQ(Observed().framesDelivered, 0);
    EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(KsStreaming, QueuedFramesComeBackCancelledWhenThePinLeavesRun)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame frames[3];
    for (QueuedFrame& frame : frames) {
        ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    }
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    for (QueuedFrame& frame : frames) {
        EXPECT_EQ(frame.Wait(), STATUS_CANCELLED);
        EXPECT_EQ(frame.Header().DataUsed, 0u);
        EXPECT_EQ(frame.Buffer()[0], 0xEE);
    }
    EXPECT_EQ(Observed().framesDelivered, 0);
}

TEST_F(KsStreaming, QueuedFramesComeBackCancelledWhenThePinCloses)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame delivered;
    ASSERT_EQ(delivered.Queue(pin_), STATUS_SUCCESS);
    ASSERT_TRUE(RequestProcessing());
    ASSERT_EQ(delivered.Wait(), STATUS_SUCCESS);

    QueuedFrame frames[2];
    for (QueuedFrame& frame : frames) {
        ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    }
    ASSERT_EQ(pin_.Close(), STATUS_SUCCESS);
    for (QueuedFrame& frame : frames) {
        EXPECT_EQ(frame.Wait(), STATUS_CANCELLED);
        EXPECT_EQ(frame.Header().DataUsed, 0u);
    }
    EXPECT_EQ(delivered.Header().DataUsed, FrameBytes);
}

TEST_F(KsStreaming, FrameSubmittedWhileThePinClosesWaitsForTheCloseAndIsRefused)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame late;
    std::atomic<bool> queued{false};
    bool queuedDuringClose = false;
    NTSTATUS queueStatus = STATUS_UNSUCCESSFUL;
    std::thread submitter;
    HANDLE handle = pin_.Get();
    // Inside the pin's close the handle is still open: another thread submits a frame on it.
    Config config = CurrentConfig();
    config.onPinClose = [&] {
        submitter = std::thread([&] {
            queueStatus = late.Queue(handle);
            queued = true;
        });
        std::this_thread::sleep_for(SettleTime);
        queuedDuringClose = queued;
    };
    SetConfig(config);
    ASSERT_EQ(pin_.Close(), STATUS_SUCCESS);
    SetConfig(Config());
    submitter.join();
    // The frame reached the framework only after the pin was gone, and came back refused.
    EXPECT_FALSE(queuedDuringClose);
    if (queueStatus == STATUS_SUCCESS) {
        EXPECT_FALSE(NT_SUCCESS(late.Wait()));
    }
    EXPECT_EQ(late.Header().DataUsed, 0u);
}

TEST_F(KsStreaming, FramesQueuedInPauseComeBackCancelledWhenThePinStops)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    QueuedFrame frame;
    ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(frame.Wait(1000), STATUS_CANCELLED);
    EXPECT_EQ(frame.Header().DataUsed, 0u);

    // A stopped pin holds no frames: a later run must not fill the old one.
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(RequestProcessing());
    ASSERT_TRUE(PassesReach(1));
    EXPECT_EQ(Observed().framesDelivered, 0);
}

TEST_F(KsStreaming, FrameQueuedOnAStoppedPinComesBackUnfilled)
{
    QueuedFrame frame;
    NTSTATUS status = frame.Queue(pin_);
    if (status == STATUS_PENDING || NT_SUCCESS(status)) {
        // Accepted for the moment: it must come back, unfilled, without the pin running.
        EXPECT_FALSE(NT_SUCCESS(frame.Wait(1000)));
    }
    EXPECT_EQ(frame.Header().DataUsed, 0u);
    EXPECT_EQ(Observed().processPasses, 0);
}

// A stream header's Size says how far the minidriver may write (an extended header after
// KSSTREAM_HEADER); one shorter than KSSTREAM_HEADER or longer than the caller's buffer is
// refused before anything else is looked at (the pin is stopped, which would refuse it next).
struct HeaderSizeCase {
    const char* name;
    ULONG size;          // the header's Size
    ULONG bufferLength;  // the request's output buffer length
    NTSTATUS expected;
};

class KsStreamHeaderSize : public KsOpenPinTest, public testing::WithParamInterface<HeaderSizeCase> {};

TEST_P(KsStreamHeaderSize, SizeMustLieWithinTheBuffer)
{
    const HeaderSizeCase& row = GetParam();
    std::vector<std::uint8_t> buffer(256, 0);
    KSSTREAM_HEADER header{};
    header.Size = row.size;
    std::memcpy(buffer.data(), &header, sizeof header);
    ULONG returned = 0;
    EXPECT_EQ(KsSynchronousDeviceControl(pin_.Get(), IOCTL_KS_READ_STREAM, nullptr, 0,
                                         buffer.data(), row.bufferLength, &returned),
              row.expected);
}

const HeaderSizeCase kHeaderSizeCases[] = {
    {"PlainHeader", sizeof(KSSTREAM_HEADER), sizeof(KSSTREAM_HEADER), STATUS_INVALID_DEVICE_STATE},
    {"ExtendedHeader", sizeof(KSSTREAM_HEADER) + 64, sizeof(KSSTREAM_HEADER) + 64,
     STATUS_INVALID_DEVICE_STATE},
    {"SizeBelowTheHeader", sizeof(KSSTREAM_HEADER) - 8, sizeof(KSSTREAM_HEADER),
     STATUS_INVALID_BUFFER_SIZE},
    {"SizeBeyondTheBuffer", sizeof(KSSTREAM_HEADER) + 64, sizeof(KSSTREAM_HEADER),
     STATUS_INVALID_BUFFER_SIZE},
};

INSTANTIATE_TEST_SUITE_P(Rows, KsStreamHeaderSize, testing::ValuesIn(kHeaderSizeCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(KsStreaming, CancelledFrameIsSkippedAndNotFilledLater)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame first;
    QueuedFrame cancelled;
    QueuedFrame second;
    ASSERT_EQ(first.Queue(pin_), STATUS_SUCCESS);
    ASSERT_EQ(cancelled.Queue(pin_), STATUS_SUCCESS);
    ASSERT_EQ(second.Queue(pin_), STATUS_SUCCESS);
    EXPECT_EQ(KsCancelFrame(cancelled.Request()), STATUS_CANCELLED);

    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(RequestProcessing());
        ASSERT_TRUE(PassesReach(i + 1));
    }
    ASSERT_EQ(first.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(second.Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(HoldsFrame(first.Buffer(), first.Header().DataUsed, 1));
    EXPECT_TRUE(HoldsFrame(second.Buffer(), second.Header().DataUsed, 2));
    EXPECT_EQ(Observed().framesDelivered, 2);
    EXPECT_EQ(cancelled.Wait(0), STATUS_CANCELLED);
    EXPECT_EQ(cancelled.Header().DataUsed, 0u);
    EXPECT_EQ(cancelled.Buffer()[0], 0xEE);
}

TEST_F(KsStreaming, PassesNeverOverlapUnderConcurrentRequests)
{
    Config config = CurrentConfig();
    config.processDelayMs = 1;  // widen each pass so that overlaps would show
    SetConfig(config);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame frames[8];
    for (QueuedFrame& frame : frames) {
        ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    }

    std::vector<std::thread> requesters;
    for (int t = 0; t < 6; ++t) {
        requesters.emplace_back([] {
            for (int i = 0; i < 150; ++i) {
                RequestProcessing();
                if (i % 16 == 0) {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (std::thread& thread : requesters) {
        thread.join();
    }
    // The frames are filled by whatever passes ran; ask again until all eight are done.
    for (QueuedFrame& frame : frames) {
        NTSTATUS status = STATUS_TIMEOUT;
        for (int attempt = 0; attempt < 100 && status == STATUS_TIMEOUT; ++attempt) {
            RequestProcessing();
            status = frame.Wait(50);
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    // Every pass so far ran in RUN; the stop below may race a last requested pass.
    EXPECT_EQ(Observed().passesOutsideRun, 0);
    ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    Counters counters = Observed();
    EXPECT_GE(counters.processPasses, 1);
    EXPECT_EQ(counters.overlappingPasses, 0);
    EXPECT_EQ(counters.framesDelivered, 8);
}

// The same pin with flags that let the framework start passes by itself and in PAUSE.
class KsStreamingFlags : public KsStreaming {
protected:
    Config TestConfig() const override
    {
        Config config;
        config.pinFlags = 0;
        return config;
    }
};

TEST_F(KsStreamingFlags, FrameArrivalStartsAPassWhenThePinInitiatesProcessing)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    QueuedFrame frame;
    ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    EXPECT_EQ(frame.Wait(), STATUS_SUCCESS);  // no request from the driver needed
    EXPECT_GE(Observed().processPasses, 1);
}

TEST_F(KsStreamingFlags, PassRunsInPauseWithoutTheRunOnlyFlag)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    QueuedFrame frame;
    ASSERT_EQ(frame.Queue(pin_), STATUS_SUCCESS);
    ASSERT_TRUE(RequestProcessing());
    EXPECT_EQ(frame.Wait(), STATUS_SUCCESS);
    EXPECT_GE(Observed().passesOutsideRun, 1);
}

TEST_F(KsStreamingFlags, NoPassInAcquireEvenWithoutTheRunOnlyFlag)
{
    // Without KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY passes run in PAUSE and RUN, never below.
    ASSERT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    QueuedFrame frame;
    NTSTATUS queued = frame.Queue(pin_);
    RequestProcessing();
    std::this_thread::sleep_for(SettleTime);
    EXPECT_EQ(Observed().processPasses, 0);
    if (queued == STATUS_SUCCESS) {
        EXPECT_EQ(frame.Wait(0), STATUS_TIMEOUT);
    }
}

TEST_F(KsStreamingFlags, NoPassWithoutFramesWhenFramesAreRequired)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(RequestProcessing());
    std::this_thread::sleep_for(SettleTime);
    EXPECT_EQ(Observed().processPasses, 0);
}

}  // namespace
}  // namespace kstest
