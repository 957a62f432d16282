// camctl: the camera's command-line client.
#include "camctl.h"

#include <csignal>
#include <iostream>
#include <unistd.h>

namespace {

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int)
{
    interrupted.store(true);
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader that goes away (`camctl stream | head -c ...`) ends a stream through a failed
    // write, so that the cameras still stop and save their settings.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    camctl::Console console;
    console.progressBar = isatty(STDERR_FILENO) != 0;
    console.interrupted = &interrupted;

    std::vector<std::string> args(argv + 1, argv + argc);
    return camctl::RunCamctl(args, std::cout, std::cerr, console);
}
