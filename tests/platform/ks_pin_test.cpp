// Pin factories and pin creation: the pin properties of a filter, data intersection through the
// driver's intersect handler, instance limits and the connection format.
#include "ks_test_fixture.h"

#include <cstring>

namespace kstest {
namespace {

using ksclient::Filter;
using ksclient::GetProperty;
using ksclient::Pin;
using ksclient::PropertyResult;

class KsPinFactory : public KsFrameworkTest {
protected:
    void SetUp() override
    {
        KsFrameworkTest::SetUp();
        if (!HasFatalFailure()) {
            OpenFilter(filter_);
        }
    }

    void TearDown() override
    {
        filter_.Close();
        KsFrameworkTest::TearDown();
    }

    // A raw intersection request: KSP_PIN, KSMULTIPLE_ITEM with one range, into `size` bytes.
    PropertyResult RawIntersect(const KS_DATARANGE_VIDEO& range, void* data, ULONG size) const
    {
        struct {
            ULONG pinId;
            ULONG reserved;
            KSMULTIPLE_ITEM items;
            KS_DATARANGE_VIDEO range;
        } extra{0, 0, {sizeof(KSMULTIPLE_ITEM) + sizeof(KS_DATARANGE_VIDEO), 1}, range};
        return GetProperty(filter_.Get(), KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, data,
                           size, &extra, sizeof(extra));
    }

    Filter filter_;
};

TEST_F(KsPinFactory, FilterReportsOnePinTypeAndItsRange)
{
    ULONG count = 0;
    ASSERT_EQ(filter_.PinTypeCount(count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);

    std::vector<std::vector<std::uint8_t>> ranges;
    ASSERT_EQ(filter_.DataRanges(0, ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 1u);
    KS_DATARANGE_VIDEO offered = VideoRange();
    ASSERT_EQ(ranges[0].size(), sizeof(offered));
    EXPECT_EQ(std::memcmp(ranges[0].data(), &offered, sizeof(offered)), 0);
}

TEST_F(KsPinFactory, PinPropertiesOfAnUnknownPinIdAreRefused)
{
    KSPIN_CINSTANCES instances{};
    EXPECT_FALSE(NT_SUCCESS(filter_.PinInstances(1, instances)));
    std::vector<std::vector<std::uint8_t>> ranges;
    EXPECT_FALSE(NT_SUCCESS(filter_.DataRanges(1, ranges)));
    EXPECT_TRUE(ranges.empty());
}

TEST_F(KsPinFactory, IntersectionSizeQueryReportsTheFormatSize)
{
    PropertyResult query = RawIntersect(VideoRange(), nullptr, 0);
    EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.bytesReturned, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    EXPECT_GE(Observed().intersectCalls, 1);
}

TEST_F(KsPinFactory, IntersectionIntoAShortBufferIsRefused)
{
    std::vector<std::uint8_t> shortBuffer(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) - 8);
    PropertyResult result =
        RawIntersect(VideoRange(), shortBuffer.data(), static_cast<ULONG>(shortBuffer.size()));
    EXPECT_FALSE(NT_SUCCESS(result.status));
}

TEST_F(KsPinFactory, IntersectionBuildsTheDriversFormat)
{
    KS_DATARANGE_VIDEO range = VideoRange();
    std::vector<std::uint8_t> format;
    ASSERT_EQ(filter_.Intersect(0, &range, sizeof(range), format), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER expected = VideoFormat();
    ASSERT_EQ(format.size(), sizeof(expected));
    EXPECT_EQ(std::memcmp(format.data(), &expected, sizeof(expected)), 0);
}

TEST_F(KsPinFactory, ForeignRangesGetNoMatch)
{
    std::vector<std::uint8_t> format;
    // Another major format: nothing on the pin can match it.
    KS_DATARANGE_VIDEO foreign = VideoRange();
    foreign.DataRange.MajorFormat = KSDATAFORMAT_SPECIFIER_NONE;
    EXPECT_EQ(filter_.Intersect(0, &foreign, sizeof(foreign), format), STATUS_NO_MATCH);
    EXPECT_TRUE(format.empty());

    // The right type but a size the driver does not offer: its handler says no.
    KS_DATARANGE_VIDEO otherSize = VideoRange();
    otherSize.VideoInfoHeader.bmiHeader.biWidth = FrameWidth * 2;
    int before = Observed().intersectCalls;
    EXPECT_EQ(filter_.Intersect(0, &otherSize, sizeof(otherSize), format), STATUS_NO_MATCH);
    EXPECT_GT(Observed().intersectCalls, before);
    EXPECT_TRUE(format.empty());
}

TEST_F(KsPinFactory, WildcardRangeReachesTheHandler)
{
    // A range with wildcard GUIDs matches the pin's range; the handler then decides.
    KS_DATARANGE_VIDEO wildcard = VideoRange();
    wildcard.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_WILDCARD;
    std::vector<std::uint8_t> format;
    EXPECT_EQ(filter_.Intersect(0, &wildcard, sizeof(wildcard), format), STATUS_SUCCESS);
    EXPECT_EQ(format.size(), sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    EXPECT_GE(Observed().intersectCalls, 1);
}

using KsPinCreation = KsPinFactory;

TEST_F(KsPinCreation, PinWithTheOfferedFormatIsCreated)
{
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(filter_.PinInstances(0, instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 0u);

    Pin pin;
    ASSERT_EQ(CreateVideoPin(filter_, pin), STATUS_SUCCESS);
    EXPECT_TRUE(pin);
    EXPECT_EQ(Observed().pinCreates, 1);
    EXPECT_EQ(Observed().setDataFormatCalls, 1);
    ASSERT_EQ(filter_.PinInstances(0, instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 1u);

    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(pin.GetState(state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);  // a new pin starts stopped

    ASSERT_EQ(pin.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().pinCloses, 1);
    ASSERT_EQ(filter_.PinInstances(0, instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 0u);
}

TEST_F(KsPinCreation, SecondPinOnTheSameFilterIsRefused)
{
    Pin first;
    ASSERT_EQ(CreateVideoPin(filter_, first), STATUS_SUCCESS);
    Pin second;
    EXPECT_FALSE(NT_SUCCESS(CreateVideoPin(filter_, second)));
    EXPECT_FALSE(second);
    EXPECT_EQ(Observed().pinCreates, 1);
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(filter_.PinInstances(0, instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 1u);

    // Once the first is gone the slot is free again.
    ASSERT_EQ(first.Close(), STATUS_SUCCESS);
    EXPECT_EQ(CreateVideoPin(filter_, second), STATUS_SUCCESS);
    EXPECT_EQ(Observed().pinCreates, 2);
}

TEST_F(KsPinCreation, EachFilterInstanceHasItsOwnPinSlot)
{
    Filter other;
    OpenFilter(other);
    Pin first;
    Pin second;
    ASSERT_EQ(CreateVideoPin(filter_, first), STATUS_SUCCESS);
    EXPECT_EQ(CreateVideoPin(other, second), STATUS_SUCCESS);
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(other.PinInstances(0, instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 1u);
}

TEST_F(KsPinCreation, FormatOutsideTheRangesIsRefusedWithoutTheDriver)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat();
    format.DataFormat.SubFormat = KSDATAFORMAT_SPECIFIER_NONE;
    Pin pin;
    EXPECT_FALSE(NT_SUCCESS(filter_.CreatePin(0, &format, sizeof(format), pin)));
    EXPECT_FALSE(pin);
    EXPECT_EQ(Observed().setDataFormatCalls, 0);
    EXPECT_EQ(Observed().pinCreates, 0);
}

TEST_F(KsPinCreation, FormatTheDriverRejectsFailsCreationWithItsStatus)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat();
    format.VideoInfoHeader.bmiHeader.biHeight = FrameHeight + 2;
    Pin pin;
    EXPECT_EQ(filter_.CreatePin(0, &format, sizeof(format), pin), STATUS_NO_MATCH);
    EXPECT_FALSE(pin);
    EXPECT_EQ(Observed().setDataFormatCalls, 1);
    EXPECT_EQ(Observed().pinCreates, 0);
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(filter_.PinInstances(0, instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 0u);
    // The refused attempt does not use up the slot.
    EXPECT_EQ(CreateVideoPin(filter_, pin), STATUS_SUCCESS);
}

TEST_F(KsPinCreation, MalformedFormatAndUnknownPinIdAreRefused)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat();
    format.DataFormat.FormatSize = sizeof(KSDATAFORMAT) - 8;  // not even a whole KSDATAFORMAT
    Pin pin;
    EXPECT_FALSE(NT_SUCCESS(filter_.CreatePin(0, &format, sizeof(format), pin)));
    format = VideoFormat();
    EXPECT_FALSE(NT_SUCCESS(filter_.CreatePin(1, &format, sizeof(format), pin)));
    EXPECT_FALSE(pin);
    EXPECT_EQ(Observed().pinCreates, 0);
}

TEST_F(KsPinCreation, FormatChangeOnAnExistingPinGoesThroughTheDriver)
{
    Pin pin;
    ASSERT_EQ(CreateVideoPin(filter_, pin), STATUS_SUCCESS);
    EXPECT_EQ(Observed().setDataFormatWithOldFormat, 0);  // creation has no old format

    KS_DATAFORMAT_VIDEOINFOHEADER larger = VideoFormat();
    larger.VideoInfoHeader.bmiHeader.biSizeImage = FrameBytes + 4096;
    EXPECT_EQ(ksclient::SetProperty(pin.Get(), KSPROPSETID_Connection,
                                    KSPROPERTY_CONNECTION_DATAFORMAT, &larger, sizeof(larger))
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(Observed().setDataFormatWithOldFormat, 1);
    KS_DATAFORMAT_VIDEOINFOHEADER current{};
    ASSERT_EQ(GetProperty(pin.Get(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                          &current, sizeof(current))
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(current.VideoInfoHeader.bmiHeader.biSizeImage, FrameBytes + 4096);

    // A change the driver refuses leaves the accepted format in place.
    KS_DATAFORMAT_VIDEOINFOHEADER taller = VideoFormat();
    taller.VideoInfoHeader.bmiHeader.biHeight = FrameHeight * 2;
    EXPECT_EQ(ksclient::SetProperty(pin.Get(), KSPROPSETID_Connection,
                                    KSPROPERTY_CONNECTION_DATAFORMAT, &taller, sizeof(taller))
                  .status,
              STATUS_NO_MATCH);
    EXPECT_EQ(Observed().setDataFormatWithOldFormat, 2);
    ASSERT_EQ(GetProperty(pin.Get(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                          &current, sizeof(current))
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(current.VideoInfoHeader.bmiHeader.biHeight, FrameHeight);
    EXPECT_EQ(current.VideoInfoHeader.bmiHeader.biSizeImage, FrameBytes + 4096);
}

TEST_F(KsPinCreation, ClosingTheFilterTakesItsPinDown)
{
    Pin pin;
    ASSERT_EQ(CreateVideoPin(filter_, pin), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(filter_.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().pinCloses, 1);
    EXPECT_EQ(Observed().pinContextReleases, 1);
    EXPECT_EQ(Observed().filterCloses, 1);
    // The orphaned pin handle answers nothing, and still closes cleanly.
    KSSTATE state = KSSTATE_STOP;
    EXPECT_FALSE(NT_SUCCESS(pin.GetState(state)));
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().pinCloses, 1);
}

TEST_F(KsPinCreation, PinBagAndPrivateDescriptorLiveAsLongAsThePin)
{
    Pin pin;
    ASSERT_EQ(CreateVideoPin(filter_, pin), STATUS_SUCCESS);
    // _KsEdit gave the pin a copy it could write without touching the shared table.
    EXPECT_EQ(Observed().pinDescriptorsEdited, 1);
    EXPECT_EQ(Observed().pinContextReleases, 0);
    ASSERT_EQ(pin.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().pinContextReleases, 1);

    // A new pin starts from the shared table again, not from the edited copy.
    ASSERT_EQ(CreateVideoPin(filter_, pin), STATUS_SUCCESS);
    EXPECT_EQ(Observed().pinDescriptorsEdited, 2);
    ASSERT_EQ(pin.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().pinContextReleases, 2);
}

}  // namespace
}  // namespace kstest
