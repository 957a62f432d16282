#include "standard_properties.h"

#include "text.h"

#include <cstring>

namespace camctl {

namespace {

constexpr ULONG kAutoFlag = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
constexpr ULONG kManualFlag = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
static_assert(kAutoFlag == KSPROPERTY_CAMERACONTROL_FLAGS_AUTO &&
                  kManualFlag == KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL,
              "both sets share the auto and manual flags");
// The single-value records of both sets have one layout.
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == sizeof(KSPROPERTY_CAMERACONTROL_S));

ULONG RecordSize(const StandardItem& item)
{
    return item.record == StandardRecord::Pair ? sizeof(KSPROPERTY_VIDEOPROCAMP_S2)
                                               : sizeof(KSPROPERTY_VIDEOPROCAMP_S);
}

// The request's property buffer is the whole record, as applications send it.
ksclient::PropertyResult Request(HANDLE object, const StandardItem& item, ULONG flags,
                                 KSPROPERTY_VIDEOPROCAMP_S2& record)
{
    ULONG size = RecordSize(item);
    record.Property.Set = *item.set;
    record.Property.Id = item.id;
    record.Property.Flags = flags;
    const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
    return ksclient::PropertyRequest(object, *item.set, item.id, flags, tail, size, &record, size);
}

}  // namespace

const std::vector<StandardItem>& StandardItems()
{
    static const std::vector<StandardItem> items = {
        {"brightness", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
         StandardRecord::Single},
        {"contrast", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
         StandardRecord::Single},
        {"hue", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE,
         StandardRecord::Single},
        {"saturation", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION,
         StandardRecord::Single},
        {"color-enable", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
         StandardRecord::Single},
        {"white-balance", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
         StandardRecord::Single},
        {"gain", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN,
         StandardRecord::Single},
        {"white-balance-component", &PROPSETID_VIDCAP_VIDEOPROCAMP,
         KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT, StandardRecord::Pair},
        {"exposure", &PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE,
         StandardRecord::Single},
    };
    return items;
}

std::string StandardName(const StandardItem& item)
{
    return std::string(kStandardPrefix) + item.name;
}

const StandardItem* FindStandardItem(std::string_view name)
{
    std::string wanted = Lower(name);
    for (const StandardItem& item : StandardItems()) {
        if (StandardName(item) == wanted) {
            return &item;
        }
    }
    return nullptr;
}

bool StandardValue::Auto() const
{
    return (flags & kAutoFlag) != 0;
}

bool StandardValue::OffersAuto() const
{
    return (capabilities & kAutoFlag) != 0;
}

NTSTATUS QueryStandardSupport(HANDLE object, const StandardItem& item, StandardSupport& support)
{
    support = {};
    // The size first, then the answer in a buffer of that size.
    ksclient::PropertyResult sized =
        ksclient::PropertyRequest(object, *item.set, item.id, KSPROPERTY_TYPE_BASICSUPPORT, nullptr,
                                  sizeof(KSPROPERTY), nullptr, 0);
    if (sized.status != STATUS_BUFFER_OVERFLOW || sized.bytesReturned < sizeof(ULONG)) {
        return NT_SUCCESS(sized.status) ? STATUS_UNSUCCESSFUL : sized.status;
    }
    std::vector<std::uint8_t> answer(sized.bytesReturned, 0);
    ksclient::PropertyResult result = ksclient::PropertyRequest(
        object, *item.set, item.id, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, sizeof(KSPROPERTY),
        answer.data(), static_cast<ULONG>(answer.size()));
    if (!NT_SUCCESS(result.status)) {
        return result.status;
    }
    std::size_t size = std::min<std::size_t>(result.bytesReturned, answer.size());
    if (size < sizeof(KSPROPERTY_DESCRIPTION)) {
        if (size >= sizeof(ULONG)) {
            std::memcpy(&support.access, answer.data(), sizeof(ULONG));
        }
        return STATUS_SUCCESS;
    }
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, answer.data(), sizeof description);
    support.access = description.AccessFlags;
    // The members lists follow the description, each a header and its members.
    std::size_t offset = sizeof description;
    for (ULONG list = 0; list < description.MembersListCount; ++list) {
        KSPROPERTY_MEMBERSHEADER header;
        if (size - offset < sizeof header) {
            break;
        }
        std::memcpy(&header, answer.data() + offset, sizeof header);
        offset += sizeof header;
        std::uint64_t bytes = std::uint64_t{header.MembersSize} * header.MembersCount;
        if (bytes > size - offset) {
            break;
        }
        const std::uint8_t* members = answer.data() + offset;
        if (header.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES &&
            header.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG) && header.MembersCount >= 1 &&
            !support.min) {
            KSPROPERTY_STEPPING_LONG range;
            std::memcpy(&range, members, sizeof range);
            support.min = range.Bounds.SignedMinimum;
            support.max = range.Bounds.SignedMaximum;
            support.step = range.SteppingDelta;
        } else if (header.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
                   (header.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) != 0 &&
                   header.MembersSize >= sizeof(LONG) && header.MembersCount >= 1) {
            LONG value = 0;
            std::memcpy(&value, members, sizeof value);
            support.def = value;
        }
        offset += static_cast<std::size_t>(bytes);
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetStandard(HANDLE object, const StandardItem& item, StandardValue& value)
{
    KSPROPERTY_VIDEOPROCAMP_S2 record{};
    NTSTATUS status = Request(object, item, KSPROPERTY_TYPE_GET, record).status;
    if (NT_SUCCESS(status)) {
        value.value = record.Value1;
        value.value2 = item.record == StandardRecord::Pair ? record.Value2 : 0;
        value.flags = record.Flags;
        value.capabilities = record.Capabilities;
    }
    return status;
}

NTSTATUS SetStandard(HANDLE object, const StandardItem& item, const StandardValue& value,
                     bool automatic)
{
    KSPROPERTY_VIDEOPROCAMP_S2 record{};
    record.Value1 = value.value;
    record.Value2 = value.value2;
    record.Flags = automatic ? kAutoFlag : kManualFlag;
    return Request(object, item, KSPROPERTY_TYPE_SET, record).status;
}

std::string StandardValueText(const StandardItem& item, const StandardValue& value)
{
    std::string text = std::to_string(value.value);
    if (item.record == StandardRecord::Pair) {
        text += "," + std::to_string(value.value2);
    }
    if (value.Auto()) {
        text += " (auto)";
    }
    return text;
}

}  // namespace camctl
