// Settings in the registry: written at filter close and device stop, read back and clamped at
// the next start, surviving a restart of the program through the hive file.
#include "camera_fixture.h"

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace cameratest {
namespace {

using SettingsPersistence = CameraTest;

TEST_F(SettingsPersistence, FirstStartCreatesAnEmptySettingsKeyAndStopWritesAllValues)
{
    PluggedCamera& plugged = Plug();
    rtl::WideString key = plugged.DriverKey();
    EXPECT_TRUE(reg::KeyExists(key));
    EXPECT_TRUE(reg::ValueNames(key).empty());

    plugged.Device()->SetBrightness(300);
    ASSERT_EQ(pnp::StopDevice(plugged.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(reg::ValueNames(key).size(), 24u);
    EXPECT_EQ(reg::ReadDword(key, L"Brightness"), 300u);
    EXPECT_EQ(reg::ReadDword(key, L"RoiW"), 752u);
    EXPECT_EQ(reg::ReadDword(key, L"Timeout"), 3000u);
    EXPECT_EQ(reg::ReadDword(key, L"Exposure"), 1u);
    ASSERT_EQ(pnp::StartDevice(plugged.Pdo()), STATUS_SUCCESS);
}

TEST_F(SettingsPersistence, ClosingAFilterSavesTheSettingsWhileTheDeviceRuns)
{
    PluggedCamera& plugged = Plug();
    plugged.Device()->SetContrast(13);
    {
        ksclient::Filter filter;
        ASSERT_EQ(ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, filter), STATUS_SUCCESS);
    }
    EXPECT_EQ(reg::ReadDword(plugged.DriverKey(), L"Contrast"), 13u);
}

TEST_F(SettingsPersistence, StoredValuesAreClampedAtLoad)
{
    PluggedCamera& plugged = Plug();
    rtl::WideString key = plugged.DriverKey();
    ASSERT_EQ(pnp::StopDevice(plugged.Pdo()), STATUS_SUCCESS);
    reg::WriteDword(key, L"RoiW", 1000);
    reg::WriteDword(key, L"RoiX", 800);
    reg::WriteDword(key, L"SubSample", 0xFFFFFFFF);
    reg::WriteDword(key, L"Timeout", 500);
    reg::WriteDword(key, L"RedGain", 0);
    reg::WriteDword(key, L"Hue", 400);
    reg::WriteDword(key, L"GlobalGain", 70);
    reg::WriteDword(key, L"Exposure", 1234);
    ASSERT_EQ(pnp::StartDevice(plugged.Pdo()), STATUS_SUCCESS);

    CaptureDevice* device = plugged.Device();
    EXPECT_EQ(device->GetRoiW(), 752);
    EXPECT_EQ(device->GetRoiX(), 0);
    EXPECT_EQ(device->GetSubSample(), 0u);
    EXPECT_EQ(device->GetTimeout(), 3000u);  // 500 is outside 501..9999 and ignored
    EXPECT_EQ(device->GetRedGain(), 1);
    EXPECT_EQ(device->GetHue(), 359);
    EXPECT_EQ(device->Settings.GlobalGain, 63u);
    EXPECT_EQ(plugged.camera->PeekSensorRegister(0x0B), 1234);
}

TEST_F(SettingsPersistence, TimeoutInsideItsRangeIsApplied)
{
    PluggedCamera& plugged = Plug();
    ASSERT_EQ(pnp::StopDevice(plugged.Pdo()), STATUS_SUCCESS);
    reg::WriteDword(plugged.DriverKey(), L"Timeout", 9999);
    ASSERT_EQ(pnp::StartDevice(plugged.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(plugged.Device()->GetTimeout(), 9999u);
    plugged.Device()->SetTimeout(3000);
}

TEST_F(SettingsPersistence, ValuesOfOtherTypesAndSizes)
{
    PluggedCamera& plugged = Plug();
    rtl::WideString key = plugged.DriverKey();
    ASSERT_EQ(pnp::StopDevice(plugged.Pdo()), STATUS_SUCCESS);
    // Up to 8 data bytes are read as their first four; longer values count as missing, and so
    // do values shorter than four bytes.
    reg::WriteValue(key, L"Brightness", REG_BINARY, {0x2C, 0x01, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD});
    reg::WriteValue(key, L"Contrast", REG_BINARY, {5, 0, 0, 0, 0, 0, 0, 0, 0});
    reg::WriteValue(key, L"Saturation", REG_BINARY, {3, 0});
    ASSERT_EQ(pnp::StartDevice(plugged.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(plugged.Device()->GetBrightness(), 300);
    EXPECT_EQ(plugged.Device()->GetContrast(), 10);    // default
    EXPECT_EQ(plugged.Device()->GetSaturation(), 10);  // default
}

TEST_F(SettingsPersistence, SettingsSurviveARestartOfTheProgram)
{
    std::string path = (std::filesystem::temp_directory_path() /
                        ("usbcam-settings-" + std::to_string(::getpid()) + ".reg"))
                           .string();
    std::remove(path.c_str());
    ASSERT_TRUE(reg::UseHiveFile(path).ok);
    {
        PluggedCamera& plugged = Plug();
        SetRegionOfInterest(plugged.Device(), 16, 8, 320, 240, 0);
        plugged.Device()->SetSaturation(4);
        plugged.Device()->SetExposure(640);
        UnplugAll();  // the device stops and saves
    }
    // A new program: the hive comes back from the file.
    reg::Reset();
    ASSERT_TRUE(reg::UseHiveFile(path).ok);
    PluggedCamera& again = Plug();
    CaptureDevice* device = again.Device();
    EXPECT_EQ(device->GetRoiX(), 16);
    EXPECT_EQ(device->GetRoiW(), 320);
    EXPECT_EQ(device->GetSaturation(), 4);
    EXPECT_EQ(again.camera->PeekSensorRegister(0x0B), 640);
    UnplugAll();
    reg::Reset();
    std::remove(path.c_str());
}

}  // namespace
}  // namespace cameratest
