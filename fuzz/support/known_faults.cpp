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

}  // namespace

bool AvoidingKnownFaults()
{
    static const bool avoiding = [] {
        const char* keep = std::getenv("FUZZ_KEEP_KNOWN_FAULTS");
        return keep == nullptr || std::strcmp(keep, "1") != 0;
    }();
    return avoiding;
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
}

}  // namespace fuzzhost
