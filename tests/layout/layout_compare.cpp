// Compares the two value lists the layout probe emits: the one built against the toolchain's
// published headers and the one built against platform/include. Every item is a line
// "#LAYOUT <low> <high> <name>" of the probe's assembler output. Prints each item whose values
// differ or that only one side has, and the number compared; fails on any difference, and when
// either list is empty (a probe that emitted nothing proves nothing).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

using ValueList = std::map<std::string, uint64_t>;

bool ReadValues(const char* path, ValueList& values)
{
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return false;
    }
    const std::string marker = "#LAYOUT ";
    std::string line;
    while (std::getline(file, line)) {
        const auto at = line.find(marker);
        if (at == std::string::npos) {
            continue;
        }
        std::istringstream fields(line.substr(at + marker.size()));
        long long low = 0;
        long long high = 0;
        std::string name;
        if (!(fields >> low >> high) || !std::getline(fields >> std::ws, name) || name.empty()) {
            std::fprintf(stderr, "%s: unreadable item line: %s\n", path, line.c_str());
            return false;
        }
        // The assembler prints the two 32-bit halves signed; take them modulo 2^32.
        const uint64_t value = (static_cast<uint64_t>(high) & 0xFFFFFFFFu) << 32 |
                               (static_cast<uint64_t>(low) & 0xFFFFFFFFu);
        if (!values.emplace(name, value).second) {
            std::fprintf(stderr, "%s: item listed twice: %s\n", path, name.c_str());
            return false;
        }
    }
    if (values.empty()) {
        std::fprintf(stderr, "%s: no items\n", path);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <published values (.s)> <platform values (.s)>\n", argv[0]);
        return 2;
    }
    ValueList published;
    ValueList ours;
    if (!ReadValues(argv[1], published) || !ReadValues(argv[2], ours)) {
        return 2;
    }
    unsigned differences = 0;
    for (const auto& [name, value] : published) {
        const auto found = ours.find(name);
        if (found == ours.end()) {
            std::printf("MISSING %s: published %#llx, not in platform/include's list\n",
                        name.c_str(), static_cast<unsigned long long>(value));
            ++differences;
        } else if (found->second != value) {
            std::printf("DIFFERS %s: platform/include %#llx, published %#llx\n", name.c_str(),
                        static_cast<unsigned long long>(found->second),
                        static_cast<unsigned long long>(value));
            ++differences;
        }
    }
    for (const auto& [name, value] : ours) {
        if (published.find(name) == published.end()) {
            std::printf("EXTRA %s: platform/include %#llx, not in the published list\n",
                        name.c_str(), static_cast<unsigned long long>(value));
            ++differences;
        }
    }
    std::printf("%zu items compared, %u differences\n", published.size(), differences);
    return differences == 0 ? 0 : 1;
}
