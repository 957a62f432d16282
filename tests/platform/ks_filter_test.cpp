// Filter factories and filters: registration under the categories, opening and closing filter
// instances, the device and filter object bags, and the driver's load and unload around devices.
#include "ks_test_fixture.h"

#include <ntoskrnl/host/verifier.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace kstest {
namespace {

using ksclient::Filter;

rtl::WideString Lower(rtl::WideString text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](WCHAR c) {
        return c >= L'A' && c <= L'Z' ? static_cast<WCHAR>(c - L'A' + L'a') : c;
    });
    return text;
}

bool EndsWith(const rtl::WideString& text, const rtl::WideString& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A category nothing registers under.
constexpr GUID UnrelatedCategory = {
    0x0A1F6B2C, 0x77D3, 0x4E10, {0xB5, 0x9A, 0x3C, 0x0E, 0x44, 0x21, 0x6D, 0x8F}};

using KsFilterFactory = KsFrameworkTest;

TEST_F(KsFilterFactory, RegistersUnderBothCategoriesWithTheReferenceString)
{
    std::vector<rtl::WideString> video = KsEnumerateFilters(KSCATEGORY_VIDEO);
    std::vector<rtl::WideString> capture = KsEnumerateFilters(KSCATEGORY_CAPTURE);
    ASSERT_EQ(video.size(), 1u);
    ASSERT_EQ(capture.size(), 1u);
    EXPECT_TRUE(EndsWith(Lower(video[0]), L"\\global"));
    EXPECT_TRUE(EndsWith(Lower(capture[0]), L"\\global"));
    // Each link names the category it was registered under.
    EXPECT_NE(Lower(video[0]).find(L"6994ad05-93ef-11d0-a3cc-00a0c9223196"), rtl::WideString::npos);
    EXPECT_NE(Lower(capture[0]).find(L"65e8773d-8f56-11d0-a3b9-00a0c9223196"),
              rtl::WideString::npos);
    EXPECT_TRUE(KsEnumerateFilters(UnrelatedCategory).empty());
}

TEST_F(KsFilterFactory, EachCategoryLinkOpensTheSameFactory)
{
    for (const GUID* category : {&KSCATEGORY_VIDEO, &KSCATEGORY_CAPTURE}) {
        Filter filter;
        ASSERT_EQ(Filter::OpenFirst(*category, filter), STATUS_SUCCESS);
        EXPECT_TRUE(filter);
    }
    EXPECT_EQ(Observed().filterCreates, 2);
    EXPECT_EQ(Observed().filterCloses, 2);
}

TEST_F(KsFilterFactory, UnknownLinksAndCategoriesOpenNothing)
{
    Filter filter;
    EXPECT_EQ(Filter::OpenFirst(UnrelatedCategory, filter), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(filter);
    rtl::WideString link = KsEnumerateFilters(KSCATEGORY_VIDEO).at(0);
    EXPECT_EQ(Filter::Open(link + L"x", filter), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(filter);
    EXPECT_EQ(Observed().filterCreates, 0);
}

TEST_F(KsFilterFactory, LinksDisappearWhenTheDeviceIsRemoved)
{
    rtl::WideString link = KsEnumerateFilters(KSCATEGORY_CAPTURE).at(0);
    ASSERT_EQ(Leave(device_), STATUS_SUCCESS);
    EXPECT_TRUE(KsEnumerateFilters(KSCATEGORY_VIDEO).empty());
    EXPECT_TRUE(KsEnumerateFilters(KSCATEGORY_CAPTURE).empty());
    Filter filter;
    EXPECT_NE(Filter::Open(link, filter), STATUS_SUCCESS);
    EXPECT_FALSE(filter);
}

// An application opening the filter while the device goes away: an open that found the link
// just before the removal must still hold the device object's memory when it sends its create.
TEST_F(KsFilterFactory, OpensRacingARemovalNeverReachAFreedDevice)
{
    for (int round = 0; round < 150; ++round) {
        rtl::WideString link = KsEnumerateFilters(KSCATEGORY_VIDEO).at(0);
        std::atomic<bool> started{false};
        std::thread opener([&] {
            for (;;) {
                Filter filter;
                NTSTATUS status = Filter::Open(link, filter);
                started = true;
                if (status != STATUS_SUCCESS) {
                    break;
                }
            }
        });
        while (!started) {
            std::this_thread::yield();
        }
        ASSERT_EQ(Leave(device_), STATUS_SUCCESS);
        opener.join();
        ASSERT_EQ(Arrive(device_, L"1"), STATUS_SUCCESS);
    }
}

TEST_F(KsFilterFactory, TwoDevicesRegisterTwoDistinctLinks)
{
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(Arrive(second, L"2"), STATUS_SUCCESS);
    std::vector<rtl::WideString> links = KsEnumerateFilters(KSCATEGORY_VIDEO);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_NE(links[0], links[1]);
    EXPECT_EQ(Observed().driverEntries, 1);  // one load serves both devices
    EXPECT_EQ(Observed().deviceAdds, 2);
    ASSERT_EQ(Leave(second), STATUS_SUCCESS);
    EXPECT_EQ(KsEnumerateFilters(KSCATEGORY_VIDEO).size(), 1u);
}

using KsFilterInstance = KsFrameworkTest;

TEST_F(KsFilterInstance, OpenAndCloseReachTheFilterDispatch)
{
    Filter filter;
    OpenFilter(filter);
    Counters afterOpen = Observed();
    EXPECT_EQ(afterOpen.filterCreates, 1);
    EXPECT_EQ(afterOpen.filterCloses, 0);
    EXPECT_EQ(afterOpen.filterCreatesWithoutDevice, 0);  // KsGetDevice found the added device
    EXPECT_NE(LastCreatedFilter(), nullptr);

    EXPECT_EQ(filter.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().filterCloses, 1);
    EXPECT_FALSE(filter);
}

TEST_F(KsFilterInstance, CloseReachesTheFilterAlsoWhenItsFirstPacketCannotBeAllocated)
{
    Filter filter;
    OpenFilter(filter);
    std::uint64_t injected = vf::InjectedFailureCount();
    vf::FailOneAllocation(1);
    EXPECT_EQ(filter.Close(), STATUS_SUCCESS);
    vf::ClearFaultInjection();
    EXPECT_EQ(vf::InjectedFailureCount(), injected + 1);
    EXPECT_EQ(Observed().filterCloses, 1);
    EXPECT_EQ(Observed().filterContextReleases, 1);
}

TEST_F(KsFilterInstance, EveryOpenMakesItsOwnFilterWithItsOwnBag)
{
    Filter first;
    OpenFilter(first);
    PKSFILTER firstFilter = LastCreatedFilter();
    Filter second;
    OpenFilter(second);
    EXPECT_NE(LastCreatedFilter(), firstFilter);
    EXPECT_EQ(Observed().filterCreates, 2);

    ASSERT_EQ(first.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().filterContextReleases, 1);  // only the closed filter's bag is freed
    ASSERT_EQ(second.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().filterContextReleases, 2);
    EXPECT_EQ(Observed().filterCloses, 2);
}

class KsObjectBag : public KsFrameworkTest {
protected:
    Config TestConfig() const override
    {
        Config config;
        config.exerciseFilterBag = true;
        return config;
    }
};

TEST_F(KsObjectBag, DiscardedItemIsReleasedAtOnceAndOnlyOnce)
{
    Filter filter;
    OpenFilter(filter);
    EXPECT_EQ(Observed().bagItemReleases, 1);  // the discarded one
    ASSERT_EQ(filter.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().bagItemReleases, 2);  // the kept one, with the filter
    EXPECT_EQ(Observed().filterContextReleases, 1);
}

TEST_F(KsObjectBag, EditMakesAPrivateCopyOwnedByTheBag)
{
    Filter filter;
    OpenFilter(filter);
    // Copied, the new part zero-filled, and a second edit within the size kept the copy. The
    // copy itself is freed with the filter: the end-of-test leak check would find it otherwise.
    EXPECT_EQ(Observed().bagEditsVerified, 1);
}

TEST_F(KsObjectBag, EveryFilterReleasesOnlyItsOwnItems)
{
    Filter first;
    Filter second;
    OpenFilter(first);
    OpenFilter(second);
    EXPECT_EQ(Observed().bagItemReleases, 2);
    ASSERT_EQ(second.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().bagItemReleases, 3);
    ASSERT_EQ(first.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Observed().bagItemReleases, 4);
}

using KsDriverLifetime = KsFrameworkTest;

TEST_F(KsDriverLifetime, DeviceBagIsFreedOnceAtRemoval)
{
    EXPECT_EQ(Observed().deviceAdds, 1);
    EXPECT_EQ(Observed().deviceStarts, 1);
    {
        Filter filter;
        OpenFilter(filter);
    }
    EXPECT_EQ(Observed().deviceContextReleases, 0);  // the device is still there
    ASSERT_EQ(Leave(device_), STATUS_SUCCESS);
    EXPECT_EQ(Observed().deviceContextReleases, 1);
    EXPECT_EQ(Observed().filterContextReleases, 1);
}

TEST_F(KsDriverLifetime, DriverUnloadsWithItsLastDeviceAndLoadsAgainForTheNext)
{
    EXPECT_TRUE(pnp::IsDriverLoaded(ServiceName));
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(Arrive(second, L"2"), STATUS_SUCCESS);
    ASSERT_EQ(Leave(device_), STATUS_SUCCESS);
    EXPECT_TRUE(pnp::IsDriverLoaded(ServiceName));  // the second device still holds it
    ASSERT_EQ(Leave(second), STATUS_SUCCESS);
    EXPECT_FALSE(pnp::IsDriverLoaded(ServiceName));
    EXPECT_EQ(Observed().deviceContextReleases, 2);

    // A new arrival loads the driver again: DriverEntry runs a second time.
    ASSERT_EQ(Arrive(device_, L"3"), STATUS_SUCCESS);
    EXPECT_TRUE(pnp::IsDriverLoaded(ServiceName));
    EXPECT_EQ(Observed().driverEntries, 2);
    EXPECT_EQ(KsEnumerateFilters(KSCATEGORY_CAPTURE).size(), 1u);
}

TEST_F(KsDriverLifetime, AFullSessionLeavesNothingBehindAtUnload)
{
    // Unload runs the verifier's leak check for the driver: any framework or driver block still
    // outstanding would stop the program there.
    {
        Filter filter;
        OpenFilter(filter);
        ksclient::Pin pin;
        ASSERT_EQ(CreateVideoPin(filter, pin), STATUS_SUCCESS);
        ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        std::vector<std::uint8_t> buffer(FrameBytes);
        KSSTREAM_HEADER header{};
        HANDLE request = nullptr;
        header.Size = sizeof(header);
        header.FrameExtent = FrameBytes;
        header.Data = buffer.data();
        ASSERT_EQ(KsQueueFrame(pin.Get(), &header, &request), STATUS_SUCCESS);
        ASSERT_TRUE(RequestProcessing());
        EXPECT_EQ(KsWaitFrame(request, 5000), STATUS_SUCCESS);
        EXPECT_EQ(KsCloseHandle(request), STATUS_SUCCESS);
        ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
    ASSERT_EQ(Leave(device_), STATUS_SUCCESS);
    EXPECT_FALSE(pnp::IsDriverLoaded(ServiceName));
    EXPECT_EQ(Observed().pinContextReleases, 1);
    EXPECT_EQ(Observed().filterContextReleases, 1);
    EXPECT_EQ(Observed().deviceContextReleases, 1);
}

TEST_F(KsDriverLifetime, FilterClosedDuringSurpriseRemovalReachesTheDriverBeforeTheRemoval)
{
    Filter filter;
    OpenFilter(filter);
    int closesSeen = -1;
    Config config = CurrentConfig();
    config.onSurpriseRemoval = [&] {
        filter.Close();
        closesSeen = Observed().filterCloses;
    };
    SetConfig(config);
    pnp::SurpriseRemoveDevice(device_);
    SetConfig(Config());
    EXPECT_EQ(closesSeen, 1);
    EXPECT_EQ(Observed().filterCloses, 1);
    EXPECT_EQ(Observed().filterContextReleases, 1);
    EXPECT_FALSE(pnp::IsDriverLoaded(ServiceName));
    pnp::DeletePlainBusDevice(device_);
    device_ = nullptr;
}

// The surprise removal's packet (the first allocation of the removal) or the removal's own (the
// second): either missing keeps the device and its driver until a later removal delivers it.
TEST_F(KsDriverLifetime, RemovalPacketThatCannotBeBuiltKeepsTheDriverUntilItIsSent)
{
    for (std::uint64_t missing : {1u, 2u}) {
        SCOPED_TRACE(missing);
        std::uint64_t injected = vf::InjectedFailureCount();
        vf::FailOneAllocation(missing);
        pnp::SurpriseRemoveDevice(device_);
        vf::ClearFaultInjection();
        ASSERT_EQ(vf::InjectedFailureCount(), injected + 1);
        EXPECT_TRUE(pnp::IsDriverLoaded(ServiceName));
        EXPECT_EQ(Observed().deviceContextReleases, 0);
        pnp::SurpriseRemoveDevice(device_);
        EXPECT_FALSE(pnp::IsDriverLoaded(ServiceName));
        EXPECT_EQ(Observed().deviceContextReleases, 1);
        pnp::DeletePlainBusDevice(device_);
        device_ = nullptr;
        Reset();
        ASSERT_EQ(Arrive(device_, L"1"), STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace kstest
