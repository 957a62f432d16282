// Runs camctl command lines in-process against a registry file of the test's own.
#pragma once

#include <gtest/gtest.h>

#include "camctl.h"

#include <ntoskrnl/host/registry.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace camctltest {

struct RunResult {
    int code = -1;
    std::string out;
    std::string err;
};

class CamctlTest : public testing::Test {
protected:
    void SetUp() override
    {
        reg::Reset();
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        directory_ = std::filesystem::temp_directory_path() /
                     ("camctl-e2e-" + std::to_string(getpid()) + "-" + info->test_suite_name() +
                      "-" + info->name());
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
    }

    void TearDown() override
    {
        reg::Reset();
        std::filesystem::remove_all(directory_);
    }

    std::string Path(const std::string& name) const { return (directory_ / name).string(); }
    std::string Registry() const { return Path("registry.reg"); }

    // camctl with --registry set to the test's file.
    RunResult Run(std::vector<std::string> args, camctl::Console console = {})
    {
        args.insert(args.begin(), {"--registry", Registry()});
        return RunRaw(args, console);
    }

    static RunResult RunRaw(const std::vector<std::string>& args, camctl::Console console = {})
    {
        std::ostringstream out;
        std::ostringstream err;
        RunResult result;
        result.code = camctl::RunCamctl(args, out, err, console);
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    std::string RegistryText() const
    {
        std::ifstream file(Registry(), std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::filesystem::path directory_;
};

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace camctltest
