// The camera behind a port of the real host stack stand-in: plugged in, pulled out.
#include <gtest/gtest.h>

#include <future>

#include <usbd/host/hub.h>

#include "sim/camera.h"

namespace {

TEST(SimOnHub, AttachGivesTheCameraItsPortAndUnplugTakesItAway)
{
    sim::Camera camera;
    auto hub = usbd::HubPort::Attach(camera);
    ASSERT_NE(hub, nullptr);
    EXPECT_TRUE(camera.IsAttached());
    EXPECT_NE(hub->PhysicalDevice(), nullptr);
    EXPECT_TRUE(hub->Connected());
    hub->Unplug();
    EXPECT_FALSE(camera.IsAttached());
    EXPECT_FALSE(hub->Connected());
}

TEST(SimOnHub, RemovalInTheMiddleOfAFrameUnplugsThroughTheHub)
{
    sim::Camera camera;
    auto hub = usbd::HubPort::Attach(camera);
    ASSERT_NE(hub, nullptr);
    ASSERT_TRUE(camera.SetConfiguration(1));
    std::promise<void> unplugged;
    camera.RemoveDuringNextFrame(65'536, [&] {
        hub->Unplug();
        unplugged.set_value();
    });
    sim::Packet request{};
    request[0] = 0x02;
    ASSERT_EQ(camera.OutTransfer(0x01, request.data(), request.size()), usbd::EndpointResult::Ok);
    ASSERT_EQ(unplugged.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(camera.IsAttached());
    EXPECT_FALSE(hub->Connected());
    EXPECT_EQ(camera.Statistics().framesCutByRemoval, 1u);
}

}  // namespace
