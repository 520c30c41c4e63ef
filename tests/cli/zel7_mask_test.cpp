#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zel7
