// Registry values through the Zw calls: the information records and their buffer rules, set,
// delete and enumeration.
#include <gtest/gtest.h>

#include <ntoskrnl/host/registry.h>
#include <wdm.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr ULONG kPartialHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

class RegistryValues : public testing::Test {
protected:
    void SetUp() override
    {
        reg::Reset();
        ASSERT_EQ(reg::CreateKey(L"\\Registry\\Machine\\SOFTWARE\\Values"), STATUS_SUCCESS);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Registry\\Machine\\SOFTWARE\\Values");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        ASSERT_EQ(ZwOpenKey(&key_, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (key_ != nullptr) {
            EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
        }
        reg::Reset();
    }

    NTSTATUS Set(const wchar_t* name, ULONG type, const std::vector<UCHAR>& data)
    {
        UNICODE_STRING string;
        RtlInitUnicodeString(&string, name);
        return ZwSetValueKey(key_, &string, 0, type, const_cast<UCHAR*>(data.data()),
                             static_cast<ULONG>(data.size()));
    }

    NTSTATUS Query(const wchar_t* name, KEY_VALUE_INFORMATION_CLASS informationClass, UCHAR* buffer,
                   ULONG length, ULONG& resultLength)
    {
        UNICODE_STRING string;
        RtlInitUnicodeString(&string, name);
        return ZwQueryValueKey(key_, &string, informationClass, buffer, length, &resultLength);
    }

    static ULONG Field(const UCHAR* buffer, std::size_t offset)
    {
        ULONG field;
        std::memcpy(&field, buffer + offset, sizeof field);
        return field;
    }

    HANDLE key_ = nullptr;
};

std::vector<UCHAR> Sequence(std::size_t size)
{
    std::vector<UCHAR> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<UCHAR>(0xA0 + i);
    }
    return bytes;
}

TEST_F(RegistryValues, ATwentyBytePartialQueryHoldsUpToEightDataBytes)
{
    ASSERT_EQ(Set(L"Four", REG_DWORD, Sequence(4)), STATUS_SUCCESS);
    ASSERT_EQ(Set(L"Eight", REG_QWORD, Sequence(8)), STATUS_SUCCESS);
    ASSERT_EQ(Set(L"Nine", REG_BINARY, Sequence(9)), STATUS_SUCCESS);
    ASSERT_EQ(Set(L"Empty", REG_BINARY, {}), STATUS_SUCCESS);

    alignas(8) UCHAR buffer[32];
    ULONG resultLength = 0;
    struct Case {
        const wchar_t* name;
        ULONG type;
        std::size_t size;
    };
    for (const Case& fitting : {Case{L"Four", REG_DWORD, 4}, Case{L"Eight", REG_QWORD, 8},
                                Case{L"Empty", REG_BINARY, 0}}) {
        SCOPED_TRACE(rtl::WideString(fitting.name).size());
        std::memset(buffer, 0xCC, sizeof buffer);
        ASSERT_EQ(Query(fitting.name, KeyValuePartialInformation, buffer, 20, resultLength),
                  STATUS_SUCCESS);
        EXPECT_EQ(resultLength, kPartialHeader + fitting.size);
        EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex)), 0u);
        EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type)), fitting.type);
        EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength)), fitting.size);
        EXPECT_EQ(
            std::vector<UCHAR>(buffer + kPartialHeader, buffer + kPartialHeader + fitting.size),
            Sequence(fitting.size));
    }

    // Nine data bytes: the header is filled, the data is not copied.
    std::memset(buffer, 0xCC, sizeof buffer);
    NTSTATUS status = Query(L"Nine", KeyValuePartialInformation, buffer, 20, resultLength);
    EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(resultLength, kPartialHeader + 9);
    EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type)), ULONG{REG_BINARY});
    EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength)), 9u);
    EXPECT_EQ(buffer[kPartialHeader], 0xCC);

    // Shorter than the fixed header: nothing is written.
    std::memset(buffer, 0xCC, sizeof buffer);
    EXPECT_EQ(Query(L"Four", KeyValuePartialInformation, buffer, 11, resultLength),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength, kPartialHeader + 4);
    EXPECT_EQ(buffer[0], 0xCC);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Nine");
    EXPECT_EQ(ZwQueryValueKey(key_, &name, KeyValuePartialInformation, nullptr, 0, &resultLength),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength, kPartialHeader + 9);

    EXPECT_EQ(Query(L"Absent", KeyValuePartialInformation, buffer, sizeof buffer, resultLength),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(L"Four", MaxKeyValueInfoClass, buffer, sizeof buffer, resultLength),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryValues, BasicAndFullRecordsCarryTheNameAndAlignedData)
{
    ASSERT_EQ(Set(L"Blob", REG_BINARY, Sequence(6)), STATUS_SUCCESS);
    const ULONG nameBytes = 4 * sizeof(WCHAR);

    alignas(8) UCHAR buffer[128];
    ULONG resultLength = 0;
    ASSERT_EQ(Query(L"blob", KeyValueFullInformation, buffer, sizeof buffer, resultLength),
              STATUS_SUCCESS);
    const ULONG dataOffset = Field(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset));
    EXPECT_EQ(dataOffset % sizeof(ULONG), 0u);
    EXPECT_GE(dataOffset, offsetof(KEY_VALUE_FULL_INFORMATION, Name) + nameBytes);
    EXPECT_EQ(resultLength, dataOffset + 6);
    EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength)), nameBytes);
    EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength)), 6u);
    // The name keeps the case it was created with, whatever the query used.
    EXPECT_EQ(rtl::WideString(reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer)->Name, 4),
              rtl::WideString(L"Blob"));
    EXPECT_EQ(std::vector<UCHAR>(buffer + dataOffset, buffer + dataOffset + 6), Sequence(6));

    // Room for the fixed part and half the name: the name is cut, the data left out.
    std::memset(buffer, 0xCC, sizeof buffer);
    const ULONG cut = offsetof(KEY_VALUE_FULL_INFORMATION, Name) + 2 * sizeof(WCHAR);
    EXPECT_EQ(Query(L"Blob", KeyValueFullInformation, buffer, cut, resultLength),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(resultLength, dataOffset + 6);
    EXPECT_EQ(rtl::WideString(reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer)->Name, 2),
              rtl::WideString(L"Bl"));
    EXPECT_EQ(buffer[cut], 0xCC);
    EXPECT_EQ(Query(L"Blob", KeyValueFullInformation, buffer, 19, resultLength),
              STATUS_BUFFER_TOO_SMALL);

    ASSERT_EQ(Query(L"Blob", KeyValueBasicInformation, buffer, sizeof buffer, resultLength),
              STATUS_SUCCESS);
    EXPECT_EQ(resultLength, offsetof(KEY_VALUE_BASIC_INFORMATION, Name) + nameBytes);
    EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, Type)), ULONG{REG_BINARY});
    EXPECT_EQ(rtl::WideString(reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer)->Name, 4),
              rtl::WideString(L"Blob"));
}

TEST_F(RegistryValues, SetReplacesDeleteRemovesAndEnumerationKeepsCreationOrder)
{
    ASSERT_EQ(Set(L"Zulu", REG_DWORD, Sequence(4)), STATUS_SUCCESS);
    ASSERT_EQ(Set(L"alpha", REG_SZ, Sequence(8)), STATUS_SUCCESS);
    ASSERT_EQ(Set(L"", REG_BINARY, Sequence(3)), STATUS_SUCCESS);  // the default value
    ASSERT_EQ(Set(L"ZULU", REG_BINARY, Sequence(2)), STATUS_SUCCESS);

    std::vector<rtl::WideString> names;
    alignas(8) UCHAR buffer[128];
    ULONG resultLength = 0;
    ULONG index = 0;
    NTSTATUS status;
    while ((status = ZwEnumerateValueKey(key_, index++, KeyValueBasicInformation, buffer,
                                         sizeof buffer, &resultLength)) == STATUS_SUCCESS) {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        names.emplace_back(info->Name, info->NameLength / sizeof(WCHAR));
    }
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(names, (std::vector<rtl::WideString>{L"Zulu", L"alpha", L""}));

    auto replaced = reg::ReadValue(L"\\Registry\\Machine\\SOFTWARE\\Values", L"zulu");
    ASSERT_TRUE(replaced.has_value());
    EXPECT_EQ(replaced->type, ULONG{REG_BINARY});
    EXPECT_EQ(replaced->data, Sequence(2));
    ASSERT_EQ(Query(nullptr, KeyValuePartialInformation, buffer, sizeof buffer, resultLength),
              STATUS_SUCCESS);
    EXPECT_EQ(Field(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength)), 3u);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"ALPHA");
    EXPECT_EQ(ZwDeleteValueKey(key_, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key_, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(reg::ValueNames(L"\\Registry\\Machine\\SOFTWARE\\Values"),
              (std::vector<rtl::WideString>{L"Zulu", L""}));
}

TEST_F(RegistryValues, MalformedArgumentsAreRefused)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Value");
    EXPECT_EQ(ZwSetValueKey(key_, &name, 0, REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwSetValueKey(key_, &name, 0, REG_BINARY, nullptr, 0), STATUS_SUCCESS);

    // A length that is not a whole number of characters.
    UNICODE_STRING odd = name;
    odd.Length = 3;
    ULONG data = 1;
    EXPECT_EQ(ZwSetValueKey(key_, &odd, 0, REG_DWORD, &data, sizeof data),
              STATUS_INVALID_PARAMETER);
    // A line break cannot be kept in the hive file.
    UNICODE_STRING broken;
    RtlInitUnicodeString(&broken, L"two\nlines");
    EXPECT_EQ(ZwSetValueKey(key_, &broken, 0, REG_DWORD, &data, sizeof data),
              STATUS_INVALID_PARAMETER);
    // Nor half of a surrogate pair: the name is not text.
    for (const WCHAR* half : {L"high\xD83D", L"\xDE00low", L"\xDE00\xD83D"}) {
        UNICODE_STRING unpaired;
        RtlInitUnicodeString(&unpaired, half);
        EXPECT_EQ(ZwSetValueKey(key_, &unpaired, 0, REG_DWORD, &data, sizeof data),
                  STATUS_INVALID_PARAMETER);
    }

    alignas(8) UCHAR buffer[32];
    EXPECT_EQ(
        ZwQueryValueKey(key_, &name, KeyValuePartialInformation, buffer, sizeof buffer, nullptr),
        STATUS_INVALID_PARAMETER);
    ULONG resultLength = 0;
    EXPECT_EQ(ZwQueryValueKey(key_, &name, KeyValuePartialInformation, nullptr, 16, &resultLength),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryValues, HostHelpersReadWhatTheCallsWrote)
{
    std::vector<UCHAR> wide(3 * sizeof(WCHAR), 0);
    const wchar_t hi[] = L"hi";
    std::memcpy(wide.data(), hi, sizeof hi);
    ASSERT_EQ(Set(L"Greeting", REG_SZ, wide), STATUS_SUCCESS);
    ASSERT_EQ(Set(L"Count", REG_DWORD, {0x0B, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(Set(L"Short", REG_DWORD, {1, 2}), STATUS_SUCCESS);
    const wchar_t* path = L"HKEY_LOCAL_MACHINE\\software\\VALUES";
    EXPECT_EQ(reg::ReadString(path, L"greeting"), rtl::WideString(L"hi"));
    EXPECT_EQ(reg::ReadDword(path, L"count"), 11u);
    EXPECT_EQ(reg::ReadDword(path, L"Short"), std::nullopt);
    EXPECT_EQ(reg::ReadDword(path, L"Greeting"), std::nullopt);
    EXPECT_EQ(reg::ReadDword(L"\\Registry\\Machine\\Nowhere", L"Count"), std::nullopt);

    ASSERT_EQ(reg::WriteDword(path, L"Count", 12), STATUS_SUCCESS);
    ULONG resultLength = 0;
    alignas(8) UCHAR buffer[20];
    ASSERT_EQ(Query(L"Count", KeyValuePartialInformation, buffer, sizeof buffer, resultLength),
              STATUS_SUCCESS);
    EXPECT_EQ(Field(buffer, kPartialHeader), 12u);
    // A string the host helpers write reads back as the platform holds it: UTF-16LE units of
    // two bytes, and the terminating NUL.
    ASSERT_EQ(reg::WriteString(path, L"Name", L"Cam\U0001F600"), STATUS_SUCCESS);
    ASSERT_EQ(Query(L"Name", KeyValuePartialInformation, nullptr, 0, resultLength),
              STATUS_BUFFER_TOO_SMALL);
    std::vector<UCHAR> record(resultLength);
    ASSERT_EQ(Query(L"Name", KeyValuePartialInformation, record.data(), resultLength, resultLength),
              STATUS_SUCCESS);
    EXPECT_EQ(Field(record.data(), offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type)), ULONG{REG_SZ});
    EXPECT_EQ(Field(record.data(), offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength)), 12u);
    EXPECT_EQ(std::vector<UCHAR>(record.begin() + kPartialHeader, record.end()),
              (std::vector<UCHAR>{'C', 0, 'a', 0, 'm', 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
    EXPECT_EQ(reg::WriteDword(L"SOFTWARE\\Values", L"Count", 1), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(reg::DeleteValue(path, L"count"), STATUS_SUCCESS);
    EXPECT_EQ(reg::DeleteValue(path, L"count"), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
