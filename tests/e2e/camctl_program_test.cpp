// camctl run as a program, the way users run it: separate processes sharing one registry file.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// A prefix that runs the program, such as an emulator for another architecture; empty by default.
#ifndef CAMCTL_LAUNCHER
#define CAMCTL_LAUNCHER ""
#endif

namespace {

struct ProgramRun {
    int exitCode = -1;
    std::string output;
};

class CamctlProgram : public testing::Test {
protected:
    void SetUp() override
    {
        directory_ = std::filesystem::temp_directory_path() /
                     ("camctl-program-" + std::to_string(::getpid()) + "-" +
                      testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
    }

    void TearDown() override { std::filesystem::remove_all(directory_); }

    // Runs camctl with the test's registry file; stdout is returned, stderr discarded.
    ProgramRun Camctl(const std::string& arguments) const
    {
        std::string command = "cd '" + directory_.string() +
                              "' && " CAMCTL_LAUNCHER "'" CAMCTL_PROGRAM "' --registry reg.reg " +
                              arguments + " 2>/dev/null";
        ProgramRun run;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return run;
        }
        std::array<char, 4096> chunk{};
        std::size_t n;
        while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
            run.output.append(chunk.data(), n);
        }
        int status = ::pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    std::filesystem::path directory_;
};

TEST_F(CamctlProgram, PropsJsonListsAllSeventyItems)
{
    ProgramRun run = Camctl("props --json");
    ASSERT_EQ(run.exitCode, 0);
    std::size_t items = 0;
    for (std::size_t at = run.output.find("\"id\":"); at != std::string::npos;
         at = run.output.find("\"id\":", at + 1)) {
        ++items;
    }
    EXPECT_EQ(items, 70u);
    EXPECT_EQ(run.output.front(), '[');
}

TEST_F(CamctlProgram, ASettingPersistsIntoTheNextProcess)
{
    ASSERT_EQ(Camctl("set Contrast=13 Hue=400").exitCode, 0);
    ProgramRun run = Camctl("get Contrast Hue");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("Contrast: 13"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Hue: 359"), std::string::npos) << run.output;
}

TEST_F(CamctlProgram, StreamWritesExactlyTheFramesAskedFor)
{
    ProgramRun run = Camctl("stream -n 3");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output.size(), 3u * 752u * 480u * 4u);
}

TEST_F(CamctlProgram, CaptureWritesPngFiles)
{
    ASSERT_EQ(Camctl("capture -n 2 -o shot").exitCode, 0);
    EXPECT_TRUE(std::filesystem::exists(directory_ / "shot-0000.png"));
    EXPECT_TRUE(std::filesystem::exists(directory_ / "shot-0001.png"));
}

TEST_F(CamctlProgram, ErrorsGiveNonZeroExitCodes)
{
    EXPECT_NE(Camctl("get NoSuchProperty").exitCode, 0);
    EXPECT_NE(Camctl("set Exposure=lots").exitCode, 0);
    EXPECT_NE(Camctl("frobnicate").exitCode, 0);

    // An empty output prefix would put "-0000.png" into the working directory.
    EXPECT_EQ(Camctl("capture -o ''").exitCode, 2);
    EXPECT_FALSE(std::filesystem::exists(directory_ / "-0000.png"));
}

}  // namespace
