#include "support/known_faults.h"

#include <ks.h>
#include <ksmedia.h>

#include "control/property_set.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace fuzzhost {

namespace {

template <typename T>
bool Load(const std::uint8_t* base, std::size_t available, std::size_t offset, T& value)
{
    if (offset + sizeof(T) > available) {
        return false;
    }
    std::memcpy(&value, base + offset, sizeof(T));
    return true;
}

template <typename T>
void Store(std::uint8_t* base, std::size_t offset, T value)
{
    std::memcpy(base + offset, &value, sizeof(T));
}

constexpr std::size_t kBitmapOffset = offsetof(KS_VIDEOINFOHEADER, bmiHeader);
constexpr std::size_t kRangeHeaderOffset = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);

}  // namespace

bool AvoidingKnownFaults()
{
    static const bool avoiding = [] {
        const char* keep = std::getenv("FUZZ_KEEP_KNOWN_FAULTS");
        return keep == nullptr || std::strcmp(keep, "1") != 0;
    }();
    return avoiding;
}

void AvoidKnownVideoHeaderFaults(std::uint8_t* header, std::size_t available,
                                 std::uint32_t minimumBiSize)
{
    if (!AvoidingKnownFaults()) {
        return;
    }
    std::uint32_t biSize = 0;
    std::size_t sizeAt = kBitmapOffset + offsetof(KS_BITMAPINFOHEADER, biSize);
    if (Load(header, available, sizeAt, biSize) && biSize < minimumBiSize) {
        Store(header, sizeAt, minimumBiSize);
    }
    std::int32_t biHeight = 0;
    std::size_t heightAt = kBitmapOffset + offsetof(KS_BITMAPINFOHEADER, biHeight);
    if (Load(header, available, heightAt, biHeight) && biHeight == INT_MIN) {
        Store(header, heightAt, INT_MIN + 1);
    }
}

void AvoidKnownFormatFaults(std::uint8_t* format, std::size_t size)
{
    if (size > sizeof(KSDATAFORMAT)) {
        AvoidKnownVideoHeaderFaults(format + sizeof(KSDATAFORMAT), size - sizeof(KSDATAFORMAT),
                                    sizeof(KS_BITMAPINFOHEADER));
    }
}

void AvoidKnownRangeFaults(std::uint8_t* range, std::size_t size, std::uint32_t offset)
{
    if (!AvoidingKnownFaults()) {
        return;
    }
    std::uint32_t formatSize = 0;
    if (Load(range, size, offsetof(KSDATARANGE, FormatSize), formatSize) &&
        static_cast<std::uint64_t>(offset) + formatSize > UINT32_MAX) {
        Store(range, offsetof(KSDATARANGE, FormatSize), static_cast<std::uint32_t>(size));
    }
    if (size > kRangeHeaderOffset) {
        AvoidKnownVideoHeaderFaults(range + kRangeHeaderOffset, size - kRangeHeaderOffset, 24);
    }
}

void AvoidKnownIntersectionFaults(std::uint8_t* request, std::size_t size)
{
    if (!AvoidingKnownFaults()) {
        return;
    }
    // The framework's walk: ranges at 8-byte aligned offsets inside the list's Size.
    KSMULTIPLE_ITEM list{};
    if (!Load(request, size, sizeof(KSP_PIN), list) || list.Size < sizeof(KSMULTIPLE_ITEM) ||
        sizeof(KSP_PIN) + static_cast<std::uint64_t>(list.Size) > size) {
        return;
    }
    std::uint8_t* items = request + sizeof(KSP_PIN);
    std::uint64_t offset = sizeof(KSMULTIPLE_ITEM);
    for (std::uint32_t i = 0; i < list.Count && i < 4096; ++i) {
        offset = (offset + 7) & ~std::uint64_t{7};
        if (offset + sizeof(KSDATARANGE) > list.Size) {
            return;
        }
        std::size_t room = list.Size - offset;
        AvoidKnownRangeFaults(items + offset, room, static_cast<std::uint32_t>(offset));
        std::uint32_t formatSize = 0;
        Load(items + offset, room, offsetof(KSDATARANGE, FormatSize), formatSize);
        if (formatSize < sizeof(KSDATARANGE)) {
            return;
        }
        offset += formatSize;
    }
}

void AvoidKnownPropertyFaults(std::uint32_t id, std::uint32_t flags, std::uint8_t* data,
                              std::size_t size)
{
    if (!AvoidingKnownFaults()) {
        return;
    }
    if ((flags & KSPROPERTY_TYPE_SET) == 0 || data == nullptr) {
        return;
    }
    if (id == CameraProperty::Timeout) {
        std::uint32_t value = 0;
        std::size_t at = offsetof(CameraPropertyValue, Value);
        if (Load(data, size, at, value) && value > kTimeoutCapMs) {
            Store(data, at, kTimeoutCapMs);
        }
    }
    if (id == CameraProperty::Window) {
        // The left and top edges end up below 720 and 448 before they are added.
        constexpr std::int32_t kLargestExtent = INT_MAX - 720;
        for (std::size_t at :
             {offsetof(CameraWindowRequest, RoiW), offsetof(CameraWindowRequest, RoiH)}) {
            std::int32_t extent = 0;
            if (Load(data, size, at, extent) && extent > kLargestExtent) {
                Store(data, at, kLargestExtent);
            }
        }
    }
}

}  // namespace fuzzhost
