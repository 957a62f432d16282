// The information records of the value and key queries.
#include "config/information.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace cm {

namespace {

// Builds one record in the caller's buffer: the fixed part, then variable parts at offsets.
class Record {
public:
    Record(PVOID buffer, ULONG length, std::size_t fixedSize)
        : buffer_(static_cast<UCHAR*>(buffer)), length_(length), fixed_(fixedSize)
    {
    }

    bool FixedPartFits() const { return length_ >= fixed_; }

    template <typename T>
    void Put(std::size_t offset, T field)
    {
        std::memcpy(buffer_ + offset, &field, sizeof field);
    }

    // Copies what fits of `size` bytes at `offset`.
    void PutPartial(std::size_t offset, const void* bytes, std::size_t size)
    {
        if (offset < length_ && size > 0) {
            std::memcpy(buffer_ + offset, bytes, std::min<std::size_t>(size, length_ - offset));
        }
    }

    // Sets ResultLength and gives the status for a record of `required` bytes.
    NTSTATUS Finish(std::size_t required, PULONG resultLength) const
    {
        *resultLength =
            static_cast<ULONG>(std::min<std::size_t>(required, std::numeric_limits<ULONG>::max()));
        if (!FixedPartFits()) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        return required > length_ ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

    bool Fits(std::size_t required) const { return required <= length_; }

private:
    UCHAR* buffer_;
    std::size_t length_;
    std::size_t fixed_;
};

std::size_t AlignToUlong(std::size_t offset)
{
    return (offset + sizeof(ULONG) - 1) & ~(sizeof(ULONG) - 1);
}

ULONG Bytes(std::size_t size)
{
    return static_cast<ULONG>(size);
}

}  // namespace

NTSTATUS CheckInformationBuffer(PVOID buffer, ULONG length, PULONG resultLength)
{
    if (resultLength == nullptr || (buffer == nullptr && length > 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FillValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS informationClass,
                              PVOID buffer, ULONG length, PULONG resultLength)
{
    const std::size_t nameBytes = value.name.size() * sizeof(WCHAR);
    const std::size_t dataBytes = value.data.size();
    switch (informationClass) {
    case KeyValueBasicInformation: {
        constexpr std::size_t kName = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        Record record(buffer, length, kName);
        if (record.FixedPartFits()) {
            record.Put(offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), ULONG{0});
            record.Put(offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
            record.Put(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), Bytes(nameBytes));
            record.PutPartial(kName, value.name.data(), nameBytes);
        }
        return record.Finish(kName + nameBytes, resultLength);
    }
    case KeyValueFullInformation: {
        constexpr std::size_t kName = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        const std::size_t dataOffset = AlignToUlong(kName + nameBytes);
        const std::size_t required = dataBytes > 0 ? dataOffset + dataBytes : kName + nameBytes;
        Record record(buffer, length, kName);
        if (record.FixedPartFits()) {
            record.Put(offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), ULONG{0});
            record.Put(offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
            record.Put(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), Bytes(dataOffset));
            record.Put(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), Bytes(dataBytes));
            record.Put(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), Bytes(nameBytes));
            record.PutPartial(kName, value.name.data(), nameBytes);
            if (record.Fits(required)) {
                record.PutPartial(dataOffset, value.data.data(), dataBytes);
            }
        }
        return record.Finish(required, resultLength);
    }
    case KeyValuePartialInformation: {
        constexpr std::size_t kData = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        Record record(buffer, length, kData);
        if (record.FixedPartFits()) {
            record.Put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), ULONG{0});
            record.Put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
            record.Put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), Bytes(dataBytes));
            if (record.Fits(kData + dataBytes)) {
                record.PutPartial(kData, value.data.data(), dataBytes);
            }
        }
        return record.Finish(kData + dataBytes, resultLength);
    }
    default: return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS FillKeyInformation(const KeyNode& key, KEY_INFORMATION_CLASS informationClass,
                            PVOID buffer, ULONG length, PULONG resultLength)
{
    const std::size_t nameBytes = key.name.size() * sizeof(WCHAR);
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = key.lastWriteTime;
    switch (informationClass) {
    case KeyBasicInformation: {
        constexpr std::size_t kName = offsetof(KEY_BASIC_INFORMATION, Name);
        Record record(buffer, length, kName);
        if (record.FixedPartFits()) {
            record.Put(offsetof(KEY_BASIC_INFORMATION, LastWriteTime), lastWrite);
            record.Put(offsetof(KEY_BASIC_INFORMATION, TitleIndex), ULONG{0});
            record.Put(offsetof(KEY_BASIC_INFORMATION, NameLength), Bytes(nameBytes));
            record.PutPartial(kName, key.name.data(), nameBytes);
        }
        return record.Finish(kName + nameBytes, resultLength);
    }
    case KeyNodeInformation: {
        // Keys carry no class here: the class part is empty and sits after the name.
        constexpr std::size_t kName = offsetof(KEY_NODE_INFORMATION, Name);
        Record record(buffer, length, kName);
        if (record.FixedPartFits()) {
            record.Put(offsetof(KEY_NODE_INFORMATION, LastWriteTime), lastWrite);
            record.Put(offsetof(KEY_NODE_INFORMATION, TitleIndex), ULONG{0});
            record.Put(offsetof(KEY_NODE_INFORMATION, ClassOffset), ULONG{0xFFFFFFFF});
            record.Put(offsetof(KEY_NODE_INFORMATION, ClassLength), ULONG{0});
            record.Put(offsetof(KEY_NODE_INFORMATION, NameLength), Bytes(nameBytes));
            record.PutPartial(kName, key.name.data(), nameBytes);
        }
        return record.Finish(kName + nameBytes, resultLength);
    }
    default: return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace cm
