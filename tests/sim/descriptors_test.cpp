// The camera's descriptors as the host stack parses them.
#include <gtest/gtest.h>

#include "sim/camera.h"

namespace {

TEST(SimDescriptors, DeviceDescriptorIsHighSpeedVendorTestDevice)
{
    sim::Camera camera;
    auto d = camera.DeviceDescriptor();
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], 0x01);
    EXPECT_EQ(d[2] | d[3] << 8, 0x0200);
    EXPECT_EQ(d[7], 64);
    EXPECT_EQ(d[8] | d[9] << 8, 0xF055);
    EXPECT_EQ(d[10] | d[11] << 8, sim::kProductId);
    EXPECT_EQ(d[17], 1);
}

TEST(SimDescriptors, ProductIdComesFromOptions)
{
    sim::CameraOptions options;
    options.productId = 0x1234;
    sim::Camera camera(options);
    auto d = camera.DeviceDescriptor();
    EXPECT_EQ(d[10] | d[11] << 8, 0x1234);
}

TEST(SimDescriptors, ConfigurationHasOneInterfaceWithThreeBulkEndpointsInOrder)
{
    sim::Camera camera;
    auto c = camera.ConfigurationDescriptor(0);
    ASSERT_EQ(c.size(), 39u);
    EXPECT_EQ(c[1], 0x02);
    EXPECT_EQ(c[2] | c[3] << 8, 39);
    EXPECT_EQ(c[4], 1);  // interfaces
    EXPECT_EQ(c[5], sim::kConfigurationValue);
    // Interface descriptor.
    EXPECT_EQ(c[9], 9);
    EXPECT_EQ(c[10], 0x04);
    EXPECT_EQ(c[13], 3);  // endpoints
    const std::uint8_t expected[] = {0x01, 0x82, 0x83};
    for (int i = 0; i < 3; ++i) {
        const std::uint8_t* e = c.data() + 18 + 7 * i;
        EXPECT_EQ(e[0], 7);
        EXPECT_EQ(e[1], 0x05);
        EXPECT_EQ(e[2], expected[i]) << "endpoint " << i;
        EXPECT_EQ(e[3], 0x02) << "bulk";
        EXPECT_EQ(e[4] | e[5] << 8, 512);
    }
}

TEST(SimDescriptors, ReplacedConfigurationDescriptorsAnswerInTurnTheLastOneRepeating)
{
    struct Case {
        std::vector<std::vector<std::uint8_t>> replaced;
        std::vector<std::vector<std::uint8_t>> answers;  // to requests 0, 1, 2, ...
    };
    const std::vector<std::uint8_t> a = {9, 2, 9, 0, 0, 1, 0, 0x80, 50};
    const std::vector<std::uint8_t> b = {1, 2, 3};
    const std::vector<Case> cases = {
        {{a}, {a, a, a}},
        {{a, b}, {a, b, b, b}},
        {{b, {}, a}, {b, {}, a, a}},
    };
    for (const Case& c : cases) {
        sim::CameraOptions options;
        options.configurationDescriptors = c.replaced;
        sim::Camera camera(options);
        EXPECT_TRUE(camera.ConfigurationDescriptor(1).empty()) << "only index 0 exists";
        for (std::size_t request = 0; request < c.answers.size(); ++request) {
            EXPECT_EQ(camera.ConfigurationDescriptor(0), c.answers[request]) << request;
        }
    }
}

TEST(SimDescriptors, OnlyConfigurationIndexZeroExists)
{
    sim::Camera camera;
    EXPECT_TRUE(camera.ConfigurationDescriptor(1).empty());
}

TEST(SimDescriptors, SetConfigurationAcceptsOneAndZeroOnly)
{
    sim::Camera camera;
    EXPECT_FALSE(camera.SetConfiguration(2));
    EXPECT_FALSE(camera.Configured());
    EXPECT_TRUE(camera.SetConfiguration(1));
    EXPECT_TRUE(camera.Configured());
    EXPECT_TRUE(camera.SetConfiguration(0));
    EXPECT_FALSE(camera.Configured());
}

}  // namespace
