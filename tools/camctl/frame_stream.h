// Frames from a camera's capture pin: the pin is created with the format the driver offers,
// given a clock and run; frames come back top-down (the driver delivers them bottom-up) with
// the counts a user wants to see at the end.
#pragma once

#include <ks/user/ks_client.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace camctl {

// The formats the driver may offer, by the names users give them.
enum class PixelFormat { Rgb32, Rgb24, Yuy2, Nv12, Bayer8 };

struct FrameFormat {
    PixelFormat pixels = PixelFormat::Rgb32;
    std::string name = "rgb32";  // rgb32, rgb24, yuy2, nv12, bayer8
    std::string bayerOrder;      // bayer8: the order of the top-left 2 x 2 block, e.g. "GBRG"
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    std::uint32_t imageBytes = 0;  // biSizeImage of the connection format
};

// The name of an offered range's format ("" for one camctl does not know); for raw Bayer also
// its sample order.
std::string FormatName(const std::vector<std::uint8_t>& range, std::string* bayerOrder = nullptr);

struct Frame {
    std::uint64_t index = 0;
    std::vector<std::uint8_t> bgra;  // rgb32: top-down rows of B, G, R, A
    std::vector<std::uint8_t> rgb;   // rgb24: top-down rows of R, G, B
    std::vector<std::uint8_t> raw;   // yuy2, nv12, bayer8: the image as delivered
    bool complete = true;
    LONGLONG presentationTime = 0;  // 100 ns units; valid when timeValid
    bool timeValid = false;
};

struct FrameStatistics {
    std::uint64_t requested = 0;
    std::uint64_t delivered = 0;
    std::uint64_t timedOut = 0;
    std::uint64_t incomplete = 0;  // delivered with fewer bytes than the format's image size
    std::chrono::steady_clock::duration elapsed{};
    // Presentation times of the first and last frame that carried one.
    LONGLONG firstTime = 0;
    LONGLONG lastTime = 0;
    std::uint64_t timedFrames = 0;

    double FramesPerSecond() const;
};

// Turns a bottom-up (or top-down) BGRA frame with the given row pitch into top-down BGRA rows
// of width * 4 bytes.
std::vector<std::uint8_t> TopDown(const std::uint8_t* data, std::size_t size,
                                  const FrameFormat& format, std::size_t pitch);
// A bottom-up 24-bit RGB frame (rows of B, G, R padded to 4 bytes) as top-down R, G, B rows.
std::vector<std::uint8_t> Rgb24TopDown(const std::uint8_t* data, std::size_t size,
                                       const FrameFormat& format);
// Drops the alpha bytes: top-down BGRA to top-down RGB.
std::vector<std::uint8_t> BgraToRgb(const std::vector<std::uint8_t>& bgra);

class FrameStream {
public:
    FrameStream() = default;
    ~FrameStream() { Close(); }
    FrameStream(const FrameStream&) = delete;
    FrameStream& operator=(const FrameStream&) = delete;

    // Creates and runs the pin with the offered format named `format` (empty: the first
    // offered, 32-bit RGB). False with a message when the camera refuses or does not offer the
    // format (the message lists the offered ones; `unknownFormat` is then set).
    bool Open(const ksclient::Filter& filter, std::string& error, const std::string& format = {},
              bool* unknownFormat = nullptr);
    // Steps the pin down to stop and closes it and its clock.
    void Close();

    const FrameFormat& Format() const { return format_; }
    // The capture pin while the stream is open (for its property sets), else null.
    HANDLE PinHandle() const { return pin_.Get(); }

    // Reads frames until `count` were delivered (0: without end), `onFrame` returns false, the
    // flag is raised, or `maxTimeouts` reads in a row time out. A read waits `timeoutMs`.
    // Returns false with a message when the stream broke off with an error.
    bool Read(std::uint64_t count, unsigned timeoutMs, unsigned maxTimeouts,
              const std::function<bool(const Frame&)>& onFrame,
              const std::atomic<bool>* interrupted, FrameStatistics& statistics,
              std::string& error);

private:
    ksclient::Pin pin_;
    ksclient::Handle clock_;
    KSSTATE state_ = KSSTATE_STOP;
    FrameFormat format_;
};

}  // namespace camctl
