// The driver's INF, read with the small INF reader and held against what the system itself
// says: the simulated camera's device descriptor, the categories and reference string the
// driver's filter factory registers, and the driver file name the build produces.
#include "camera_fixture.h"
#include "device/descriptor_tables.h"
#include "driver_inf_checks.h"
#include "inf_file.h"
#include <ntoskrnl/rtl/wide_string.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>

namespace {

using inftest::DriverInfFacts;

std::string ReadInfText()
{
    std::ifstream in(USBCAM_INF_FILE, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string Upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The text with the first `from` replaced; unchanged when `from` does not occur.
std::string ReplaceFirst(std::string text, const std::string& from, const std::string& to)
{
    std::size_t at = text.find(from);
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

inf::File ParseOrFail(const std::string& text)
{
    inf::File file;
    std::string error;
    EXPECT_TRUE(inf::File::Parse(text, file, error)) << error;
    return file;
}

class DriverInf : public cameratest::CameraTest {
protected:
    // What the INF has to agree with, each taken from its owner: the USB ids from the camera's
    // device descriptor, the categories from the driver's filter descriptor, the reference
    // string from the interfaces the driver's started device registered under them.
    DriverInfFacts Facts()
    {
        DriverInfFacts facts;
        cameratest::PluggedCamera& plugged = Plug();
        EXPECT_NE(plugged.Device(), nullptr);
        std::vector<std::uint8_t> descriptor = plugged.camera->DeviceDescriptor();
        EXPECT_GE(descriptor.size(), 12u);
        if (descriptor.size() >= 12) {
            char id[32];
            std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X",
                          descriptor[8] | (descriptor[9] << 8),
                          descriptor[10] | (descriptor[11] << 8));
            facts.hardwareId = id;
        }
        facts.sysFileName = USBCAM_SYS_FILE_NAME;
        for (const GUID& category : FilterCategories) {
            facts.categories.push_back(GuidText(category));
            std::vector<rtl::WideString> links = KsEnumerateFilters(category);
            EXPECT_EQ(links.size(), 1u) << GuidText(category);
            if (!links.empty()) {
                // ...\{category}\<reference string>
                std::string reference =
                    rtl::ToUtf8(links.front().substr(links.front().rfind(L'\\') + 1)).value_or("");
                EXPECT_TRUE(facts.referenceString.empty() ||
                            inf::SameText(facts.referenceString, reference));
                facts.referenceString = reference;
            }
        }
        UnplugAll();
        return facts;
    }
};

TEST_F(DriverInf, InstallsTheDriverForTheSimulatedCamera)
{
    inf::File file = ParseOrFail(ReadInfText());
    ASSERT_FALSE(file.Sections().empty()) << USBCAM_INF_FILE;
    std::vector<std::string> problems = inftest::CheckDriverInf(file, Facts());
    EXPECT_TRUE(problems.empty()) << testing::PrintToString(problems);
}

// Bound as the INF binds it (its hardware id, its service name), the driver loads for the
// camera and starts it.
TEST_F(DriverInf, ItsHardwareIdAndServiceBindTheDriverToTheCamera)
{
    inf::File file = ParseOrFail(ReadInfText());
    std::vector<rtl::WideString> ids;
    const inf::Section* models = file.Find("UsbCam.Models.NTx86");
    ASSERT_NE(models, nullptr);
    for (const inf::Line& model : models->lines) {
        ASSERT_GE(model.values.size(), 2u);
        ids.push_back(rtl::WidenAscii(file.Expand(model.values[1])));
    }
    const inf::Section* services = file.Find("UsbCam.Install.NTx86.Services");
    ASSERT_NE(services, nullptr);
    std::vector<const inf::Line*> adds = services->Entries("AddService");
    ASSERT_EQ(adds.size(), 1u);
    rtl::WideString service = rtl::WidenAscii(file.Expand(adds.front()->values.at(0)));

    pnp::ClearDriverBindings();
    pnp::RegisterDriver(service, DriverEntry, ids);
    cameratest::PluggedCamera& plugged = Plug();
    EXPECT_NE(plugged.Device(), nullptr);
    EXPECT_TRUE(pnp::IsDriverLoaded(service));
}

// --- Each check can fail: the INF altered in one place ------------------------------------------

struct AlteredInf {
    const char* name;
    std::function<std::string(const std::string& text, const DriverInfFacts& facts)> alter;
    const char* problem;  // part of the expected report
};

class DriverInfAltered : public DriverInf, public testing::WithParamInterface<AlteredInf> {};

TEST_P(DriverInfAltered, IsReported)
{
    const std::string original = ReadInfText();
    DriverInfFacts facts = Facts();
    std::string altered = GetParam().alter(original, facts);
    ASSERT_NE(altered, original) << "the alteration did not apply";
    std::vector<std::string> problems = inftest::CheckDriverInf(ParseOrFail(altered), facts);
    bool found = false;
    for (const std::string& problem : problems) {
        found = found || problem.find(GetParam().problem) != std::string::npos;
    }
    EXPECT_TRUE(found) << "expected '" << GetParam().problem
                       << "' in: " << testing::PrintToString(problems);
}

std::function<std::string(const std::string&, const DriverInfFacts&)> Replace(std::string from,
                                                                              std::string to)
{
    return [from, to](const std::string& text, const DriverInfFacts&) {
        return ReplaceFirst(text, from, to);
    };
}

const AlteredInf kAlteredInfs[] = {
    {"MissingCopyFilesSection", Replace("[UsbCam.CopyFiles]", "[UsbCam.DriverFiles]"),
     "missing section [UsbCam.CopyFiles]"},
    {"MissingServicesSection",
     Replace("[UsbCam.Install.NTx86.Services]", "[UsbCam.Install.Services]"),
     "missing section [UsbCam.Install.NTx86.Services]"},
    {"MissingInterfaceRegistrySection",
     Replace("[UsbCam.Interface.AddReg]", "[UsbCam.Interface.Registry]"),
     "missing section [UsbCam.Interface.AddReg]"},
    {"UndecoratedModels", Replace("UsbCam.Models, NTx86", "UsbCam.Models"),
     "has no NTx86 decoration"},
    {"UnknownStringToken", Replace("%UsbCam.DeviceDesc% =", "%UsbCam.DeviceName% ="),
     "no [Strings] entry for %UsbCam.DeviceName%"},
    {"OtherHardwareId",
     [](const std::string& text, const DriverInfFacts& facts) {
         std::string other = facts.hardwareId;
         other.back() = other.back() == '0' ? '1' : '0';
         return ReplaceFirst(text, facts.hardwareId, other);
     },
     "is not the camera's"},
    {"OtherServiceBinary",
     [](const std::string& text, const DriverInfFacts& facts) {
         return ReplaceFirst(text, "%12%\\" + facts.sysFileName, "%12%\\other.sys");
     },
     "ServiceBinary is '%12%\\other.sys'"},
    {"OtherStartType",
     [](const std::string& text, const DriverInfFacts&) {
         return std::regex_replace(text, std::regex("StartType *= *3"), "StartType = 2");
     },
     "StartType is '2'"},
    {"OtherCategory",
     [](const std::string& text, const DriverInfFacts& facts) {
         return ReplaceFirst(text, facts.categories.back(),
                             "{00000000-0000-0000-0000-000000000000}");
     },
     "is not one the filter registers"},
    {"OtherReferenceString",
     [](const std::string& text, const DriverInfFacts& facts) {
         // The [Strings] value, not the mention in the opening comment.
         return std::regex_replace(text, std::regex("= *\"" + Upper(facts.referenceString) + "\""),
                                   "= \"LOCAL\"");
     },
     "reference string 'LOCAL'"},
    {"ProxyClsidMissing", Replace("HKR,,CLSID,,", "HKR,,ProxyClass,,"), "sets CLSID ''"},
    {"CaptureRegistrationMissing",
     Replace("KS.Registration, KSCAPTUR.Registration.NT", "KS.Registration"),
     "Needs lacks KSCAPTUR.Registration.NT"},
};

INSTANTIATE_TEST_SUITE_P(Rows, DriverInfAltered, testing::ValuesIn(kAlteredInfs),
                         [](const testing::TestParamInfo<AlteredInf>& row) {
                             return std::string(row.param.name);
                         });

// --- The reader -----------------------------------------------------------------------------

TEST(InfFile, ReadsContinuedQuotedAndCommentedLines)
{
    const char* text = "; a comment before the first section\n"
                       "[Main]\n"
                       "Key = \"x, y ; z\", second   ; a comment\n"
                       "Joined = one, \\\n"
                       "    two\n"
                       "\"Quoted \"\"name\"\"\" = %Token%\\file.sys\n"
                       "[main]\n"
                       "value, only\n"
                       "[Strings]\n"
                       "Token = \"expanded\"\n";
    inf::File file = ParseOrFail(text);
    const inf::Section* main = file.Find("MAIN");
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(main->lines.size(), 4u);
    EXPECT_EQ(main->lines[0].key, "Key");
    EXPECT_EQ(main->lines[0].values, (std::vector<std::string>{"x, y ; z", "second"}));
    EXPECT_EQ(main->lines[1].number, 4);
    EXPECT_EQ(main->lines[1].values, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(main->lines[2].key, "Quoted \"name\"");
    EXPECT_EQ(file.Expand(main->lines[2].values[0]), "expanded\\file.sys");
    EXPECT_EQ(main->lines[3].key, "");
    EXPECT_EQ(main->lines[3].values, (std::vector<std::string>{"value", "only"}));
    std::string unknown;
    EXPECT_EQ(file.Expand("%12%\\%Missing%", &unknown), "%12%\\%Missing%");
    EXPECT_EQ(unknown, "Missing");
}

struct MalformedInf {
    const char* name;
    const char* text;
    const char* error;
};

class InfFileMalformed : public testing::TestWithParam<MalformedInf> {};

TEST_P(InfFileMalformed, IsRefusedWithTheLine)
{
    inf::File file;
    std::string error;
    EXPECT_FALSE(inf::File::Parse(GetParam().text, file, error));
    EXPECT_EQ(error, GetParam().error);
}

const MalformedInf kMalformedInfs[] = {
    {"UnclosedHeader", "[Version\nClass = Image\n", "line 1: section header without ']'"},
    {"TextAfterHeader", "[Version] Class\n", "line 1: text after the section header"},
    {"EmptyHeader", "\n[ ]\n", "line 2: section header without a name"},
    {"EntryBeforeHeader", "; comment\nClass = Image\n[Version]\n",
     "line 2: entry before the first section header"},
    {"UnclosedQuote", "[Strings]\nName = \"camera\n",
     "line 2: quoted string without its closing quote"},
    {"KeylessEquals", "[Version]\n = Image\n", "line 2: '=' without a key"},
    {"UnclosedToken", "[Version]\nProvider = %Name\n", "line 2: '%' without its closing '%'"},
    {"ContinuationAtTheEnd", "[Version]\nClass = \\\n",
     "line 2: line continuation at the end of the file"},
};

INSTANTIATE_TEST_SUITE_P(Rows, InfFileMalformed, testing::ValuesIn(kMalformedInfs),
                         [](const testing::TestParamInfo<MalformedInf>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
