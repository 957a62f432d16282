// Property requests on a filter: dispatch through the filter's automation table to the driver's
// handlers, and the refusals the framework makes before any handler runs.
#include "ks_test_fixture.h"

namespace kstest {
namespace {

using ksclient::Filter;
using ksclient::GetProperty;
using ksclient::PropertyRequest;
using ksclient::PropertyResult;
using ksclient::SetProperty;

class KsFilterProperty : public KsFrameworkTest {
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

    int HandlerCalls() const
    {
        Counters counters = Observed();
        return counters.getHandlerCalls + counters.setHandlerCalls;
    }

    PropertyResult GetIndexed(ULONG index, IndexedData& data) const
    {
        IndexedRequest request{index, 0};
        return GetProperty(filter_.Get(), PropertySetId, PropertyIndexed, &data, sizeof(data),
                           &request, sizeof(request));
    }

    PropertyResult SetIndexed(ULONG index, ULONG value) const
    {
        IndexedRequest request{index, 0};
        IndexedData data{index, value, {0, 0}};
        return SetProperty(filter_.Get(), PropertySetId, PropertyIndexed, &data, sizeof(data),
                           &request, sizeof(request));
    }

    Filter filter_;
};

TEST_F(KsFilterProperty, SetThenGetReachTheHandlersWithTheData)
{
    ULONG value = 0x1234ABCD;
    EXPECT_EQ(
        SetProperty(filter_.Get(), PropertySetId, PropertyValue, &value, sizeof(value)).status,
        STATUS_SUCCESS);
    EXPECT_EQ(Observed().setHandlerCalls, 1);
    KSPROPERTY seen = LastHandlerRequest();
    EXPECT_TRUE(IsEqualGUID(seen.Set, PropertySetId));
    EXPECT_EQ(seen.Id, static_cast<ULONG>(PropertyValue));
    EXPECT_EQ(seen.Flags, static_cast<ULONG>(KSPROPERTY_TYPE_SET));

    ULONG read = 0;
    PropertyResult get =
        GetProperty(filter_.Get(), PropertySetId, PropertyValue, &read, sizeof(read));
    EXPECT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(get.bytesReturned, sizeof(ULONG));  // the item's MinData, the handler set none
    EXPECT_EQ(read, value);
    EXPECT_EQ(Observed().getHandlerCalls, 1);
    EXPECT_EQ(LastHandlerRequest().Flags, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
}

TEST_F(KsFilterProperty, HandlersFindTheirFilterAndDeviceFromTheRequest)
{
    ULONG value = 7;
    ASSERT_EQ(
        SetProperty(filter_.Get(), PropertySetId, PropertyValue, &value, sizeof(value)).status,
        STATUS_SUCCESS);
    EXPECT_NE(LastHandlerIrp(), nullptr);
    EXPECT_EQ(LastHandlerFilter(), LastCreatedFilter());
    EXPECT_EQ(Observed().handlerDeviceMismatches, 0);

    // A second filter instance: its requests lead to it, and to the same device state.
    Filter second;
    OpenFilter(second);
    PKSFILTER secondFilter = LastCreatedFilter();
    ULONG read = 0;
    ASSERT_EQ(GetProperty(second.Get(), PropertySetId, PropertyValue, &read, sizeof(read)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(LastHandlerFilter(), secondFilter);
    EXPECT_EQ(read, value);
    EXPECT_EQ(Observed().handlerDeviceMismatches, 0);
}

TEST_F(KsFilterProperty, DataBehindTheHeaderReachesTheHandler)
{
    ASSERT_EQ(SetIndexed(2, 0xBEEF).status, STATUS_SUCCESS);
    ASSERT_EQ(SetIndexed(3, 0xCAFE).status, STATUS_SUCCESS);
    IndexedData data{};
    ASSERT_EQ(GetIndexed(2, data).status, STATUS_SUCCESS);
    EXPECT_EQ(data.Index, 2u);
    EXPECT_EQ(data.Value, 0xBEEFu);
    ASSERT_EQ(GetIndexed(3, data).status, STATUS_SUCCESS);
    EXPECT_EQ(data.Value, 0xCAFEu);
    // The handler's own refusal comes back as it was returned.
    EXPECT_EQ(GetIndexed(IndexedSlots, data).status, STATUS_INVALID_PARAMETER);
}

TEST_F(KsFilterProperty, GetOnlyAndSetOnlyItemsWorkInTheirDirection)
{
    ULONG value = 5;
    EXPECT_EQ(
        SetProperty(filter_.Get(), PropertySetId, PropertySetOnly, &value, sizeof(value)).status,
        STATUS_SUCCESS);
    ULONG setCount = 0;
    EXPECT_EQ(
        GetProperty(filter_.Get(), PropertySetId, PropertyGetOnly, &setCount, sizeof(setCount))
            .status,
        STATUS_SUCCESS);
    EXPECT_EQ(setCount, 1u);
}

TEST_F(KsFilterProperty, UnknownSetAndUnknownIdAreRefused)
{
    constexpr GUID otherSet = {
        0x3E9D7C10, 0x5B22, 0x4A61, {0x8F, 0x4D, 0x02, 0x7A, 0xB1, 0x93, 0xC6, 0x5E}};
    ULONG value = 0;
    EXPECT_EQ(GetProperty(filter_.Get(), otherSet, PropertyValue, &value, sizeof(value)).status,
              STATUS_PROPSET_NOT_FOUND);
    EXPECT_EQ(SetProperty(filter_.Get(), otherSet, PropertyValue, &value, sizeof(value)).status,
              STATUS_PROPSET_NOT_FOUND);
    EXPECT_EQ(
        GetProperty(filter_.Get(), PropertySetId, PropertyNotInTable, &value, sizeof(value)).status,
        STATUS_NOT_FOUND);
    EXPECT_EQ(HandlerCalls(), 0);
}

TEST_F(KsFilterProperty, MissingHandlerIsRefusedBeforeAnyHandler)
{
    ULONG value = 9;
    EXPECT_FALSE(NT_SUCCESS(
        SetProperty(filter_.Get(), PropertySetId, PropertyGetOnly, &value, sizeof(value)).status));
    EXPECT_FALSE(NT_SUCCESS(
        GetProperty(filter_.Get(), PropertySetId, PropertySetOnly, &value, sizeof(value)).status));
    EXPECT_EQ(HandlerCalls(), 0);
}

TEST_F(KsFilterProperty, ShortPropertyBufferIsRefusedBeforeTheHandler)
{
    // One byte short of the item's MinProperty.
    IndexedRequest request{1, 0};
    IndexedData data{};
    PropertyResult result =
        PropertyRequest(filter_.Get(), PropertySetId, PropertyIndexed, KSPROPERTY_TYPE_GET,
                        &request, IndexedMinProperty - 1, &data, sizeof(data));
    EXPECT_FALSE(NT_SUCCESS(result.status));
    // A header cut short is no request at all.
    ULONG value = 0;
    result = PropertyRequest(filter_.Get(), PropertySetId, PropertyValue, KSPROPERTY_TYPE_GET,
                             nullptr, sizeof(KSPROPERTY) - 4, &value, sizeof(value));
    EXPECT_FALSE(NT_SUCCESS(result.status));
    EXPECT_EQ(HandlerCalls(), 0);

    // Exactly MinProperty passes.
    result = PropertyRequest(filter_.Get(), PropertySetId, PropertyIndexed, KSPROPERTY_TYPE_GET,
                             &request, IndexedMinProperty, &data, sizeof(data));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(Observed().getHandlerCalls, 1);
}

TEST_F(KsFilterProperty, ShortDataBufferIsRefusedBeforeTheHandler)
{
    IndexedRequest request{0, 0};
    IndexedData data{};
    for (ULONG size : {0u, 4u, IndexedMinData - 1}) {
        PropertyResult get = GetProperty(filter_.Get(), PropertySetId, PropertyIndexed, &data, size,
                                         &request, sizeof(request));
        EXPECT_FALSE(NT_SUCCESS(get.status)) << "get with " << size << " bytes";
        PropertyResult set = SetProperty(filter_.Get(), PropertySetId, PropertyIndexed, &data, size,
                                         &request, sizeof(request));
        EXPECT_FALSE(NT_SUCCESS(set.status)) << "set with " << size << " bytes";
    }
    ULONG half = 0;
    EXPECT_FALSE(
        NT_SUCCESS(GetProperty(filter_.Get(), PropertySetId, PropertyValue, &half, 2).status));
    EXPECT_EQ(HandlerCalls(), 0);
}

TEST_F(KsFilterProperty, GetWithoutABufferIsASizeQuery)
{
    IndexedRequest request{0, 0};
    PropertyResult query = GetProperty(filter_.Get(), PropertySetId, PropertyIndexed, nullptr, 0,
                                       &request, sizeof(request));
    EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.bytesReturned, IndexedMinData);
    EXPECT_EQ(HandlerCalls(), 0);
}

TEST_F(KsFilterProperty, RequestsOnAClosedHandleAreRefused)
{
    HANDLE stale = filter_.Get();
    ASSERT_EQ(filter_.Close(), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_FALSE(
        NT_SUCCESS(GetProperty(stale, PropertySetId, PropertyValue, &value, sizeof(value)).status));
    EXPECT_EQ(HandlerCalls(), 0);
}

}  // namespace
}  // namespace kstest
