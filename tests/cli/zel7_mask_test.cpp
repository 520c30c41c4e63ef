#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_process.h"
#include "encode_jpeg.h"
#include "encode_png.h"
#include "reference_mask.h"
#include "run_program.h"

namespace zel7 {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::RunProgram;
using Strings = std::vector<std::string>;

class Zel7MaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::BmpBuilder photo = testing::ValidPicture(50, 30, 24);
        photo.pixels = testing::SyntheticPhotoRows(50, 30, Background::NearWhite);
        photo_ = photo.Build();
        testing::WriteWholeFile(At("photo.bmp"), photo_);
        fs::permissions(folder_.Path(), fs::perms(0755));  // for the unprivileged cases
    }

    testing::ProgramResult Run(Strings arguments, const std::function<bool()>& beforeExec = {}) {
        return RunProgram(ZEL7_MASK_PATH, std::move(arguments), beforeExec);
    }
    std::string At(const std::string& name) const { return (folder_ / name).string(); }
    Bytes Mask(Background background = Background::NearWhite) const {
        return testing::ReferenceMask(photo_, background);
    }
    testing::ScratchFolder folder_;
    Bytes photo_;
};

TEST_F(Zel7MaskTest, OptionsParseAsGetoptLongDoes) {
    fs::create_directory(At("out"));
    fs::create_directory(At("=out"));
    testing::WriteWholeFile(At("-x.bmp"), photo_);
    fs::create_directory(At("folder"));
    struct Case {
        Strings arguments;  // run in the scratch folder
        std::string written;
        Background background = Background::NearWhite;
    };
    const Case cases[] = {
        {{"--white", "--out-dir", "out", "photo.bmp"}, "out/photo.bmp"},
        {{"--white", "--out-dir=out", "photo.bmp"}, "out/photo.bmp"},
        {{"-w", "-o", "out", "photo.bmp"}, "out/photo.bmp"},
        {{"-woout", "-j2", "photo.bmp"}, "out/photo.bmp"},
        {{"photo.bmp", "--jobs", "1", "-o", "out", "--white"}, "out/photo.bmp"},
        {{"--white", "--suffix=-mask", "photo.bmp"}, "photo-mask.bmp"},
        {{"--white", "-s", ".m", "-o", "out", "photo.bmp"}, "out/photo.m.bmp"},
        {{"--white", "--", "-x.bmp", "-y.bmp"}, "-y.bmp"},
        {{"--white", "-o=out", "photo.bmp"}, "=out/photo.bmp"},  // as getopt: the value is "=out"
        {{"--black", "photo.bmp", "mask"}, "mask", Background::NearBlack},
        {{"-b", "photo.bmp", "folder"}, "folder/photo.bmp", Background::NearBlack},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const auto result = Run(c.arguments, [&] { return chdir(folder_.Path().c_str()) == 0; });
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(testing::ReadWholeFile(folder_ / c.written), Mask(c.background));
    }
}

TEST_F(Zel7MaskTest, UsageErrorsExitWithTwoAndWriteNothing) {
    const std::vector<Strings> misuses = {
        {},
        {At("photo.bmp"), At("mask.bmp")},
        {"--white", At("photo.bmp")},
        {"--white", At("photo.bmp"), At("a.bmp"), At("b.bmp")},
        {"--white", "--black", At("photo.bmp"), At("mask.bmp")},
        {"--white", "--frobnicate", At("photo.bmp"), At("mask.bmp")},
        {"--white", "--out-dir"},
        {"--white", "--out-dir", ""},
        {"--white", "-o", folder_.Path().string(), "--jobs", "0", At("photo.bmp")},
        {"--white", "-o", folder_.Path().string(), "-j", "257", At("photo.bmp")},
        {"--white", "-o", folder_.Path().string()},
    };
    for (const Strings& arguments : misuses) {
        auto result = Run(arguments);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(arguments);
        EXPECT_NE(result.err.find("Usage: zel7-mask"), std::string::npos);
    }
    EXPECT_EQ(folder_.Entries(), Strings{"photo.bmp"});
}

TEST_F(Zel7MaskTest, HelpAndVersionReportFailingOutput) {
    EXPECT_EQ(Run({"--help"}).out.rfind("Usage: zel7-mask", 0), 0u);
    EXPECT_EQ(Run({"--version"}).out, "zel7-mask (zel7) " ZEL7_VERSION "\n");
    for (const char* option : {"--help", "--version"}) {
        const auto full = Run({option}, [] {
            const int fd = open("/dev/full", O_WRONLY);
            return fd >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
        });
        EXPECT_EQ(full.exitCode, 1) << option;
        EXPECT_EQ(full.err, "zel7-mask: write error: No space left on device\n");
    }
}

TEST_F(Zel7MaskTest, FaultsLoseNothingAndLeaveNoTemporaryFiles) {
    const Bytes old = {'o', 'l', 'd'};
    fs::create_directory(At("tmp"));
    fs::permissions(At("tmp"), fs::perms(0777));
    mkfifo(At("fifo").c_str(), 0666);
    testing::WriteWholeFile(At("read-only.bmp"), old);
    fs::permissions(At("read-only.bmp"), fs::perms(0444));
    fs::create_directory(At("locked"));
    testing::WriteWholeFile(At("locked/dest.bmp"), old);
    fs::permissions(At("locked"), fs::perms(0555));
    Bytes truncated = photo_;
    truncated.resize(truncated.size() - 10);
    testing::WriteWholeFile(At("short.bmp"), truncated);

    enum class Limit { None, FullDisk, Unprivileged };
    struct Case {
        const char* name;
        Limit limit;
        std::string source, dest;
        bool destExists;
        std::string named, reason;  // "zel7-mask: NAMED: REASON"
    };
    const Case cases[] = {
        {"full_disk_existing", Limit::FullDisk, At("photo.bmp"), At("dest.bmp"), true,
         At("dest.bmp"), "cannot write file (File too large)"},
        {"full_disk_over_source", Limit::FullDisk, At("photo.bmp"), At("photo.bmp"), false,
         At("photo.bmp"), "cannot write file (File too large)"},
        {"unwritable_folder", Limit::Unprivileged, At("photo.bmp"), At("locked/new.bmp"), false,
         At("locked/new.bmp"), "cannot create file (Permission denied)"},
        {"read_only_destination", Limit::Unprivileged, At("photo.bmp"), At("read-only.bmp"), false,
         At("read-only.bmp"), "not writable; left as it is (Permission denied)"},
        {"destination_is_a_fifo", Limit::None, At("photo.bmp"), At("fifo"), false, At("fifo"),
         "not a regular file; left as it is"},
        {"source_is_a_fifo", Limit::None, At("fifo"), At("dest.bmp"), true, At("fifo"),
         "not a regular file"},
        {"source_truncated", Limit::None, At("short.bmp"), At("dest.bmp"), true, At("short.bmp"),
         "truncated pixel data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.destExists) {
            testing::WriteWholeFile(c.dest, old);
        }
        const Strings before = folder_.Entries();
        const auto result = Run({"--white", c.source, c.dest}, [&] {
            setenv("TMPDIR", At("tmp").c_str(), 1);
            if (c.limit == Limit::FullDisk) {
                testing::LimitFileSize(4096);  // and SIGXFSZ at its default: fatal
            }
            return c.limit != Limit::Unprivileged || testing::DropPrivileges();
        });
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, "zel7-mask: " + c.named + ": " + c.reason + "\n");
        EXPECT_EQ(folder_.Entries(), before) << "a file appeared or vanished";
        EXPECT_TRUE(fs::is_empty(At("tmp")));
        EXPECT_EQ(testing::ReadWholeFile(At("photo.bmp")), photo_);
        if (c.destExists) {
            EXPECT_EQ(testing::ReadWholeFile(c.dest), old);
            fs::remove(c.dest);
        }
    }
    EXPECT_TRUE(fs::is_fifo(At("fifo")));
    EXPECT_EQ(testing::ReadWholeFile(At("read-only.bmp")), old);
    EXPECT_EQ(testing::ReadWholeFile(At("locked/dest.bmp")), old);
    fs::permissions(At("locked"), fs::perms(0755));

    // The source typed as the one destination, with room to write: replaced.
    EXPECT_EQ(Run({"--white", At("photo.bmp"), At("photo.bmp")}).exitCode, 0);
    EXPECT_EQ(testing::ReadWholeFile(At("photo.bmp")), Mask());
}

TEST_F(Zel7MaskTest, BatchesReportEachFailureAndNeverReplaceTheirOwnPictures) {
    fs::create_directory(At("out"));
    Strings arguments = {"--white", "--out-dir", At("out"), "--jobs", "2"};
    for (int i = 0; i < 4; ++i) {
        arguments.push_back(At("p" + std::to_string(i) + ".bmp"));
        testing::WriteWholeFile(arguments.back(), i == 3 ? Bytes{'B', 'M', 1, 2} : photo_);
    }
    fs::create_hard_link(At("p0.bmp"), At("out/linked.bmp"));
    arguments.push_back(At("out/linked.bmp"));  // its mask would be itself
    arguments.push_back(At("p1.bmp"));          // written already by the first p1.bmp
    auto result = Run(arguments);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "zel7-mask: " + At("out/linked.bmp") + ": its mask " + At("out/linked.bmp") +
                  " would replace a picture being masked; choose another --out-dir or a "
                  "--suffix\nzel7-mask: " +
                  At("p1.bmp") + ": another source already writes " + At("out/p1.bmp") +
                  "\nzel7-mask: " + At("p3.bmp") + ": truncated header\n");
    for (const char* name : {"p0.bmp", "p1.bmp", "p2.bmp"}) {
        EXPECT_EQ(testing::ReadWholeFile(At(std::string("out/") + name)), Mask()) << name;
    }
    EXPECT_EQ(testing::ReadWholeFile(At("p0.bmp")), photo_);
    EXPECT_FALSE(fs::exists(At("out/p3.bmp")));

    // Masks into the pictures' own folder: refused unless a suffix names them apart.
    auto here = Run({"--white", "-o", folder_.Path().string(), At("p0.bmp"), At("p1.bmp")});
    EXPECT_EQ(here.exitCode, 1);
    EXPECT_EQ(testing::ReadWholeFile(At("p0.bmp")), photo_);
    EXPECT_EQ(Run({"--white", "--suffix", "-mask", At("p0.bmp")}).exitCode, 0);
    EXPECT_EQ(testing::ReadWholeFile(At("p0-mask.bmp")), Mask());
}

TEST_F(Zel7MaskTest, AnUnusableOutputFolderIsReportedOnceBeforeAnyWork) {
    fs::create_directory(At("locked"));
    fs::permissions(At("locked"), fs::perms(0555));
    const struct {
        std::string folder, reason;
        bool unprivileged;
    } cases[] = {{At("missing"), "No such file or directory", false},
                 {At("photo.bmp"), "Not a directory", false},
                 {At("locked"), "Permission denied", true}};
    for (const auto& c : cases) {
        auto result = Run({"--white", "-o", c.folder, At("photo.bmp"), At("photo.bmp")},
                          [&] { return !c.unprivileged || testing::DropPrivileges(); });
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, "zel7-mask: " + c.folder + ": " + c.reason + "\n");
    }
    EXPECT_TRUE(fs::is_empty(At("locked")));
}

TEST_F(Zel7MaskTest, ATerminalSeesFinishedFilesCountedAndASummary) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    testing::WriteWholeFile(At("broken.bmp"), {'B', 'M'});
    fs::create_directory(At("out"));
    const auto result =
        Run({"--white", "-j1", "-o", At("out"), At("photo.bmp"), At("broken.bmp")}, [&] {
            const int fd = open(terminal.c_str(), O_RDWR);
            return fd >= 0 && dup2(fd, STDERR_FILENO) == STDERR_FILENO;
        });
    EXPECT_EQ(result.exitCode, 1);
    char seen[4096] = {};
    fcntl(master, F_SETFL, O_NONBLOCK);
    const ssize_t got = read(master, seen, sizeof seen - 1);
    close(master);
    const std::string screen(seen, got > 0 ? std::size_t(got) : 0);
    EXPECT_NE(screen.find("[1/2] photo.bmp"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[2/2] broken.bmp"), std::string::npos) << screen;
    EXPECT_NE(screen.find("1 written, 1 failed\r\n"), std::string::npos) << screen;
}

// A 16 x 8 picture, left half background (250) and right half object (100), far from
// the threshold so that JPEG's losses do not matter; and its mask as PNG samples.
Bytes HalfAndHalf(int components) {
    Bytes pixels;
    for (int i = 0; i < 16 * 8; ++i) {
        pixels.insert(pixels.end(), std::size_t(components), i % 16 < 8 ? 250 : 100);
    }
    return pixels;
}

TEST_F(Zel7MaskTest, ReadsFormatsByContentAndWritesByName) {
    testing::WriteWholeFile(At("photo.jpg"), testing::EncodeJpeg(16, 8, 3, HalfAndHalf(3)));
    const Bytes grey = HalfAndHalf(1);
    const Bytes png = testing::EncodePng({.width = 16,
                                          .height = 8,
                                          .colour = testing::kGrey,
                                          .samples = {grey.begin(), grey.end()}});
    testing::BmpBuilder deep = testing::ValidPicture(4, 4, 32);
    testing::WriteWholeFile(At("deep.bmp"), deep.Build());
    std::vector<uint16_t> expected;
    for (int i = 0; i < 16 * 8; ++i) {
        expected.push_back(i % 16 < 8 ? 1 : 0);
    }
    // JPEG to a PNG mask, to a BMP one, and refused to a name of neither.
    EXPECT_EQ(Run({"-w", At("photo.jpg"), At("mask.PNG")}).exitCode, 0);
    const testing::PngPicture mask = testing::DecodePng(testing::ReadWholeFile(At("mask.PNG")));
    EXPECT_EQ(mask.bitDepth, 1);
    EXPECT_EQ(mask.samples, expected);
    EXPECT_EQ(Run({"-w", At("photo.jpg"), At("mask")}).exitCode, 0);
    EXPECT_EQ(fs::file_size(At("mask")), 54u + 48 * 8);
    const auto trap = Run({"-w", At("photo.jpg"), At("mask.jpg")});
    EXPECT_EQ(trap.exitCode, 2);
    EXPECT_NE(trap.err.find("PNG (.png) or BMP (.bmp, .dib, or no extension)"), std::string::npos);
    EXPECT_FALSE(fs::exists(At("mask.jpg")));
    // From standard input to standard output, the format said.
    const auto piped = Run({"-w", "--format=png", "-", "-"}, [&] {
        const int fd = open(At("photo.jpg").c_str(), O_RDONLY);
        return fd >= 0 && dup2(fd, STDIN_FILENO) == STDIN_FILENO;
    });
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(testing::DecodePng(Bytes(piped.out.begin(), piped.out.end())).samples, expected);
    // A 32-bit BMP is copied to a BMP, saying so, and masked into a PNG.
    const auto copied = Run({"-w", At("deep.bmp"), At("deep-mask.bmp")});
    EXPECT_EQ(copied.exitCode, 0);
    EXPECT_EQ(copied.err, "zel7-mask: " + At("deep.bmp") +
                              ": 32-bit picture copied unchanged; only 24-bit BMPs are masked\n");
    EXPECT_EQ(Run({"-w", At("deep.bmp"), At("deep-mask.png")}).exitCode, 0);
    EXPECT_EQ(testing::DecodePng(testing::ReadWholeFile(At("deep-mask.png"))).bitDepth, 1);
    // A batch names BMP-named sources' masks as they are, others' STEM.png.
    fs::create_directory(At("out"));
    testing::WriteWholeFile(At("photo.png"), png);
    auto batch = Run({"-w", "-o", At("out"), At("photo.bmp"), At("photo.jpg"), At("photo.png")});
    EXPECT_EQ(batch.exitCode, 1);
    EXPECT_EQ(testing::ReadWholeFile(At("out/photo.bmp")), Mask());
    EXPECT_EQ(testing::DecodePng(testing::ReadWholeFile(At("out/photo.png"))).samples, expected);
    EXPECT_EQ(std::distance(fs::directory_iterator(At("out")), {}), 2);
    EXPECT_NE(batch.err.find(At("photo.png") + ": another source already writes"),
              std::string::npos);
}

// Killed at different moments, a batch leaves no temporary file; a signal the caller
// ignores (nohup) does not stop it.
TEST_F(Zel7MaskTest, SignalsLeaveNoTemporaryFilesAndIgnoredOnesAreIgnored) {
    Strings arguments = {ZEL7_MASK_PATH, "--white", "-j1", "--out-dir", At("masks")};
    testing::BmpBuilder big = testing::ValidPicture(2000, 1500, 24);  // 9 MB: takes a while
    for (int i = 0; i < 6; ++i) {
        arguments.push_back(At("big" + std::to_string(i) + ".bmp"));
        testing::WriteWholeFile(arguments.back(), big.Build());
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    struct Case {
        int signal;
        bool ignored;
        int delayMicroseconds;
    };
    const Case cases[] = {{SIGINT, false, 2000},  {SIGTERM, false, 10000}, {SIGHUP, false, 20000},
                          {SIGUSR1, false, 5000}, {SIGHUP, true, 10000},   {SIGINT, true, 20000}};
    int interrupted = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(strsignal(c.signal) + std::string(c.ignored ? ", ignored" : ""));
        fs::remove_all(At("masks"));
        fs::create_directory(At("masks"));
        const pid_t child = fork();
        if (child == 0) {
            if (c.ignored) {
                signal(c.signal, SIG_IGN);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        usleep(useconds_t(c.delayMicroseconds));
        kill(child, c.signal);
        int status = 0;
        waitpid(child, &status, 0);
        for (const auto& entry : fs::directory_iterator(At("masks"))) {
            EXPECT_EQ(entry.path().filename().string().rfind("big", 0), 0u)
                << "left behind: " << entry.path();
        }
        if (c.ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            EXPECT_EQ(std::distance(fs::directory_iterator(At("masks")), {}), 6);
        } else {
            interrupted += WIFSIGNALED(status) && WTERMSIG(status) == c.signal;
        }
    }
    EXPECT_GT(interrupted, 0) << "every run finished before the signal";
}

}  // namespace
}  // namespace zel7
