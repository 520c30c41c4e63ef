#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "encode_jpeg.h"
#include "encode_png.h"
#include "reference_mask.h"
#include "run_program.h"

namespace zel7 {
namespace {

namespace fs = std::filesystem;
using test_support::Bytes;
using test_support::RunProgram;
using Strings = std::vector<std::string>;

class Zel7MaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::BmpBuilder photo = test_support::ValidPicture(50, 30, 24);
        photo.pixels = test_support::SyntheticPhotoRows(50, 30, Background::NearWhite);
        photo_ = photo.Build();
        Write("photo.bmp", photo_);
        fs::permissions(folder_.Path(), fs::perms(0755));  // for the unprivileged cases
    }

    test_support::ProgramResult Run(Strings arguments,
                                    const std::function<bool()>& beforeExec = {}) {
        return RunProgram(ZEL7_MASK_PATH, std::move(arguments), beforeExec);
    }
    std::string At(const std::string& name) const { return (folder_ / name).string(); }
    void Write(const std::string& name, const Bytes& bytes) const {
        test_support::WriteWholeFile(At(name), bytes);
    }
    Bytes Read(const std::string& name) const { return test_support::ReadWholeFile(At(name)); }
    std::ptrdiff_t Count(const std::string& name) const {
        return std::distance(fs::directory_iterator(At(name)), {});
    }
    // Opens `path` with `flags` as descriptor `target` in the child.
    static std::function<bool()> Redirect(std::string path, int flags, int target) {
        return [=] {
            const int fd = open(path.c_str(), flags);
            return fd >= 0 && dup2(fd, target) == target;
        };
    }
    Bytes Mask(Background background = Background::NearWhite) const {
        return test_support::ReferenceMask(photo_, background);
    }
    test_support::ScratchFolder folder_;
    Bytes photo_;
};

// Each source's status in a JSON report, checking every line's form on the way.
std::map<std::string, std::string> ReportedStatuses(const std::string& report) {
    static const std::regex line(
        R"x(\{"source":"([^"]*)","destination":"[^"]*","status":"(written|failed|skipped)",)x"
        R"x("reason":"[^"]*","milliseconds":[0-9]+\.[0-9]\})x");
    std::map<std::string, std::string> statuses;
    std::istringstream lines(report);
    for (std::string text; std::getline(lines, text);) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(text, match, line)) << text;
        EXPECT_TRUE(statuses.emplace(match[1], match[2]).second) << "twice: " << text;
    }
    return statuses;
}

TEST_F(Zel7MaskTest, OptionsParseAsGetoptLongDoes) {
    for (const char* folder : {"out", "=out", "folder"}) {
        fs::create_directory(At(folder));
    }
    Write("-x.bmp", photo_);
    const auto white = Background::NearWhite;
    const std::tuple<Strings, std::string, Background> cases[] = {
        // run in the scratch folder
        {{"--white", "--out-dir", "out", "photo.bmp"}, "out/photo.bmp", white},
        {{"-woout", "-j2", "photo.bmp"}, "out/photo.bmp", white},
        {{"photo.bmp", "--jobs", "1", "-o", "out", "--white"}, "out/photo.bmp", white},
        {{"--white", "--suffix=-mask", "photo.bmp"}, "photo-mask.bmp", white},
        {{"--white", "-s", ".m", "-o", "out", "photo.bmp"}, "out/photo.m.bmp", white},
        {{"--white", "--", "-x.bmp", "-y.bmp"}, "-y.bmp", white},
        {{"--white", "-o=out", "photo.bmp"},
         "=out/photo.bmp",
         white},  // as getopt: the value is "=out"
        {{"--black", "photo.bmp", "mask"}, "mask", Background::NearBlack},
        {{"-b", "photo.bmp", "folder"}, "folder/photo.bmp", Background::NearBlack},
    };
    for (const auto& [arguments, written, background] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const auto result = Run(arguments, [&] { return chdir(folder_.Path().c_str()) == 0; });
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(Read(written), Mask(background));
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
        {"--white", "--cutout", At("photo.bmp"), At("mask.bmp")}};
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
        const auto full = Run({option}, Redirect("/dev/full", O_WRONLY, STDOUT_FILENO));
        EXPECT_EQ(full.exitCode, 1) << option;
        EXPECT_EQ(full.err, "zel7-mask: write error: No space left on device\n");
    }
}

TEST_F(Zel7MaskTest, FaultsLoseNothingAndLeaveNoTemporaryFiles) {
    const Bytes old = {'o', 'l', 'd'};
    fs::create_directory(At("tmp"));
    fs::permissions(At("tmp"), fs::perms(0777));
    mkfifo(At("fifo").c_str(), 0666);
    Write("read-only.bmp", old);
    fs::permissions(At("read-only.bmp"), fs::perms(0444));
    fs::create_directory(At("locked"));
    Write("locked/dest.bmp", old);
    fs::permissions(At("locked"), fs::perms(0555));
    Write("short.bmp", Bytes(photo_.begin(), photo_.end() - 10));

    enum class Limit { None, FullDisk, Unprivileged };
    // An existing "dest.bmp" must be kept; the source is named unless it is photo.bmp.
    const std::tuple<std::string, std::string, Limit, std::string> cases[] = {
        {"photo.bmp", "dest.bmp", Limit::FullDisk, "cannot write file (File too large)"},
        {"photo.bmp", "photo.bmp", Limit::FullDisk, "cannot write file (File too large)"},
        {"photo.bmp", "locked/new.bmp", Limit::Unprivileged,
         "cannot create file (Permission denied)"},
        {"photo.bmp", "read-only.bmp", Limit::Unprivileged,
         "not writable; left as it is (Permission denied)"},
        {"photo.bmp", "fifo", Limit::None, "not a regular file; left as it is"},
        {"fifo", "dest.bmp", Limit::None, "not a regular file"},
        {"short.bmp", "dest.bmp", Limit::None, "truncated pixel data"}};
    for (const auto& [source, dest, limit, reason] : cases) {
        const bool destExists = dest == "dest.bmp";
        const std::string named = source == "photo.bmp" ? dest : source;
        SCOPED_TRACE(source + " -> " + dest);
        if (destExists) {
            Write(dest, old);
        }
        const Strings before = folder_.Entries();
        const auto result = Run({"--white", At(source), At(dest)}, [&] {
            setenv("TMPDIR", At("tmp").c_str(), 1);
            if (limit == Limit::FullDisk) {
                test_support::LimitFileSize(4096);  // and SIGXFSZ at its default: fatal
            }
            return limit != Limit::Unprivileged || test_support::DropPrivileges();
        });
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, "zel7-mask: " + At(named) + ": " + reason + "\n");
        EXPECT_EQ(folder_.Entries(), before) << "a file appeared or vanished";
        EXPECT_TRUE(fs::is_empty(At("tmp")));
        EXPECT_EQ(Read("photo.bmp"), photo_);
        if (destExists) {
            EXPECT_EQ(Read(dest), old);
            fs::remove(At(dest));
        }
    }
    // Endless input that is no picture is refused as soon as it starts.
    const auto zeros =
        Run({"--white", "-", At("dest.bmp")}, Redirect("/dev/zero", O_RDONLY, STDIN_FILENO));
    EXPECT_EQ(zeros.err, "zel7-mask: -: not a picture zel7 reads (BMP, JPEG, PNG or TIFF)\n");
    EXPECT_FALSE(fs::exists(At("dest.bmp")));
    EXPECT_TRUE(fs::is_fifo(At("fifo")));
    EXPECT_EQ(Read("read-only.bmp"), old);
    EXPECT_EQ(Read("locked/dest.bmp"), old);
    fs::permissions(At("locked"), fs::perms(0755));

    // The source typed as the one destination, with room to write: replaced.
    EXPECT_EQ(Run({"--white", At("photo.bmp"), At("photo.bmp")}).exitCode, 0);
    EXPECT_EQ(Read("photo.bmp"), Mask());
}

TEST_F(Zel7MaskTest, BatchesReportEachFailureAndNeverReplaceTheirOwnPictures) {
    fs::create_directory(At("out"));
    Strings arguments = {"--white", "--out-dir", At("out"), "--jobs", "2"};
    for (int i = 0; i < 4; ++i) {
        arguments.push_back(At("p" + std::to_string(i) + ".bmp"));
        Write("p" + std::to_string(i) + ".bmp", i == 3 ? Bytes{'B', 'M', 1, 2} : photo_);
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
        EXPECT_EQ(Read(std::string("out/") + name), Mask()) << name;
    }
    EXPECT_EQ(Read("p0.bmp"), photo_);
    EXPECT_FALSE(fs::exists(At("out/p3.bmp")));

    // Masks into the pictures' own folder: refused unless a suffix names them apart,
    // whichever shard runs, and a report is never written over a picture.
    Write("q.jpg", photo_);  // pictures are told by their contents
    Write("q.png", photo_);
    for (const char* shard : {"0/1", "0/2", "1/2"}) {
        Run({"--white", "-o", folder_.Path().string(), "--shard", shard, At("q.jpg"), At("q.png")});
    }
    EXPECT_EQ(Read("q.png"), photo_);

    // Two sources for one mask in different shards: the first in the list writes it.
    fs::create_directories(At("a"));
    fs::create_directories(At("b"));
    Write("a/x.bmp", photo_);
    Write("b/x.bmp", photo_);
    std::map<std::string, std::string> statuses;
    for (const char* shard : {"0/4", "1/4", "2/4", "3/4"}) {
        const auto run = Run({"--white", "-o", At("out"), "--shard", shard, "--report", "-",
                              At("a/x.bmp"), At("b/x.bmp")});
        statuses.merge(ReportedStatuses(run.out));
    }
    EXPECT_EQ(statuses, (std::map<std::string, std::string>{{At("a/x.bmp"), "written"},
                                                            {At("b/x.bmp"), "failed"}}));

    // A report over anything the batch reads or writes is refused before any work.
    Write("list", Bytes{'x'});
    for (const char* report : {"p1.bmp", "list", "out/p0.bmp", "out/../out/p0.bmp"}) {
        SCOPED_TRACE(report);
        fs::remove(At("out/p0.bmp"));
        const auto refused = Run({"--white", "-o", At("out"), "--report", At(report),
                                  "--files-from", At("list"), At("p0.bmp")});
        EXPECT_EQ(refused.exitCode, 2);
        EXPECT_FALSE(fs::exists(At("out/p0.bmp")));
    }
    EXPECT_EQ(Read("list"), Bytes{'x'});
    EXPECT_EQ(Read("p0.bmp"), photo_);
    EXPECT_EQ(Read("p1.bmp"), photo_);

    // Names are quoted as coreutils does when they would reach the terminal raw.
    EXPECT_EQ(Run({"--white", "-o", At("out"), At("new\nline.bmp")}).err,
              "zel7-mask: '" + At("new") +
                  "'$'\\n''line.bmp': cannot open file (No such file or "
                  "directory)\n");
    EXPECT_EQ(Run({"--white", "--suffix", "-mask", At("p0.bmp")}).exitCode, 0);
    EXPECT_EQ(Read("p0-mask.bmp"), Mask());
}

TEST_F(Zel7MaskTest, AnUnusableOutputFolderIsReportedOnceBeforeAnyWork) {
    fs::create_directory(At("locked"));
    fs::permissions(At("locked"), fs::perms(0555));
    const std::tuple<std::string, std::string, bool> cases[] = {
        {At("missing"), "No such file or directory", false},
        {At("photo.bmp"), "Not a directory", false},
        {At("locked"), "Permission denied", true}};
    for (const auto& [folder, reason, unprivileged] : cases) {
        auto result = Run({"--white", "-o", folder, At("photo.bmp"), At("photo.bmp")},
                          [&] { return !unprivileged || test_support::DropPrivileges(); });
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, "zel7-mask: " + folder + ": " + reason + "\n");
    }
    EXPECT_TRUE(fs::is_empty(At("locked")));
}

TEST_F(Zel7MaskTest, ATerminalSeesFinishedFilesCountedAndASummary) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    Write("broken.bmp", {'B', 'M'});
    fs::create_directory(At("out"));
    EXPECT_EQ(Run({"--white", "-j1", "-o", At("out"), At("photo.bmp"), At("broken.bmp")},
                  Redirect(ptsname(master), O_RDWR, STDERR_FILENO))
                  .exitCode,
              1);
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
    Write("photo.jpg", test_support::EncodeJpeg(16, 8, 3, HalfAndHalf(3)));
    const Bytes grey = HalfAndHalf(1);
    Write("photo.png", test_support::EncodePng({.width = 16,
                                                .height = 8,
                                                .colour = test_support::kGrey,
                                                .samples = {grey.begin(), grey.end()}}));
    Write("deep.bmp", test_support::ValidPicture(4, 4, 32).Build());
    std::vector<uint16_t> expected(grey.size());
    std::transform(grey.begin(), grey.end(), expected.begin(), [](uint8_t v) { return v == 250; });
    // JPEG to a PNG mask, to a BMP one, and refused to a name of neither.
    EXPECT_EQ(Run({"-w", At("photo.jpg"), At("mask.PNG")}).exitCode, 0);
    const test_support::PngPicture mask = test_support::DecodePng(Read("mask.PNG"));
    EXPECT_EQ(mask.bitDepth, 1);
    EXPECT_EQ(mask.samples, expected);
    EXPECT_EQ(Run({"-w", At("photo.jpg"), At("mask")}).exitCode, 0);
    EXPECT_EQ(fs::file_size(At("mask")), 54u + 48 * 8);
    const auto trap = Run({"-w", At("photo.jpg"), At("mask.jpg")});
    EXPECT_EQ(trap.exitCode, 2);
    EXPECT_NE(trap.err.find("PNG (.png) or BMP (.bmp, .dib, or no extension)"), std::string::npos);
    EXPECT_FALSE(fs::exists(At("mask.jpg")));
    // From standard input to standard output, the format said.
    const auto piped =
        Run({"-w", "--format=png", "-", "-"}, Redirect(At("photo.jpg"), O_RDONLY, STDIN_FILENO));
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(test_support::DecodePng(Bytes(piped.out.begin(), piped.out.end())).samples, expected);
    // A 32-bit BMP is copied to a BMP, saying so, and masked into a PNG.
    const auto copied = Run({"-w", At("deep.bmp"), At("deep-mask.bmp")});
    EXPECT_EQ(copied.exitCode, 0);
    EXPECT_EQ(copied.err, "zel7-mask: " + At("deep.bmp") +
                              ": 32-bit picture copied unchanged; only 24-bit BMPs are masked\n");
    EXPECT_EQ(Run({"-w", At("deep.bmp"), At("deep-mask.png")}).exitCode, 0);
    EXPECT_EQ(test_support::DecodePng(Read("deep-mask.png")).bitDepth, 1);
    // A batch names BMP-named sources' masks as they are, others' STEM.png.
    fs::create_directory(At("out"));
    auto batch = Run({"-w", "-o", At("out"), At("photo.bmp"), At("photo.jpg"), At("photo.png")});
    EXPECT_EQ(batch.exitCode, 1);
    EXPECT_EQ(Read("out/photo.bmp"), Mask());
    EXPECT_EQ(test_support::DecodePng(Read("out/photo.png")).samples, expected);
    EXPECT_EQ(Count("out"), 2);
    EXPECT_NE(batch.err.find(At("photo.png") + ": another source already writes"),
              std::string::npos);
}

// A red square with a backdrop-coloured label inside, a rim column half red, and a
// grey speck, on a backdrop of 250: each option seen at the pixels it is about.
TEST_F(Zel7MaskTest, RefinedMasksAndCutoutsKeepLabelsDropSpecksAndUnmixEdges) {
    test_support::PngPicture photo{.width = 24, .height = 16};
    for (uint32_t y = 0; y < 16; ++y) {
        for (uint32_t x = 0; x < 24; ++x) {
            std::vector<uint16_t> rgb = {250, 250, 250};
            if (x >= 4 && x < 16 && y >= 3 && y < 13 && !(x >= 8 && x < 11 && y >= 6 && y < 9)) {
                rgb = {200, 30, 30};
            } else if (x == 16 && y >= 3 && y < 13) {
                rgb = {225, 140, 140};
            } else if (x == 20 && y == 14) {
                rgb = {100, 100, 100};
            }
            photo.samples.insert(photo.samples.end(), rgb.begin(), rgb.end());
        }
    }
    Write("label.png", test_support::EncodePng(photo));
    struct Case {
        Strings options;
        uint32_t x, y;
        std::vector<uint16_t> expected;  // a 1-bit mask's 1 is white
        int slack;
    };
    const Case cases[] = {
        {{"-w", "-c"}, 9, 7, {0}, 0},                       // the label stays object
        {{"-w", "-c"}, 20, 14, {0}, 0},                     // a speck without -d
        {{"-w", "-c", "-d", "2"}, 20, 14, {1}, 0},          // despeckled
        {{"-w", "-c", "--hole-area=8"}, 9, 7, {1}, 0},      // a hole larger than 8 pixels
        {{"-w", "-c", "--hole-area=9"}, 9, 7, {0}, 0},      // not larger than 9
        {{"-a", "-c", "--cutout"}, 0, 0, {0, 0, 0, 0}, 0},  // transparent background
        {{"-a", "-c", "--cutout"}, 5, 5, {200, 30, 30, 255}, 0},
        {{"-a", "-c", "--cutout"}, 9, 7, {250, 250, 250, 255}, 0},
        {{"-a", "-c", "--cutout"}, 16, 7, {200, 30, 30, 128}, 3},  // unmixed, half
        {{"-a", "-c", "--cutout", "--hard-edges"}, 16, 7, {225, 140, 140, 255}, 0},
        {{"-a", "-c", "--soft"}, 16, 7, {127}, 3},
        {{"-a", "-c", "--soft", "--invert"}, 16, 7, {128}, 3},
        {{"-a", "-c", "--soft", "--invert"}, 5, 5, {255}, 0},
        {{"-b", "--tolerance=255", "--invert"}, 5, 5, {0}, 0},  // all background, inverted
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.options));
        Strings arguments = test.options;
        arguments.insert(arguments.end(), {At("label.png"), At("out.png")});
        ASSERT_EQ(Run(arguments).err, "");
        const test_support::PngPicture out = test_support::DecodePng(Read("out.png"));
        const auto at = std::size_t(out.Channels()) * (test.y * out.width + test.x);
        for (std::size_t c = 0; c < test.expected.size(); ++c) {
            EXPECT_NEAR(out.samples.at(at + c), test.expected[c], test.slack) << "channel " << c;
        }
    }
}

// Sources listed by line, in a file, or by NUL, on standard input, in shards whose
// union is every source once, whatever the number of shards.
TEST_F(Zel7MaskTest, FileListsAndShardsCoverEverySourceOnce) {
    std::string lines, nuls;
    for (int i = 0; i < 40; ++i) {
        const std::string source = At("missing " + std::to_string(i * 7919 % 1000) + ".jpg");
        lines += source + "\n";
        nuls += source + '\0';
    }
    Write("list", Bytes(lines.begin(), lines.end()));
    Write("list0", Bytes(nuls.begin(), nuls.end()));
    const auto unsplit = Run({"-w", "-o", At("."), "--files-from", At("list0")});
    EXPECT_EQ(unsplit.exitCode, 1);
    EXPECT_NE(unsplit.err.find("paths with NUL bytes: read the list with -0"), std::string::npos);
    for (const int count : {1, 2, 3, 7}) {
        std::map<std::string, std::string> all;
        for (int index = 0; index < count; ++index) {
            const std::string shard = std::to_string(index) + "/" + std::to_string(count);
            Strings arguments = {"-w", "-o", At("."), "--shard", shard, "--report", "-"};
            const bool byLine = index % 2 == 0;
            const Strings list =
                byLine ? Strings{"--files-from", At("list")} : Strings{"-0", "--files-from=-"};
            arguments.insert(arguments.end(), list.begin(), list.end());
            const auto result =
                Run(arguments, byLine ? nullptr : Redirect(At("list0"), O_RDONLY, STDIN_FILENO));
            for (const auto& [source, status] : ReportedStatuses(result.out)) {
                EXPECT_EQ(status, "failed");
                EXPECT_TRUE(all.emplace(source, shard).second) << source << " in two shards";
            }
        }
        EXPECT_EQ(all.size(), 40u) << count << " shards";
    }
}

// Blocks until `count` files have come into the folder that `watch` (inotify) watches
// under names of their own; hidden temporary names do not count. The bound only turns
// a broken program into a failure instead of a hang.
bool AwaitFiles(int watch, int count) {
    alignas(inotify_event) char events[4096];
    while (count > 0) {
        pollfd ready{watch, POLLIN, 0};
        if (poll(&ready, 1, 60'000) != 1) {
            return false;
        }
        const ssize_t got = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            count -= event->len > 0 && event->name[0] != '.';
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return true;
}

// Killed at different moments, a batch leaves no temporary file, and run again it
// finishes what is left; a signal the caller ignores (nohup) does not stop it. The
// moments are handshakes, not delays: the report goes into a pipe filled beforehand,
// so the batch stops at its first report line, after its first mask, until the
// signal comes or the pipe is drained.
TEST_F(Zel7MaskTest, SignalsLeaveNoTemporaryFilesAndIgnoredOnesAreIgnored) {
    const Bytes picture = test_support::ValidPicture(400, 300, 24).Build();
    Strings names;
    for (int i = 0; i < 6; ++i) {
        names.push_back("p" + std::to_string(i) + ".bmp");
        Write(names.back(), picture);
    }
    // Signal, ignored by the caller, jobs, masks finished before the signal.
    const std::tuple<int, bool, const char*, int> cases[] = {
        {SIGINT, false, "-j1", 0},  {SIGTERM, false, "-j1", 1}, {SIGHUP, false, "-j2", 1},
        {SIGUSR1, false, "-j2", 2}, {SIGKILL, false, "-j2", 1}, {SIGHUP, true, "-j1", 1},
        {SIGINT, true, "-j2", 2}};
    for (const auto& [sig, ignored, jobs, finished] : cases) {
        SCOPED_TRACE(strsignal(sig) + std::string(ignored ? ", ignored, " : ", ") + jobs);
        fs::remove_all(At("masks"));
        fs::create_directory(At("masks"));
        Strings arguments = {ZEL7_MASK_PATH, "--white", jobs, "--report=-", "-o", At("masks")};
        for (const std::string& name : names) {
            arguments.push_back(At(name));
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(watch, At("masks").c_str(), IN_CREATE | IN_MOVED_TO), 0);
        int report[2];
        ASSERT_EQ(pipe2(report, O_CLOEXEC | O_NONBLOCK), 0);
        const std::string filler(4096, '\n');
        while (write(report[1], filler.data(), filler.size()) > 0) {
        }
        fcntl(report[1], F_SETFL, 0);  // the program's writes block on the full pipe
        const pid_t child = fork();
        if (child == 0) {
            if (ignored) {
                signal(sig, SIG_IGN);
            }
            dup2(report[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(report[1]);
        EXPECT_TRUE(AwaitFiles(watch, finished));
        close(watch);
        kill(child, sig);
        if (ignored) {
            char drained[4096];
            while (read(report[0], drained, sizeof drained) > 0) {
            }
        }
        int status = 0;
        waitpid(child, &status, 0);
        close(report[0]);
        for (const auto& entry : fs::directory_iterator(At("masks"))) {
            EXPECT_EQ(entry.path().filename().string()[0], 'p') << "left behind: " << entry.path();
        }
        if (ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            EXPECT_EQ(Count("masks"), 6);
            continue;
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
        // Run again, it redoes nothing that was finished and finishes the rest.
        const auto done = Count("masks");
        Strings again(arguments.begin() + 1, arguments.end());
        again.push_back("--skip-existing");
        const std::map<std::string, std::string> statuses = ReportedStatuses(Run(again).out);
        EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(),
                                [](const auto& entry) { return entry.second == "skipped"; }),
                  done);
        EXPECT_EQ(statuses.size(), 6u);
        EXPECT_EQ(Count("masks"), 6);
        EXPECT_EQ(Read("masks/p5.bmp"),
                  test_support::ReferenceMask(picture, Background::NearWhite));
    }
}

}  // namespace
}  // namespace zel7
