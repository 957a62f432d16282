#include "camera_control.h"

#include "text.h"

#include <ksmedia.h>

#include <cstring>

namespace camctl {

namespace {

using namespace CameraProperty;

// A value record goes out as the request's data; its first 24 bytes repeat the header and the
// rest also travels in the property buffer, which must be as long as the record.
template <typename Record>
void FillHeader(Record& record, ULONG id, ULONG flags)
{
    record.Header.Set = CameraPropertySet;
    record.Header.Id = id;
    record.Header.Flags = flags;
}

template <typename Record>
NTSTATUS GetRecord(HANDLE filter, ULONG id, Record& record)
{
    FillHeader(record, id, KSPROPERTY_TYPE_GET);
    const std::uint8_t* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
    std::vector<std::uint8_t> extra(tail, tail + sizeof(Record) - sizeof(KSPROPERTY));
    return ksclient::GetProperty(filter, CameraPropertySet, id, &record, sizeof(Record),
                                 extra.data(), static_cast<ULONG>(extra.size()))
        .status;
}

template <typename Record>
NTSTATUS SetRecord(HANDLE filter, ULONG id, Record& record)
{
    FillHeader(record, id, KSPROPERTY_TYPE_SET);
    const std::uint8_t* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
    return ksclient::SetProperty(filter, CameraPropertySet, id, &record, sizeof(Record), tail,
                                 sizeof(Record) - sizeof(KSPROPERTY))
        .status;
}

}  // namespace

const CameraPropertyInfo* FindItem(std::string_view name)
{
    std::string wanted = Lower(name);
    for (const CameraPropertyInfo& item : CameraPropertyTable) {
        if (Lower(item.Name) == wanted) {
            return &item;
        }
    }
    return nullptr;
}

ItemLimits LimitsOf(ULONG id)
{
    switch (id) {
    case Exposure: return {ExposureMin, ExposureMax, ExposureDefault};
    case GlobalGain: return {GlobalGainMin, GlobalGainMax, GlobalGainDefault};
    case RedGain:
    case GreenGain:
    case BlueGain: return {ColorGainMin, ColorGainMax, ColorGainDefault};
    case Brightness: return {BrightnessMin, BrightnessMax, BrightnessDefault};
    case Contrast: return {ContrastMin, ContrastMax, ContrastDefault};
    case Saturation: return {SaturationMin, SaturationMax, SaturationDefault};
    case Hue: return {HueMin, HueMax, HueDefault};
    case SubSample: return {std::nullopt, SubSampleMax, std::nullopt};
    default: return {};
    }
}

bool IsServiceItem(ULONG id)
{
    return id == CameraProperty::Window || id == RegisterWrite || id == RegisterRead || id == RawCommand ||
           id == RawRead;
}

NTSTATUS CameraControl::Open(const rtl::WideString& link)
{
    return ksclient::Filter::Open(link, filter_);
}

NTSTATUS CameraControl::Get(ULONG id, LONG& value) const
{
    CameraPropertyValue record{};
    NTSTATUS status = GetRecord(filter_.Get(), id, record);
    if (NT_SUCCESS(status)) {
        value = record.Value;
    }
    return status;
}

NTSTATUS CameraControl::Set(ULONG id, LONG value, LONG value2) const
{
    CameraPropertyValue record{};
    record.Value = value;
    record.Value2 = value2;
    return SetRecord(filter_.Get(), id, record);
}

NTSTATUS CameraControl::GetWindow(Window& window) const
{
    const std::pair<ULONG, LONG*> fields[] = {
        {SubSample, &window.subSample}, {RoiX, &window.x},      {RoiY, &window.y},
        {RoiW, &window.width},          {RoiH, &window.height},
    };
    for (const auto& [id, field] : fields) {
        NTSTATUS status = Get(id, *field);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CameraControl::SetWindow(const Window& window) const
{
    CameraWindowRequest record{};
    record.SubSample = static_cast<ULONG>(window.subSample);
    record.RoiX = window.x;
    record.RoiY = window.y;
    record.RoiW = window.width;
    record.RoiH = window.height;
    return SetRecord(filter_.Get(), CameraProperty::Window, record);
}

NTSTATUS CameraControl::GetOutputSize(OutputSize& size) const
{
    std::vector<std::vector<std::uint8_t>> ranges;
    NTSTATUS status = filter_.DataRanges(0, ranges);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (const auto& bytes : ranges) {
        if (bytes.size() < sizeof(KS_DATARANGE_VIDEO)) {
            continue;
        }
        KS_DATARANGE_VIDEO range;
        std::memcpy(&range, bytes.data(), sizeof(range));
        if (IsEqualGUID(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
            size.width = range.VideoInfoHeader.bmiHeader.biWidth;
            LONG height = range.VideoInfoHeader.bmiHeader.biHeight;
            size.height = height < 0 ? -height : height;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS CameraControl::ReadRegister(std::uint8_t reg, std::uint16_t& value) const
{
    NTSTATUS status = Set(RegisterRead, reg);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG read = 0;
    status = Get(RegisterRead, read);
    if (NT_SUCCESS(status)) {
        value = static_cast<std::uint16_t>(read);
    }
    return status;
}

NTSTATUS CameraControl::WriteRegister(std::uint8_t reg, std::uint16_t value) const
{
    return Set(RegisterWrite, reg, value);
}

NTSTATUS CameraControl::SendRawCommand(const std::vector<std::uint8_t>& payload) const
{
    CameraRawRequest record{};
    if (payload.size() > 63) {
        return STATUS_INVALID_PARAMETER;
    }
    record.Length = static_cast<LONG>(payload.size());
    if (!payload.empty()) {
        std::memcpy(record.Payload, payload.data(), payload.size());
    }
    return SetRecord(filter_.Get(), RawCommand, record);
}

NTSTATUS CameraControl::ReadDataByte(std::uint16_t address, std::uint8_t& value) const
{
    CameraRawRequest select{};
    select.Address = address;
    NTSTATUS status = SetRecord(filter_.Get(), RawRead, select);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CameraRawRequest read{};
    status = GetRecord(filter_.Get(), RawRead, read);
    if (NT_SUCCESS(status)) {
        value = read.Payload[0];
    }
    return status;
}

}  // namespace camctl
