// The registry file reader: any bytes as a `.reg` file. A file the reader accepts must come back
// unchanged through the writer and the reader again (what the registry stand-in does on every
// save and load), and a refused one must name a line of the file.
#include "config/reg_text.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "reg text reader: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    cm::Hive hive;
    cm::ReadError error;
    if (!cm::ReadRegText(text, hive, error)) {
        Check(error.line >= 1, "a refused file names a line");
        Check(!error.what.empty(), "a refused file says why");
        return 0;
    }
    std::string written = cm::WriteRegText(hive);
    cm::Hive again;
    cm::ReadError againError;
    Check(cm::ReadRegText(written, again, againError), "the writer's output reads back");
    Check(cm::WriteRegText(again) == written, "the hive survives a write and a read");
    return 0;
}
