#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "child_process.h"
#include "mask_file.h"
#include "run_program.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using testing::Bytes;
using testing::RunProgram;

class Zel7MaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::BmpBuilder photo = testing::ValidPicture(50, 30, 24);
        photo.pixels = testing::SyntheticPhotoRows(50, 30, Background::NearWhite);
        photo_ = photo.Build();
        testing::WriteWholeFile(folder_ / "photo.bmp", photo_);
    }

    testing::ProgramResult Run(std::vector<std::string> arguments) {
        return RunProgram(ZEL7_MASK_PATH, std::move(arguments));
    }
    std::string At(const std::string& name) { return (folder_ / name).string(); }

    Bytes ExpectedMask(const std::string& source, Background background) {
        std::vector<uint8_t> buffer;
        EXPECT_TRUE(
            MaskBitmapFile(source.c_str(), At("expected.tmp").c_str(), background, buffer).Ok());
        Bytes mask = testing::ReadWholeFile(At("expected.tmp"));
        std::filesystem::remove(At("expected.tmp"));
        return mask;
    }

    testing::ScratchFolder folder_;
    Bytes photo_;
};

TEST_F(Zel7MaskTest, WritesTheMaskAndSaysNothing) {
    for (auto [flag, background] : {std::pair{"--white", Background::NearWhite},
                                    std::pair{"--black", Background::NearBlack}}) {
        auto result = Run({flag, At("photo.bmp"), At("mask.bmp")});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(testing::ReadWholeFile(At("mask.bmp")),
                  ExpectedMask(At("photo.bmp"), background));
    }
}

TEST_F(Zel7MaskTest, UsageErrorsExitWithTwoAndShowTheUsage) {
    const std::vector<std::vector<std::string>> misuses = {
        {},
        {At("photo.bmp"), At("mask.bmp")},
        {"--white", At("photo.bmp")},
        {"--white", At("photo.bmp"), At("a.bmp"), At("b.bmp")},
        {"--white", "--black", At("photo.bmp"), At("mask.bmp")},
        {"--white", "--frobnicate", At("photo.bmp"), At("mask.bmp")},
        {"--white", "--out-dir"},
        {"--white", "--out-dir", At("")},
        {"--white", "--out-dir", folder_.Path().string(), "--jobs", "0", At("photo.bmp")},
        {"--white", "--jobs", "2", At("photo.bmp"), At("mask.bmp")},
    };
    for (const auto& arguments : misuses) {
        auto result = Run(arguments);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(arguments);
        EXPECT_NE(result.err.find("Usage: zel7-mask"), std::string::npos);
    }
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"photo.bmp"});
}

TEST_F(Zel7MaskTest, HelpAndVersionGoToStandardOutput) {
    auto help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: zel7-mask", 0), 0u);
    auto version = Run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "zel7-mask (zel7) " ZEL7_VERSION "\n");
}

TEST_F(Zel7MaskTest, FailuresNameTheFileAndTheReasonAndWriteNothing) {
    Bytes truncated = photo_;
    truncated.resize(truncated.size() - 10);
    testing::WriteWholeFile(At("short.bmp"), truncated);
    testing::WriteWholeFile(At("old.bmp"), {1, 2, 3});

    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"--white", At("short.bmp"), At("old.bmp")},
         "zel7-mask: " + At("short.bmp") + ": truncated pixel data\n"},
        {{"--black", At("missing.bmp"), At("old.bmp")},
         "zel7-mask: " + At("missing.bmp") + ": cannot open file (No such file or directory)\n"},
        {{"--white", folder_.Path().string(), At("old.bmp")},
         "zel7-mask: " + folder_.Path().string() + ": not a regular file\n"},
        {{"--white", At("photo.bmp"), At("nowhere/mask.bmp")},
         "zel7-mask: " + At("nowhere/mask.bmp") +
             ": cannot create file (No such file or directory)\n"},
    };
    for (const Case& c : cases) {
        auto result = Run(c.arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, c.message);
        EXPECT_EQ(testing::ReadWholeFile(At("old.bmp")), (Bytes{1, 2, 3}));
    }
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"old.bmp", "photo.bmp", "short.bmp"}));
}

TEST_F(Zel7MaskTest, OutDirKeepsGoingPastBrokenFiles) {
    std::filesystem::create_directory(At("in"));
    std::filesystem::create_directory(At("out"));
    std::vector<std::string> arguments = {"--white", "--out-dir", At("out"), "--jobs", "2"};
    for (int i = 0; i < 6; ++i) {
        const std::string name = At("in/p" + std::to_string(i) + ".bmp");
        testing::WriteWholeFile(name, i == 3 ? Bytes{'B', 'M', 1, 2} : photo_);
        arguments.push_back(name);
    }
    arguments.push_back(At("photo.bmp"));
    arguments.push_back(At("in/p1.bmp"));  // same name as an earlier source

    auto result = Run(arguments);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "zel7-mask: " + At("in/p1.bmp") + ": another source already writes " +
                              At("out/p1.bmp") + "\n" + "zel7-mask: " + At("in/p3.bmp") +
                              ": truncated header\n");
    const Bytes mask = ExpectedMask(At("photo.bmp"), Background::NearWhite);
    for (const char* name : {"p0.bmp", "p1.bmp", "p2.bmp", "p4.bmp", "p5.bmp", "photo.bmp"}) {
        EXPECT_EQ(testing::ReadWholeFile(At(std::string("out/") + name)), mask) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(At("out/p3.bmp")));
}

TEST_F(Zel7MaskTest, InterruptionLeavesNoTemporaryFiles) {
    namespace fs = std::filesystem;
    fs::create_directory(At("masks"));
    testing::BmpBuilder big = testing::ValidPicture(1, 1, 24);
    big.biWidth = 2000;
    big.biHeight = 1500;
    big.pixels = testing::RandomBytes(std::size_t(6000) * 1500, 4);
    std::vector<std::string> arguments = {ZEL7_MASK_PATH, "--white", "--out-dir", At("masks")};
    for (int i = 0; i < 6; ++i) {
        arguments.push_back(At("big" + std::to_string(i) + ".bmp"));
        testing::WriteWholeFile(arguments.back(), big.Build());
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    // Interrupted at different moments: whatever it was doing, no temporary file stays.
    int interrupted = 0;
    for (int delayMicroseconds : {500, 2000, 5000, 10000, 20000}) {
        const pid_t child = fork();
        if (child == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        usleep(useconds_t(delayMicroseconds));
        kill(child, SIGINT);
        int status = 0;
        waitpid(child, &status, 0);
        interrupted += WIFSIGNALED(status) && WTERMSIG(status) == SIGINT;
        for (const auto& entry : fs::directory_iterator(At("masks"))) {
            EXPECT_EQ(entry.path().filename().string().rfind("big", 0), 0u)
                << "left behind: " << entry.path();
        }
    }
    EXPECT_GT(interrupted, 0) << "every run finished before the signal";
}

TEST_F(Zel7MaskTest, FaultsLoseNothingAndLeaveNoTemporaryFiles) {
    namespace fs = std::filesystem;
    const Bytes old = {'o', 'l', 'd'};
    fs::permissions(folder_.Path(), fs::perms(0755));  // for the unprivileged cases
    fs::create_directory(At("tmp"));
    fs::permissions(At("tmp"), fs::perms(0777));
    mkfifo(At("fifo").c_str(), 0644);
    testing::WriteWholeFile(At("secret.bmp"), photo_);
    fs::permissions(At("secret.bmp"), fs::perms::none);
    fs::create_directory(At("locked"));
    testing::WriteWholeFile(At("locked/dest.bmp"), old);
    fs::permissions(At("locked"), fs::perms(0555));

    enum class Limit { None, FullDisk, Unprivileged };
    struct Case {
        const char* name;
        Limit limit;
        std::string source, dest;
        bool destExists;
        std::string reason;  // what the message says after "zel7-mask: FILE: "
        std::string named;   // the file the message names
    };
    const Case cases[] = {
        {"full_disk_existing_destination", Limit::FullDisk, At("photo.bmp"), At("dest.bmp"), true,
         "cannot write file (File too large)", At("dest.bmp")},
        {"full_disk_new_destination", Limit::FullDisk, At("photo.bmp"), At("dest.bmp"), false,
         "cannot write file (File too large)", At("dest.bmp")},
        {"full_disk_destination_is_source", Limit::FullDisk, At("photo.bmp"), At("photo.bmp"),
         false, "cannot write file (File too large)", At("photo.bmp")},
        {"unwritable_folder", Limit::Unprivileged, At("photo.bmp"), At("locked/dest.bmp"), false,
         "cannot create file (Permission denied)", At("locked/dest.bmp")},
        {"unreadable_source", Limit::Unprivileged, At("secret.bmp"), At("tmp/dest.bmp"), false,
         "cannot open file (Permission denied)", At("secret.bmp")},
        {"source_is_a_fifo", Limit::None, At("fifo"), At("dest.bmp"), true, "not a regular file",
         At("fifo")},
        {"source_is_a_folder", Limit::None, At("tmp"), At("dest.bmp"), true, "not a regular file",
         At("tmp")},
        {"source_is_dev_zero", Limit::None, "/dev/zero", At("dest.bmp"), true, "not a regular file",
         "/dev/zero"},
        {"source_missing", Limit::None, At("gone.bmp"), At("dest.bmp"), true,
         "cannot open file (No such file or directory)", At("gone.bmp")},
    };
    const std::string tmpdir = At("tmp");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.destExists) {
            testing::WriteWholeFile(c.dest, old);
        }
        const std::vector<std::string> before = folder_.Entries();
        const auto result = RunProgram(ZEL7_MASK_PATH, {"--white", c.source, c.dest}, [&] {
            setenv("TMPDIR", tmpdir.c_str(), 1);
            if (c.limit == Limit::FullDisk) {
                testing::LimitFileSize(4096);
            }
            return c.limit != Limit::Unprivileged || testing::DropPrivileges();
        });
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, "zel7-mask: " + c.named + ": " + c.reason + "\n");
        EXPECT_EQ(folder_.Entries(), before) << "a file appeared or vanished";
        EXPECT_TRUE(fs::is_empty(tmpdir));
        EXPECT_EQ(std::distance(fs::directory_iterator(At("locked")), {}), 1);
        EXPECT_EQ(testing::ReadWholeFile(At("photo.bmp")), photo_);
        if (c.destExists) {
            EXPECT_EQ(testing::ReadWholeFile(c.dest), old);
            fs::remove(c.dest);
        }
    }
    EXPECT_EQ(testing::ReadWholeFile(At("locked/dest.bmp")), old);
    fs::permissions(At("locked"), fs::perms(0755));

    // The same source as destination, with room to write: replaced by its mask.
    const Bytes mask = ExpectedMask(At("photo.bmp"), Background::NearWhite);
    auto result = Run({"--white", At("photo.bmp"), At("photo.bmp")});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(testing::ReadWholeFile(At("photo.bmp")), mask);
}

}  // namespace
}  // namespace zel7
