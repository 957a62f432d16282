#include "driver_inf_checks.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

namespace inftest {

namespace {

// Published values: the camera (image) setup class, the kernel-streaming proxy that user mode
// opens the filter's interfaces through, and the platform INFs that register the framework.
constexpr char kImageClass[] = "Image";
constexpr char kImageClassGuid[] = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr char kKsProxyClsid[] = "{17CCA71B-ECD7-11D0-B908-00A0C9223196}";
constexpr const char* kIncludes[] = {"ks.inf", "kscaptur.inf"};
constexpr const char* kNeeds[] = {"KS.Registration", "KSCAPTUR.Registration.NT"};
constexpr char kPlatform[] = "NTx86";
constexpr char kDriversDirectory[] = "12";  // DIRID of %SystemRoot%\system32\drivers

class Checker {
public:
    Checker(const inf::File& file, const DriverInfFacts& facts) : file_(file), facts_(facts) {}

    std::vector<std::string> Run()
    {
        CheckTokens();
        CheckVersion();
        CheckReferencedSections();
        for (const std::string& install : ModelInstallSections()) {
            CheckInstall(install);
        }
        return problems_;
    }

private:
    void Problem(const std::string& what) { problems_.push_back(what); }

    std::string Expand(const std::string& text) { return file_.Expand(text); }

    const inf::Section* Require(const std::string& name, const std::string& why)
    {
        const inf::Section* section = file_.Find(name);
        if (section == nullptr) {
            Problem("missing section [" + name + "] (" + why + ")");
        }
        return section;
    }

    // The single value of `key` in `section`, expanded; empty when absent.
    std::string Value(const inf::Section& section, const std::string& key)
    {
        std::vector<const inf::Line*> entries = section.Entries(key);
        if (entries.empty() || entries.front()->values.empty()) {
            return {};
        }
        return Expand(entries.front()->values.front());
    }

    void ExpectValue(const inf::Section& section, const std::string& key,
                     const std::string& expected)
    {
        std::string value = Value(section, key);
        if (!inf::SameText(value, expected)) {
            Problem("[" + section.name + "] " + key + " is '" + value + "', expected '" + expected +
                    "'");
        }
    }

    void CheckTokens()
    {
        for (const inf::Section& section : file_.Sections()) {
            if (inf::SameText(section.name, "Strings")) {
                continue;
            }
            for (const inf::Line& line : section.lines) {
                std::vector<std::string> texts = line.values;
                texts.push_back(line.key);
                for (const std::string& text : texts) {
                    std::string unknown;
                    file_.Expand(text, &unknown);
                    if (!unknown.empty()) {
                        Problem("no [Strings] entry for %" + unknown + "% (line " +
                                std::to_string(line.number) + ")");
                    }
                }
            }
        }
    }

    void CheckVersion()
    {
        const inf::Section* version = Require("Version", "every INF starts with it");
        if (version == nullptr) {
            return;
        }
        ExpectValue(*version, "Signature", "$Windows NT$");
        ExpectValue(*version, "Class", kImageClass);
        ExpectValue(*version, "ClassGuid", kImageClassGuid);
        if (Value(*version, "Provider").empty()) {
            Problem("[Version] has no Provider");
        }
    }

    // CopyFiles and AddReg anywhere name sections (a CopyFiles value may name one file with '@').
    void CheckReferencedSections()
    {
        for (const inf::Section& section : file_.Sections()) {
            for (const char* directive : {"CopyFiles", "AddReg"}) {
                for (const inf::Line* line : section.Entries(directive)) {
                    for (const std::string& value : line->values) {
                        std::string name = Expand(value);
                        if (!name.empty() && name.front() != '@') {
                            Require(name, std::string(directive) + " in [" + section.name + "]");
                        }
                    }
                }
            }
        }
    }

    // The install sections the models name, after checking the manufacturer and model lines.
    std::vector<std::string> ModelInstallSections()
    {
        std::vector<std::string> installs;
        const inf::Section* manufacturer = Require("Manufacturer", "lists the models");
        if (manufacturer == nullptr) {
            return installs;
        }
        bool anyHardwareId = false;
        for (const inf::Line& line : manufacturer->lines) {
            if (line.values.empty() || line.values[0].empty()) {
                Problem("[Manufacturer] line " + std::to_string(line.number) +
                        " names no models section");
                continue;
            }
            std::string models = Expand(line.values[0]);
            bool decorated = false;
            for (std::size_t i = 1; i < line.values.size(); ++i) {
                decorated = decorated || inf::SameText(line.values[i], kPlatform);
            }
            if (!decorated) {
                Problem("[Manufacturer] " + models + " has no " + kPlatform + " decoration");
                continue;
            }
            const inf::Section* section =
                Require(models + "." + kPlatform, "models of [Manufacturer]");
            if (section == nullptr) {
                continue;
            }
            for (const inf::Line& model : section->lines) {
                if (model.values.size() < 2) {
                    Problem("[" + section->name + "] line " + std::to_string(model.number) +
                            " needs an install section and a hardware id");
                    continue;
                }
                installs.push_back(Expand(model.values[0]));
                std::string id = Expand(model.values[1]);
                anyHardwareId = true;
                if (!inf::SameText(id, facts_.hardwareId)) {
                    Problem("hardware id " + id + " is not the camera's " + facts_.hardwareId);
                }
            }
        }
        if (!anyHardwareId) {
            Problem("no model names a hardware id");
        }
        return installs;
    }

    void CheckInstall(const std::string& install)
    {
        const std::string decorated = install + "." + kPlatform;
        const inf::Section* section = Require(decorated, "install section of the models");
        if (section != nullptr) {
            CheckListContains(*section, "Include", kIncludes);
            CheckListContains(*section, "Needs", kNeeds);
            CheckCopyFiles(*section);
        }
        if (const inf::Section* services =
                Require(decorated + ".Services", "service of " + install)) {
            CheckServices(*services);
        }
        if (const inf::Section* interfaces =
                Require(decorated + ".Interfaces", "device interfaces of " + install)) {
            CheckInterfaces(*interfaces);
        }
    }

    template <std::size_t N>
    void CheckListContains(const inf::Section& section, const std::string& key,
                           const char* const (&required)[N])
    {
        std::vector<std::string> listed;
        for (const inf::Line* line : section.Entries(key)) {
            for (const std::string& value : line->values) {
                listed.push_back(Expand(value));
            }
        }
        for (const char* name : required) {
            bool found = std::any_of(listed.begin(), listed.end(),
                                     [&](const std::string& v) { return inf::SameText(v, name); });
            if (!found) {
                Problem("[" + section.name + "] " + key + " lacks " + name);
            }
        }
    }

    void CheckCopyFiles(const inf::Section& install)
    {
        std::vector<std::string> files;
        for (const inf::Line* line : install.Entries("CopyFiles")) {
            for (const std::string& value : line->values) {
                std::string name = Expand(value);
                if (!name.empty() && name.front() == '@') {
                    files.push_back(name.substr(1));
                    continue;
                }
                const inf::Section* list = file_.Find(name);
                if (list == nullptr) {
                    continue;  // reported with the referenced sections
                }
                CheckDestination(name);
                for (const inf::Line& entry : list->lines) {
                    if (!entry.values.empty()) {
                        files.push_back(Expand(entry.key.empty() ? entry.values[0] : entry.key));
                    }
                }
            }
        }
        if (std::none_of(files.begin(), files.end(), [&](const std::string& f) {
                return inf::SameText(f, facts_.sysFileName);
            })) {
            Problem("[" + install.name + "] copies no " + facts_.sysFileName);
        }
        for (const std::string& copied : files) {
            CheckSourceDisk(copied);
        }
    }

    void CheckDestination(const std::string& copyFilesSection)
    {
        const inf::Section* destinations = Require("DestinationDirs", "where files go");
        if (destinations == nullptr) {
            return;
        }
        std::string directory = Value(*destinations, copyFilesSection);
        if (directory.empty()) {
            directory = Value(*destinations, "DefaultDestDir");
        }
        if (directory != kDriversDirectory) {
            Problem("[" + copyFilesSection + "] goes to directory '" + directory + "', expected " +
                    kDriversDirectory);
        }
    }

    void CheckSourceDisk(const std::string& copied)
    {
        const inf::Section* files = Require("SourceDisksFiles", "where " + copied + " comes from");
        const inf::Section* disks = Require("SourceDisksNames", "the disks of the files");
        if (files == nullptr || disks == nullptr) {
            return;
        }
        std::string disk = Value(*files, copied);
        if (disk.empty()) {
            Problem("[SourceDisksFiles] does not list " + copied);
        } else if (disks->Entries(disk).empty()) {
            Problem("[SourceDisksNames] has no disk " + disk + " for " + copied);
        }
    }

    void CheckServices(const inf::Section& services)
    {
        std::vector<const inf::Line*> adds = services.Entries("AddService");
        if (adds.empty()) {
            Problem("[" + services.name + "] adds no service");
            return;
        }
        for (const inf::Line* add : adds) {
            if (add->values.size() < 3) {
                Problem("[" + services.name + "] AddService needs a name, flags and a section");
                continue;
            }
            std::string flags = Expand(add->values[1]);
            char* end = nullptr;
            if (flags.empty() || std::strtoul(flags.c_str(), &end, 0) != 2 || *end != '\0') {
                Problem("[" + services.name +
                        "] AddService flags are not 0x00000002 (the "
                        "device's function driver)");
            }
            const inf::Section* service =
                Require(Expand(add->values[2]), "AddService in [" + services.name + "]");
            if (service == nullptr) {
                continue;
            }
            ExpectValue(*service, "ServiceType", "1");
            ExpectValue(*service, "StartType", "3");
            ExpectValue(*service, "ErrorControl", "1");
            // %12% is the drivers directory, the one the files are copied to.
            ExpectValue(*service, "ServiceBinary", "%12%\\" + facts_.sysFileName);
        }
    }

    void CheckInterfaces(const inf::Section& interfaces)
    {
        std::set<std::string> registered;
        for (const inf::Line* add : interfaces.Entries("AddInterface")) {
            if (add->values.size() < 3) {
                Problem("[" + interfaces.name + "] line " + std::to_string(add->number) +
                        " needs a category, a reference string and a section");
                continue;
            }
            std::string category = Expand(add->values[0]);
            std::string reference = Expand(add->values[1]);
            bool known =
                std::any_of(facts_.categories.begin(), facts_.categories.end(),
                            [&](const std::string& c) { return inf::SameText(c, category); });
            if (!known) {
                Problem("interface category " + category + " is not one the filter registers");
            } else {
                std::string upper;
                for (char c : category) {
                    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                }
                registered.insert(upper);
            }
            if (!inf::SameText(reference, facts_.referenceString)) {
                Problem("interface reference string '" + reference + "' is not the filter's '" +
                        facts_.referenceString + "'");
            }
            if (const inf::Section* section =
                    Require(Expand(add->values[2]), "AddInterface in [" + interfaces.name + "]")) {
                CheckInterfaceRegistry(*section);
            }
        }
        if (registered.size() != facts_.categories.size()) {
            Problem("[" + interfaces.name + "] registers " + std::to_string(registered.size()) +
                    " of the filter's " + std::to_string(facts_.categories.size()) + " categories");
        }
    }

    // HKR,,CLSID,,<the proxy> and HKR,,FriendlyName,,<a name> in the interface's AddReg.
    void CheckInterfaceRegistry(const inf::Section& interfaceSection)
    {
        std::string clsid;
        std::string friendlyName;
        for (const inf::Line* addReg : interfaceSection.Entries("AddReg")) {
            for (const std::string& name : addReg->values) {
                const inf::Section* section = file_.Find(Expand(name));
                if (section == nullptr) {
                    continue;  // reported with the referenced sections
                }
                for (const inf::Line& line : section->lines) {
                    if (line.values.size() < 5 || !inf::SameText(line.values[0], "HKR")) {
                        continue;
                    }
                    if (inf::SameText(line.values[2], "CLSID")) {
                        clsid = Expand(line.values[4]);
                    } else if (inf::SameText(line.values[2], "FriendlyName")) {
                        friendlyName = Expand(line.values[4]);
                    }
                }
            }
        }
        if (!inf::SameText(clsid, kKsProxyClsid)) {
            Problem("[" + interfaceSection.name + "] sets CLSID '" + clsid + "', not the proxy " +
                    kKsProxyClsid);
        }
        if (friendlyName.empty()) {
            Problem("[" + interfaceSection.name + "] sets no FriendlyName");
        }
    }

    const inf::File& file_;
    const DriverInfFacts& facts_;
    std::vector<std::string> problems_;
};

}  // namespace

std::vector<std::string> CheckDriverInf(const inf::File& file, const DriverInfFacts& facts)
{
    return Checker(file, facts).Run();
}

}  // namespace inftest
