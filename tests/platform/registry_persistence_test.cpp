// The hive file: values surviving a restart, atomic replacement under crashes and write
// failures, refusal of malformed files, and the round trip of the text form.
#include <gtest/gtest.h>

#include <ntoskrnl/host/registry.h>
#include <wdm.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

const wchar_t kKeyPath[] = L"\\Registry\\Machine\\SOFTWARE\\Camera";

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<UCHAR> Bytes(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const UCHAR*>(data);
    return std::vector<UCHAR>(bytes, bytes + size);
}

std::vector<UCHAR> WideBytes(const wchar_t* text, std::size_t characters)
{
    return Bytes(text, characters * sizeof(WCHAR));
}

class HiveFile : public testing::Test {
protected:
    void SetUp() override
    {
        reg::Reset();
        char pattern[] = "/tmp/registry_test_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        file_ = directory_ / "system.reg";
    }

    void TearDown() override
    {
        reg::Reset();
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    // Opens (creating) the test key with all access.
    HANDLE OpenCameraKey()
    {
        HANDLE handle = nullptr;
        for (const wchar_t* path : {L"\\Registry\\Machine\\SOFTWARE", kKeyPath}) {
            if (handle != nullptr) {
                ZwClose(handle);
            }
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, path);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                       nullptr, nullptr);
            EXPECT_EQ(ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, nullptr),
                      STATUS_SUCCESS);
        }
        return handle;
    }

    static NTSTATUS Set(HANDLE key, const wchar_t* name, ULONG type, std::vector<UCHAR> data)
    {
        UNICODE_STRING string;
        RtlInitUnicodeString(&string, name);
        return ZwSetValueKey(key, &string, 0, type, data.data(), static_cast<ULONG>(data.size()));
    }

    static NTSTATUS SetDword(HANDLE key, const wchar_t* name, ULONG value)
    {
        return Set(key, name, REG_DWORD, Bytes(&value, sizeof value));
    }

    // Type and data of a value, read with a partial information query.
    static std::pair<ULONG, std::vector<UCHAR>> Get(HANDLE key, const wchar_t* name)
    {
        UNICODE_STRING string;
        RtlInitUnicodeString(&string, name);
        ULONG needed = 0;
        NTSTATUS status =
            ZwQueryValueKey(key, &string, KeyValuePartialInformation, nullptr, 0, &needed);
        EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
        std::vector<UCHAR> buffer(needed);
        ULONG resultLength = 0;
        status = ZwQueryValueKey(key, &string, KeyValuePartialInformation, buffer.data(), needed,
                                 &resultLength);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) {
            return {};
        }
        KEY_VALUE_PARTIAL_INFORMATION info;
        std::memcpy(&info, buffer.data(), offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
        const UCHAR* data = buffer.data() + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        return {info.Type, std::vector<UCHAR>(data, data + info.DataLength)};
    }

    // Drops the hive and loads it again from the file.
    void Restart()
    {
        reg::UseMemoryHive();
        reg::LoadResult loaded = reg::UseHiveFile(file_.string());
        ASSERT_TRUE(loaded) << loaded.message;
        EXPECT_FALSE(loaded.created);
    }

    fs::path directory_;
    fs::path file_;
};

TEST_F(HiveFile, ValuesOfEveryTypeSurviveARestart)
{
    reg::LoadResult loaded = reg::UseHiveFile(file_.string());
    ASSERT_TRUE(loaded) << loaded.message;
    EXPECT_TRUE(loaded.created);
    EXPECT_FALSE(fs::exists(file_));

    const wchar_t path[] = L"C:\\Program Files\\\"Cam\"\\";
    const wchar_t multi[] = L"one\0two\0";
    const wchar_t lines[] = L"first\r\nsecond";
    const wchar_t clef[] = L"\U0001D11E";  // outside the basic plane: a surrogate pair
    std::vector<UCHAR> big(300);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<UCHAR>(i * 7);
    }
    const ULONGLONG qword = 0x0123456789ABCDEFull;
    struct Stored {
        const wchar_t* name;
        ULONG type;
        std::vector<UCHAR> data;
    };
    const std::vector<Stored> stored = {
        {L"Exposure", REG_DWORD, {0x0B, 0, 0, 0}},
        {L"Path", REG_SZ, WideBytes(path, rtl::WideCharTraits::length(path) + 1)},
        {L"Empty", REG_SZ, WideBytes(L"", 1)},
        {L"Lines", REG_SZ, WideBytes(lines, rtl::WideCharTraits::length(lines) + 1)},
        {L"Unterminated", REG_SZ, WideBytes(L"abc", 3)},
        {L"Expand", REG_EXPAND_SZ, WideBytes(L"%SystemRoot%", 13)},
        {L"Multi", REG_MULTI_SZ, WideBytes(multi, sizeof multi / sizeof(WCHAR))},
        {L"Blob", REG_BINARY, big},
        {L"NoData", REG_BINARY, {}},
        {L"Big", REG_DWORD_BIG_ENDIAN, {0, 0, 1, 2}},
        {L"Quad", REG_QWORD, Bytes(&qword, sizeof qword)},
        {L"Nothing", REG_NONE, {}},
        {L"ShortDword", REG_DWORD, {1, 2, 3}},
        {L"Custom", 0x12345, {9, 8, 7}},
        {L"", REG_SZ, WideBytes(L"default", 8)},
        {L"Clef \U0001D11E", REG_SZ, WideBytes(clef, sizeof clef / sizeof(WCHAR))},
        {L"Unpaired", REG_SZ, WideBytes(L"a\xDC00", 3)},
    };
    HANDLE key = OpenCameraKey();
    for (const Stored& value : stored) {
        ASSERT_EQ(Set(key, value.name, value.type, value.data), STATUS_SUCCESS);
    }
    ASSERT_EQ(ZwFlushKey(key), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);

    const std::string text = ReadFile(file_);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Camera]\n"), std::string::npos);
    EXPECT_NE(text.find("\"Exposure\"=dword:0000000b\n"), std::string::npos);
    EXPECT_NE(text.find("\"Path\"=\"C:\\\\Program Files\\\\\\\"Cam\\\"\\\\\"\n"),
              std::string::npos);
    EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"Custom\"=hex(12345):09,08,07\n"), std::string::npos);
    EXPECT_NE(text.find(",\\\n  "), std::string::npos);  // long data continues on a new line
    // String data in hex form is UTF-16LE, as the platform's export tool writes it; names and
    // quoted strings are UTF-8, with characters outside the basic plane whole.
    EXPECT_NE(text.find("\"Multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00\n"),
              std::string::npos);
    EXPECT_NE(text.find("\"Unterminated\"=hex(1):61,00,62,00,63,00\n"), std::string::npos);
    EXPECT_NE(text.find("\"Lines\"=hex(1):66,00,69,00,72,00,73,00,74,00,0d,00,0a,00,73,00"),
              std::string::npos);
    EXPECT_NE(text.find("\"Unpaired\"=hex(1):61,00,00,dc,00,00\n"), std::string::npos);
    EXPECT_NE(text.find("\"Clef \xF0\x9D\x84\x9E\"=\"\xF0\x9D\x84\x9E\"\n"), std::string::npos);

    Restart();
    key = OpenCameraKey();
    for (const Stored& value : stored) {
        SCOPED_TRACE(rtl::WideString(value.name).size());
        auto [type, data] = Get(key, value.name);
        EXPECT_EQ(type, value.type);
        EXPECT_EQ(data, value.data);
    }
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    // A second write of the same hive gives the same text.
    ASSERT_EQ(reg::WriteDword(kKeyPath, L"Exposure", 11), STATUS_SUCCESS);
    EXPECT_EQ(reg::ExportText(), text);
}

TEST_F(HiveFile, ACrashBeforeTheRenameLeavesThePreviousFileIntact)
{
    ASSERT_TRUE(reg::UseHiveFile(file_.string()));
    HANDLE key = OpenCameraKey();
    ASSERT_EQ(SetDword(key, L"Exposure", 1), STATUS_SUCCESS);
    const std::string before = ReadFile(file_);

    reg::InjectSaveFault(reg::SaveFault::CrashBeforeRename);
    EXPECT_EQ(SetDword(key, L"Exposure", 2), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(ReadFile(file_), before);
    const fs::path temporary = file_.string() + ".tmp";
    ASSERT_TRUE(fs::exists(temporary));
    EXPECT_NE(ReadFile(temporary).find("\"Exposure\"=dword:00000002"), std::string::npos);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);

    Restart();
    key = OpenCameraKey();
    EXPECT_EQ(Get(key, L"Exposure").second, Bytes("\x01\0\0\0", 4));
    // The next save goes through and replaces the stale temporary file.
    ASSERT_EQ(SetDword(key, L"Exposure", 3), STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(temporary));
    EXPECT_NE(ReadFile(file_).find("\"Exposure\"=dword:00000003"), std::string::npos);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(HiveFile, AFailedWriteKeepsTheOldFileAndIsReported)
{
    ASSERT_TRUE(reg::UseHiveFile(file_.string()));
    HANDLE key = OpenCameraKey();
    ASSERT_EQ(SetDword(key, L"Gain", 10), STATUS_SUCCESS);
    const std::string before = ReadFile(file_);

    reg::InjectSaveFault(reg::SaveFault::WriteFails);
    EXPECT_EQ(SetDword(key, L"Gain", 20), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(ReadFile(file_), before);
    EXPECT_FALSE(fs::exists(file_.string() + ".tmp"));
    EXPECT_NE(reg::LastSaveError().find("cannot write"), std::string::npos);
    // The change stays in memory, and a flush writes it.
    EXPECT_EQ(Get(key, L"Gain").second, Bytes("\x14\0\0\0", 4));
    EXPECT_EQ(ZwFlushKey(key), STATUS_SUCCESS);
    EXPECT_TRUE(reg::LastSaveError().empty());
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    Restart();
    EXPECT_EQ(reg::ReadDword(kKeyPath, L"Gain"), 20u);
}

TEST_F(HiveFile, ADirectoryThatVanishedFailsTheSaveWithoutLosingTheChange)
{
    const fs::path inner = directory_ / "inner";
    fs::create_directory(inner);
    ASSERT_TRUE(reg::UseHiveFile((inner / "system.reg").string()));
    fs::remove_all(inner);
    EXPECT_EQ(reg::WriteDword(kKeyPath, L"Gain", 5), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(reg::ReadDword(kKeyPath, L"Gain"), 5u);
    EXPECT_FALSE(reg::LastSaveError().empty());
}

TEST_F(HiveFile, MalformedFilesAreRefusedWithTheLineAndLeftAlone)
{
    struct Malformed {
        std::string text;
        unsigned line;
        std::string fault;
    };
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::vector<Malformed> cases = {
        {"REGEDIT4\n", 1, "expected the header"},
        {"", 1, "empty"},
        {header + "\"Orphan\"=dword:00000001\n", 3, "before the first key section"},
        {header + "[HKEY_LOCAL_MACHINE\\A\n", 3, "no closing ']'"},
        {header + "[HKEY_CURRENT_USER\\A]\n", 3, "unknown root key"},
        {header + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3, "invalid key path"},
        {header + "[-HKEY_LOCAL_MACHINE\\A]\n", 3, "key deletions"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:xyz\n", 4, "bad dword data"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:123456789\n", 4, "bad dword data"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n; fine\n\"V\"=hex:01,zz\n", 5, "bad byte 'zz'"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,\n", 4, "bad byte"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex(x1):01\n", 4, "bad value type"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"C:\\dir\"\n", 4, "unknown escape"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"open\n", 4, "no closing quote"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"a\" b\n", 4, "after the closing quote"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\" dword:1\n", 4, "expected '='"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=-\n", 4, "value deletions"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=sz:text\n", 4, "unknown value data"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,02,\\\n", 4, "past the end"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\nstray\n", 4, "expected a key section"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\xC3\x28\"=dword:1\n", 4, "not valid UTF-8"},
        // Cut inside the last line: what is left may read as another value.
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:000001e", 4, "no line end"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,02", 4, "no line end"},
        {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=dword:1\r", 4, "no line end"},
        {header + "[HKEY_LOCAL_MACHINE\\A", 3, "no line end"},
        {"Windows Registry Editor Version 5.00", 1, "no line end"},
    };
    for (const Malformed& malformed : cases) {
        SCOPED_TRACE(malformed.text);
        WriteFile(file_, malformed.text);
        reg::LoadResult loaded = reg::UseHiveFile(file_.string());
        EXPECT_FALSE(loaded.ok);
        EXPECT_EQ(loaded.line, malformed.line);
        EXPECT_NE(loaded.message.find("line " + std::to_string(malformed.line) + ":"),
                  std::string::npos)
            << loaded.message;
        EXPECT_NE(loaded.message.find(malformed.fault), std::string::npos) << loaded.message;
        EXPECT_NE(loaded.message.find(file_.string()), std::string::npos) << loaded.message;

        // The registry runs on in memory and never touches the refused file.
        EXPECT_EQ(reg::HiveFilePath(), std::nullopt);
        EXPECT_EQ(reg::WriteDword(kKeyPath, L"Gain", 1), STATUS_SUCCESS);
        EXPECT_EQ(ReadFile(file_), malformed.text);
    }

    // The caller may then decide to start over in the same file.
    ASSERT_EQ(reg::StartEmptyHiveFile(file_.string()), STATUS_SUCCESS);
    EXPECT_EQ(reg::ReadDword(kKeyPath, L"Gain"), std::nullopt);
    ASSERT_EQ(reg::WriteDword(kKeyPath, L"Gain", 2), STATUS_SUCCESS);
    Restart();
    EXPECT_EQ(reg::ReadDword(kKeyPath, L"Gain"), 2u);
}

TEST_F(HiveFile, FilesEndingAfterAWholeLineAreRead)
{
    // The format lets a file end after any whole line, also inside a key section without the
    // empty line the writer puts after each section; only blanks may follow the last line end.
    struct Ending {
        std::string text;
        std::optional<std::uint32_t> gain;  // the value read back, if the file has it
    };
    const std::string key = "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\Camera]\n";
    const std::vector<Ending> endings = {
        {key + "\"Gain\"=dword:0000001e\n\n", 0x1E},
        {key + "\"Gain\"=dword:0000001e\n", 0x1E},
        {key + "\"Gain\"=dword:0000001e\r\n", 0x1E},
        {key + "\"Gain\"=dword:0000001e\n  \t", 0x1E},
        {key, std::nullopt},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.text);
        WriteFile(file_, ending.text);
        reg::LoadResult loaded = reg::UseHiveFile(file_.string());
        ASSERT_TRUE(loaded) << loaded.message;
        EXPECT_TRUE(reg::KeyExists(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Camera"));
        EXPECT_EQ(reg::ReadDword(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Camera", L"Gain"), ending.gain);
    }
}

TEST_F(HiveFile, OddNamesAndEscapesRoundTrip)
{
    const std::vector<rtl::WideString> keys = {
        L"\\Registry\\Machine\\SOFTWARE\\Name With Spaces",
        L"\\Registry\\Machine\\SOFTWARE\\brackets]\\[inner]",
        L"\\Registry\\Machine\\SOFTWARE\\semi;colon=eq\"quote\"",
        L"\\Registry\\Machine\\SOFTWARE\\Ünïcödé ключ 鍵 \U0001F600",
        L"\\Registry\\User\\S-1-5-18\\-dash",
    };
    const std::vector<rtl::WideString> names = {
        L"",
        L"@",
        L"back\\slash",
        L"quote\"name\"",
        L"=",
        L"\\",
        L" spaced out ",
        L"tab\there",
        L"ユニコード",
        L"ends with \\",
    };
    const std::vector<rtl::WideString> strings = {
        L"",        L"C:\\Windows\\\"x\"", L"end\\",           L"\"",     L"tab\tin",
        L"😀 emoji", L"; not a comment",    L"[not a section]", L"a\\\\b", L"ü",
    };
    for (const rtl::WideString& key : keys) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            ASSERT_EQ(reg::WriteString(key, names[i], strings[i]), STATUS_SUCCESS);
        }
        ASSERT_EQ(reg::WriteDword(key, L"dword", 0xFFFFFFFF), STATUS_SUCCESS);
    }
    const std::string exported = reg::ExportText();

    // Read back the way the export tool's files look too: CRLF, a byte-order mark, comments.
    std::string windowsStyle = "\xEF\xBB\xBF";
    std::istringstream lines(exported);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        windowsStyle += line + "\r\n";
        if (!first && !line.empty() && line.front() == '[') {
            windowsStyle += "  ; a comment between sections\r\n";
        }
        first = false;
    }
    for (const std::string& text : {exported, windowsStyle}) {
        WriteFile(file_, text);
        reg::LoadResult loaded = reg::UseHiveFile(file_.string());
        ASSERT_TRUE(loaded) << loaded.message;
        for (const rtl::WideString& key : keys) {
            for (std::size_t i = 0; i < names.size(); ++i) {
                EXPECT_EQ(reg::ReadString(key, names[i]), strings[i]);
            }
            EXPECT_EQ(reg::ReadDword(key, L"dword"), 0xFFFFFFFFu);
            auto stored = reg::ValueNames(key);
            EXPECT_EQ(std::vector<rtl::WideString>(stored.begin(), stored.end() - 1), names);
        }
        EXPECT_EQ(reg::SubkeyNames(L"\\Registry\\Machine\\SOFTWARE\\brackets]"),
                  std::vector<rtl::WideString>{L"[inner]"});
        EXPECT_EQ(reg::ExportText(), exported);
    }
}

TEST_F(HiveFile, ExportToolLayoutIsRead)
{
    // As the platform's export tool lays it out: upper-case hex, continuation lines with
    // CRLF, hex(7) and hex(b) forms.
    WriteFile(
        file_,
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{X}\\0000]\r\n"
        "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,15,\\\r\n"
        "  16,17,18\r\n"
        "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        "\"Upper\"=DWORD:0000FFFF\r\n"
        "\"Expand\"=hex(2):25,00,41,00,25,00,3D,D8,00,DE,00,00\r\n"
        "@=\"value\"\r\n"
        "\r\n");
    reg::LoadResult loaded = reg::UseHiveFile(file_.string());
    ASSERT_TRUE(loaded) << loaded.message;
    const wchar_t* key =
        L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{x}\\0000";
    auto blob = reg::ReadValue(key, L"Blob");
    ASSERT_TRUE(blob.has_value());
    ASSERT_EQ(blob->data.size(), 25u);
    for (std::size_t i = 0; i < blob->data.size(); ++i) {
        EXPECT_EQ(blob->data[i], i);
    }
    auto quad = reg::ReadValue(key, L"Quad");
    ASSERT_TRUE(quad.has_value());
    EXPECT_EQ(quad->type, ULONG{REG_QWORD});
    EXPECT_EQ(quad->data.size(), 8u);
    EXPECT_EQ(reg::ReadDword(key, L"upper"), 0xFFFFu);
    EXPECT_EQ(reg::ReadString(key, L"Expand"), rtl::WideString(L"%A%\U0001F600"));
    EXPECT_EQ(reg::ReadString(key, L""), rtl::WideString(L"value"));
}

TEST_F(HiveFile, ConcurrentWritersAllReachTheFile)
{
    ASSERT_TRUE(reg::UseHiveFile(file_.string()));
    HANDLE key = OpenCameraKey();
    constexpr int kThreads = 4;
    constexpr int kValuesEach = 20;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, key, t] {
            for (int i = 0; i < kValuesEach; ++i) {
                const rtl::WideString name = L"T" + rtl::WidenAscii(std::to_string(t)) + L"V" +
                                             rtl::WidenAscii(std::to_string(i));
                // Half through the handle, half through the host helpers.
                if (i % 2 == 0) {
                    EXPECT_EQ(SetDword(key, name.c_str(), static_cast<ULONG>(t * 100 + i)),
                              STATUS_SUCCESS);
                } else {
                    EXPECT_EQ(reg::WriteDword(kKeyPath, name, static_cast<ULONG>(t * 100 + i)),
                              STATUS_SUCCESS);
                }
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    Restart();
    EXPECT_EQ(reg::ValueNames(kKeyPath).size(), static_cast<std::size_t>(kThreads * kValuesEach));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kValuesEach; ++i) {
            const rtl::WideString name = L"T" + rtl::WidenAscii(std::to_string(t)) + L"V" +
                                         rtl::WidenAscii(std::to_string(i));
            EXPECT_EQ(reg::ReadDword(kKeyPath, name), static_cast<std::uint32_t>(t * 100 + i));
        }
    }
}

}  // namespace
