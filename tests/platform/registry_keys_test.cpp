// Registry keys through the Zw calls: names, relative opens, access, handles, enumeration,
// volatile keys and the device registry keys.
#include <gtest/gtest.h>

#include <ntoskrnl/host/registry.h>
#include <wdm.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr NTSTATUS kStatusChildMustBeVolatile = static_cast<NTSTATUS>(0xC0000181L);

// A key handle closed at the end of the scope.
struct Key {
    HANDLE handle = nullptr;
    ~Key()
    {
        if (handle != nullptr) {
            ZwClose(handle);
        }
    }
};

NTSTATUS OpenKey(Key& key, const wchar_t* name, ACCESS_MASK access, HANDLE root = nullptr)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwOpenKey(&key.handle, access, &attributes);
}

NTSTATUS CreateKey(Key& key, const wchar_t* name, ACCESS_MASK access, HANDLE root = nullptr,
                   ULONG options = REG_OPTION_NON_VOLATILE, ULONG* disposition = nullptr)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwCreateKey(&key.handle, access, &attributes, 0, nullptr, options, disposition);
}

NTSTATUS SetDword(HANDLE key, const wchar_t* name, ULONG value)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, name);
    return ZwSetValueKey(key, &string, 0, REG_DWORD, &value, sizeof value);
}

// Queries like the driver does: a 20-byte partial information buffer.
NTSTATUS QueryDword(HANDLE key, const wchar_t* name, ULONG& value)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, name);
    alignas(8) UCHAR buffer[20] = {};
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &string, KeyValuePartialInformation, buffer,
                                      sizeof buffer, &resultLength);
    if (NT_SUCCESS(status)) {
        std::memcpy(&value, buffer + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data), sizeof value);
    }
    return status;
}

// Names of the subkeys in enumeration order.
std::vector<rtl::WideString> EnumerateSubkeys(HANDLE key)
{
    std::vector<rtl::WideString> names;
    alignas(8) UCHAR buffer[512];
    ULONG resultLength = 0;
    for (ULONG index = 0;; ++index) {
        NTSTATUS status =
            ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof buffer, &resultLength);
        if (status == STATUS_NO_MORE_ENTRIES) {
            return names;
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) {
            return names;
        }
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        EXPECT_EQ(resultLength, offsetof(KEY_BASIC_INFORMATION, Name) + info->NameLength);
        names.emplace_back(info->Name, info->NameLength / sizeof(WCHAR));
    }
}

class RegistryKeys : public testing::Test {
protected:
    void SetUp() override
    {
        reg::Reset();
        ASSERT_EQ(reg::CreateKey(L"\\Registry\\Machine\\SOFTWARE"), STATUS_SUCCESS);
    }
    void TearDown() override { reg::Reset(); }
};

TEST_F(RegistryKeys, AccessRightsHaveTheirPublishedValues)
{
    EXPECT_EQ(KEY_READ, 0x20019);
    EXPECT_EQ(KEY_WRITE, 0x20006);
    EXPECT_EQ(KEY_EXECUTE, 0x20019);
    EXPECT_EQ(KEY_ALL_ACCESS, 0xF003F);
    EXPECT_EQ(REG_QWORD, 11);
    EXPECT_EQ(REG_MULTI_SZ, 7);
    EXPECT_EQ(PLUGPLAY_REGKEY_CURRENT_HWPROFILE, 4);
}

TEST_F(RegistryKeys, NamesAreCaseInsensitiveAndKeepTheirCase)
{
    Key created;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(created, L"\\Registry\\Machine\\Software\\MyCamera", KEY_ALL_ACCESS,
                        nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetDword(created.handle, L"Exposure", 42), STATUS_SUCCESS);

    Key again;
    ASSERT_EQ(CreateKey(again, L"\\REGISTRY\\MACHINE\\SOFTWARE\\MYCAMERA", KEY_ALL_ACCESS, nullptr,
                        REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    ULONG value = 0;
    ASSERT_EQ(QueryDword(again.handle, L"EXPOSURE", value), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);

    Key opened;
    ASSERT_EQ(OpenKey(opened, L"\\registry\\machine\\software\\mycamera", KEY_READ),
              STATUS_SUCCESS);
    ASSERT_EQ(QueryDword(opened.handle, L"exposure", value), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);

    Key software;
    ASSERT_EQ(OpenKey(software, L"\\Registry\\Machine\\SOFTWARE", KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(EnumerateSubkeys(software.handle), std::vector<rtl::WideString>{L"MyCamera"});
    EXPECT_EQ(reg::ValueNames(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\MyCamera"),
              std::vector<rtl::WideString>{L"Exposure"});
}

TEST_F(RegistryKeys, RelativeNamesStartAtTheRootDirectoryKey)
{
    // Opened with READ_CONTROL only, as a driver opens its device key before creating a subkey
    // below it: creating a subkey does not need rights on the parent's handle.
    Key software;
    ASSERT_EQ(OpenKey(software, L"\\Registry\\Machine\\SOFTWARE", READ_CONTROL), STATUS_SUCCESS);
    Key sub;
    ASSERT_EQ(CreateKey(sub, L"Vendor", KEY_ALL_ACCESS, software.handle), STATUS_SUCCESS);
    Key deeper;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(deeper, L"Vendor\\Settings", KEY_ALL_ACCESS, software.handle,
                        REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetDword(deeper.handle, L"Gain", 7), STATUS_SUCCESS);

    Key relative;
    ASSERT_EQ(OpenKey(relative, L"settings", KEY_QUERY_VALUE, sub.handle), STATUS_SUCCESS);
    ULONG value = 0;
    ASSERT_EQ(QueryDword(relative.handle, L"Gain", value), STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(reg::ReadDword(L"\\Registry\\Machine\\SOFTWARE\\Vendor\\Settings", L"Gain"), 7u);

    // An empty relative name opens the root directory's key itself.
    Key same;
    ASSERT_EQ(OpenKey(same, L"", KEY_QUERY_VALUE, deeper.handle), STATUS_SUCCESS);
    ASSERT_EQ(QueryDword(same.handle, L"Gain", value), STATUS_SUCCESS);

    Key bad;
    EXPECT_EQ(OpenKey(bad, L"\\Vendor", KEY_READ, software.handle), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(OpenKey(bad, L"Vendor\\\\Settings", KEY_READ, software.handle),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(OpenKey(bad, L"Registry\\Machine", KEY_READ), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(bad.handle, nullptr);
}

TEST_F(RegistryKeys, MissingKeysAreNotFoundAndOnlyTheLastComponentIsCreated)
{
    Key key;
    EXPECT_EQ(OpenKey(key, L"\\Registry\\Machine\\SOFTWARE\\Missing", KEY_READ),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key.handle, nullptr);
    EXPECT_EQ(CreateKey(key, L"\\Registry\\Machine\\SOFTWARE\\Missing\\Child", KEY_ALL_ACCESS),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key.handle, nullptr);
    EXPECT_FALSE(reg::KeyExists(L"\\Registry\\Machine\\SOFTWARE\\Missing"));
    EXPECT_EQ(OpenKey(key, L"\\Device\\Camera0", KEY_READ), STATUS_OBJECT_PATH_NOT_FOUND);
    // Only the two roots live directly below \Registry.
    EXPECT_EQ(CreateKey(key, L"\\Registry\\Other", KEY_ALL_ACCESS), STATUS_ACCESS_DENIED);
    EXPECT_EQ(key.handle, nullptr);
}

TEST_F(RegistryKeys, ValueCallsCheckTheAccessGrantedToTheHandle)
{
    Key writer;
    ASSERT_EQ(CreateKey(writer, L"\\Registry\\Machine\\SOFTWARE\\Access", KEY_ALL_ACCESS),
              STATUS_SUCCESS);
    ASSERT_EQ(SetDword(writer.handle, L"Value", 1), STATUS_SUCCESS);

    Key reader;
    ASSERT_EQ(OpenKey(reader, L"\\Registry\\Machine\\SOFTWARE\\Access", KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(reader.handle, L"Value", 2), STATUS_ACCESS_DENIED);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Value");
    EXPECT_EQ(ZwDeleteValueKey(reader.handle, &name), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reg::ReadDword(L"\\Registry\\Machine\\SOFTWARE\\Access", L"Value"), 1u);

    Key setOnly;
    ASSERT_EQ(OpenKey(setOnly, L"\\Registry\\Machine\\SOFTWARE\\Access", KEY_SET_VALUE),
              STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(QueryDword(setOnly.handle, L"Value", value), STATUS_ACCESS_DENIED);
    alignas(8) UCHAR buffer[64];
    ULONG resultLength = 0;
    EXPECT_EQ(ZwEnumerateValueKey(setOnly.handle, 0, KeyValueBasicInformation, buffer,
                                  sizeof buffer, &resultLength),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwEnumerateKey(setOnly.handle, 0, KeyBasicInformation, buffer, sizeof buffer,
                             &resultLength),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetDword(setOnly.handle, L"Value", 3), STATUS_SUCCESS);

    // Generic rights map to the key rights.
    Key generic;
    ASSERT_EQ(OpenKey(generic, L"\\Registry\\Machine\\SOFTWARE\\Access", GENERIC_READ),
              STATUS_SUCCESS);
    ASSERT_EQ(QueryDword(generic.handle, L"Value", value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(SetDword(generic.handle, L"Value", 4), STATUS_ACCESS_DENIED);
}

TEST_F(RegistryKeys, BadHandlesAreRefused)
{
    Key key;
    ASSERT_EQ(CreateKey(key, L"\\Registry\\Machine\\SOFTWARE\\Closed", KEY_ALL_ACCESS),
              STATUS_SUCCESS);
    HANDLE closed = key.handle;
    ASSERT_EQ(ZwClose(key.handle), STATUS_SUCCESS);
    key.handle = nullptr;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Value");
    ULONG data = 1;
    alignas(8) UCHAR buffer[64];
    ULONG resultLength = 0;
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), closed, reinterpret_cast<HANDLE>(0x1234)}) {
        SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(bad));
        EXPECT_EQ(ZwSetValueKey(bad, &name, 0, REG_DWORD, &data, sizeof data),
                  STATUS_INVALID_HANDLE);
        EXPECT_EQ(ZwQueryValueKey(bad, &name, KeyValuePartialInformation, buffer, sizeof buffer,
                                  &resultLength),
                  STATUS_INVALID_HANDLE);
        EXPECT_EQ(ZwDeleteValueKey(bad, &name), STATUS_INVALID_HANDLE);
        EXPECT_EQ(ZwEnumerateKey(bad, 0, KeyBasicInformation, buffer, sizeof buffer, &resultLength),
                  STATUS_INVALID_HANDLE);
        EXPECT_EQ(ZwFlushKey(bad), STATUS_INVALID_HANDLE);
        if (bad != nullptr) {
            Key child;
            EXPECT_EQ(OpenKey(child, L"Child", KEY_READ, bad), STATUS_INVALID_HANDLE);
            EXPECT_EQ(child.handle, nullptr);
        }
    }
}

TEST_F(RegistryKeys, HandlesToADroppedHiveReportTheKeyDeleted)
{
    Key key;
    ASSERT_EQ(CreateKey(key, L"\\Registry\\Machine\\SOFTWARE\\Old", KEY_ALL_ACCESS),
              STATUS_SUCCESS);
    reg::UseMemoryHive();
    EXPECT_EQ(SetDword(key.handle, L"Value", 1), STATUS_KEY_DELETED);
    ULONG value = 0;
    EXPECT_EQ(QueryDword(key.handle, L"Value", value), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwFlushKey(key.handle), STATUS_KEY_DELETED);
    EXPECT_FALSE(reg::KeyExists(L"\\Registry\\Machine\\SOFTWARE\\Old"));
}

TEST_F(RegistryKeys, SubkeysEnumerateInNameOrderWithRecordBufferRules)
{
    Key parent;
    ASSERT_EQ(CreateKey(parent, L"\\Registry\\Machine\\SOFTWARE\\Parent", KEY_ALL_ACCESS),
              STATUS_SUCCESS);
    for (const wchar_t* name : {L"charlie", L"Alpha", L"bravo"}) {
        Key child;
        ASSERT_EQ(CreateKey(child, name, KEY_READ, parent.handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(EnumerateSubkeys(parent.handle),
              (std::vector<rtl::WideString>{L"Alpha", L"bravo", L"charlie"}));

    // KeyNodeInformation: fixed part of 24 bytes, name after it, no class.
    alignas(8) UCHAR buffer[64];
    std::memset(buffer, 0xCC, sizeof buffer);
    ULONG resultLength = 0;
    ASSERT_EQ(ZwEnumerateKey(parent.handle, 0, KeyNodeInformation, buffer, 30, &resultLength),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(resultLength, 24u + 5 * sizeof(WCHAR));
    auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(buffer);
    EXPECT_EQ(node->NameLength, 5 * sizeof(WCHAR));
    EXPECT_EQ(node->ClassLength, 0u);
    EXPECT_EQ(buffer[30], 0xCC);  // nothing written past the buffer's length
    EXPECT_EQ(ZwEnumerateKey(parent.handle, 0, KeyBasicInformation, buffer, 15, &resultLength),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength, 16u + 5 * sizeof(WCHAR));
    EXPECT_EQ(
        ZwEnumerateKey(parent.handle, 0, KeyFullInformation, buffer, sizeof buffer, &resultLength),
        STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryKeys, VolatileKeysStayOutOfTheHiveFile)
{
    Key key;
    ASSERT_EQ(CreateKey(key, L"\\Registry\\Machine\\SOFTWARE\\Session", KEY_ALL_ACCESS, nullptr,
                        REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key.handle, L"Running", 1), STATUS_SUCCESS);
    Key child;
    EXPECT_EQ(CreateKey(child, L"Lasting", KEY_ALL_ACCESS, key.handle), kStatusChildMustBeVolatile);
    ASSERT_EQ(CreateKey(child, L"Passing", KEY_ALL_ACCESS, key.handle, REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::ReadDword(L"\\Registry\\Machine\\SOFTWARE\\Session", L"Running"), 1u);
    const std::string text = reg::ExportText();
    EXPECT_EQ(text.find("Session"), std::string::npos);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE]"), std::string::npos);
    Key bad;
    EXPECT_EQ(CreateKey(bad, L"\\Registry\\Machine\\SOFTWARE\\Odd", KEY_ALL_ACCESS, nullptr,
                        REG_OPTION_CREATE_LINK),
              STATUS_INVALID_PARAMETER);
}

class DeviceRegistryKeys : public RegistryKeys {
protected:
    // Only the address of a physical device object matters to the registry.
    alignas(8) char pdoStorage_[8] = {};
    _DEVICE_OBJECT* pdo_ = reinterpret_cast<_DEVICE_OBJECT*>(pdoStorage_);
    const wchar_t* deviceKey_ =
        L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001\\5&1"
        L"\\Device Parameters";
    const wchar_t* driverKey_ = L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class"
                                L"\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000";
};

TEST_F(DeviceRegistryKeys, TheDriverKeyIsCreatedAndHoldsASettingsSubkey)
{
    ASSERT_TRUE(reg::SetDeviceKeyPaths(pdo_, deviceKey_, driverKey_));
    EXPECT_FALSE(reg::KeyExists(driverKey_));

    Key driver;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &driver.handle),
              STATUS_SUCCESS);
    ASSERT_NE(driver.handle, nullptr);
    EXPECT_TRUE(reg::KeyExists(driverKey_));
    Key settings;
    ASSERT_EQ(CreateKey(settings, L"Settings", KEY_ALL_ACCESS, driver.handle), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(settings.handle, L"Exposure", 300), STATUS_SUCCESS);
    EXPECT_EQ(reg::ReadDword(rtl::WideString(driverKey_) + L"\\Settings", L"Exposure"), 300u);
    // The handle has only the access asked for.
    EXPECT_EQ(SetDword(driver.handle, L"Exposure", 1), STATUS_ACCESS_DENIED);

    Key device;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &device.handle),
              STATUS_SUCCESS);
    ASSERT_EQ(SetDword(device.handle, L"Marker", 5), STATUS_SUCCESS);
    EXPECT_EQ(reg::ReadDword(deviceKey_, L"Marker"), 5u);

    Key profile;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_,
                                      PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                      KEY_READ, &profile.handle),
              STATUS_SUCCESS);
    EXPECT_TRUE(reg::KeyExists(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware "
                               L"Profiles\\Current\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                               L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000"));
}

TEST_F(DeviceRegistryKeys, UnknownDevicesAndKeyTypesAreRefused)
{
    Key key;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key.handle),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(key.handle, nullptr);

    ASSERT_TRUE(reg::SetDeviceKeyPaths(pdo_, deviceKey_, driverKey_));
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER,
                                      KEY_READ, &key.handle),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, 0, KEY_READ, &key.handle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key.handle, nullptr);

    reg::ForgetDevice(pdo_);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key.handle),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(reg::SetDeviceKeyPaths(pdo_, L"\\Device\\Nowhere", driverKey_));
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key.handle),
              STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
