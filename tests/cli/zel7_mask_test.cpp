// zel7-mask as a user runs it: what only the command line does (its options, usage
// errors, messages, progress, batch plans, lists, shards, skipping what is done, standard
// input and output). How pictures are read, masked and written, and what a fatal signal
// leaves behind, is the library's, tested there (destination_test kills a writer at every
// signal, Named and Unnamed); zel7-mask's own part, calling CleanUpOnFatalSignals, shows
// in FailuresLoseNothing, where SIGXFSZ would otherwise kill it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "encoders.h"
#include "engine/options.h"
#include "run_program.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

namespace fs = std::filesystem;
using namespace test_support;
using Strings = std::vector<std::string>;
using Statuses = std::map<std::string, std::string>;

class Zel7MaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        Write("photo.bmp", photo_ = ValidPicture(50, 30, 24).Build());
        fs::permissions(folder_.Path(), fs::perms(0755));  // for the unprivileged cases
    }
    ProgramResult Run(Strings arguments, const std::function<bool()>& beforeExec = {}) {
        return RunProgram(ZEL7_MASK_PATH, std::move(arguments), beforeExec);
    }
    std::string At(const std::string& name) const { return (folder_ / name).string(); }
    void Write(const std::string& name, const Bytes& bytes) { WriteWholeFile(At(name), bytes); }
    Bytes Read(const std::string& name) const { return ReadWholeFile(At(name)); }
    // Opens `path` with `flags` as descriptor `target` in the child.
    static std::function<bool()> Redirect(std::string path, int flags, int target) {
        return [=] {
            const int fd = open(path.c_str(), flags);
            return fd >= 0 && dup2(fd, target) == target;
        };
    }
    ScratchFolder folder_;
    Bytes photo_;
};

TEST_F(Zel7MaskTest, OptionsParseAsGetoptLongDoes) {
    fs::create_directory(At("out")), fs::create_directory(At("folder"));
    const auto white = Background::NearWhite, black = Background::NearBlack;
    const std::tuple<Strings, std::string, Background> cases[] = {
        // run in the scratch folder
        {{"--white", "--out-dir", "out", "photo.bmp"}, "out/photo.bmp", white},
        {{"-woout", "-j2", "photo.bmp"}, "out/photo.bmp", white},
        {{"photo.bmp", "--jobs", "1", "-o", "out", "--white"}, "out/photo.bmp", white},
        {{"--white", "--suffix=-mask", "photo.bmp"}, "photo-mask.bmp", white},
        {{"--white", "-s", ".m", "-o", "out", "photo.bmp"}, "out/photo.m.bmp", white},
        {{"--black", "photo.bmp", "mask"}, "mask", black},
        {{"-b", "photo.bmp", "folder"}, "folder/photo.bmp", black},
    };
    for (const auto& [arguments, written, background] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const auto result = Run(arguments, [&] { return chdir(folder_.Path().c_str()) == 0; });
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(Read(written), ReferenceMask(photo_, background));
    }
    // A name of only a dot and an extension has that extension: ".png" is a PNG.
    EXPECT_EQ(Run({"-w", At("photo.bmp"), At(".png")}).exitCode, 0);
    EXPECT_EQ(Read(".png").at(1), 'P');
}

// The bash completion takes its options and their values from --help: every option the
// help lists is offered, and each option's value as the help names it. (bash-completion's
// own helpers stand in as stubs that say what they would complete.)
TEST_F(Zel7MaskTest, CompletionOffersWhatTheHelpLists) {
    const std::string stubs =
        "_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD;"
        " cur=${words[cword]}; prev=${words[cword-1]}; split=false;"
        " if [[ $cur == --*=* ]]; then prev=${cur%%=*}; cur=${cur#*=}; split=true; fi; }\n"
        "_filedir() { COMPREPLY=(\"<files${1:+ $1}>\"); }\n"
        "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1))\n"
        "_zel7_mask \"$1\"; echo \"${COMPREPLY[*]}\"\n";
    const auto complete = [&](Strings words) {
        Strings arguments = {"-c", stubs, "bash", ZEL7_COMPLETION_PATH, ZEL7_MASK_PATH};
        arguments.insert(arguments.end(), words.begin(), words.end());
        const ProgramResult result = RunProgram("/bin/bash", arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    };
    const std::pair<Strings, std::string> cases[] = {
        {{"--st"}, "--studio\n"},
        {{"--sh"}, "--shadow --shard\n"},
        {{"--shadow", ""}, "drop keep\n"},
        {{"--shadow=k"}, "keep\n"},  // split as bash-completion's -s splits it
        {{"-o", ""}, "<files -d>\n"},
        {{"--files-from", ""}, "<files>\n"},
        {{"--format", "w"}, "webp\n"},
        {{"--flatten", ""}, "white black\n"},
        {{"--tolerance", ""}, "\n"},  // a number, the user's
        {{"--", "-w"}, "<files>\n"},
        {{"photo"}, "<files>\n"},
    };
    for (const auto& [words, expected] : cases) {
        EXPECT_EQ(complete(words), expected) << ::testing::PrintToString(words);
    }
    // Every option of the help, short and long, and nothing else.
    std::istringstream offered(complete({"-"}));
    const std::set<std::string> options{std::istream_iterator<std::string>(offered), {}};
    const std::string help = Run({"--help"}).out;
    const std::regex option(R"(\n(?:  (-\w), |      )(--[\w-]+))");
    std::set<std::string> listed;
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
         it != std::sregex_iterator(); ++it) {
        listed.insert((*it)[2].str());
        if ((*it)[1].matched) {
            listed.insert((*it)[1].str());
        }
    }
    EXPECT_EQ(options, listed);
    EXPECT_GE(listed.size(), 40u);  // (the help read as it is laid out)
}

// Each refused for its own reason: a misuse with status 2, its reason and the usage, a
// failure with 1 and its one message, as a full disk (an error, not a fatal signal) or an
// unusable output folder (said once, before any work). Neither loses anything or leaves a
// temporary file (not in TMPDIR either), and a report never goes over anything of the
// batch. --help and --version report failing output too.
TEST_F(Zel7MaskTest, RefusalsExitWithTheirStatusAndLoseNothing) {
    const std::string help = Run({"--help"}).out;
    EXPECT_EQ(help.rfind("Usage: zel7-mask", 0), 0u);
    for (const Option& option : Options()) {  // each listed once, as the library names it
        const std::regex listed(std::string(R"(\n +(-\w, )?--)") + option.name + "(=|  |\n)");
        const auto count = std::distance(std::sregex_iterator(help.begin(), help.end(), listed),
                                         std::sregex_iterator());
        EXPECT_EQ(count, 1) << option.name;
    }
    std::istringstream lines(help);  // a terminal's width, as the manual page is made from it
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
    }
    EXPECT_EQ(Run({"--version"}).out, "zel7-mask (zel7) " ZEL7_VERSION "\n");
    for (const auto& [folder, mode] : {std::pair{"tmp", 0777}, {"locked", 0555}}) {
        fs::create_directory(At(folder));
        fs::permissions(At(folder), fs::perms(mode));
    }
    Write("list", {});
    Write("crlf", {'p', '\r', '\n'});
    Write("long", Bytes(5000, 'a'));
    Write("empty.jpg", {});
    fs::create_directory_symlink("/proc/self/fd", At("fds"));  // the descriptors by a link
    Write("empty.bmp", ValidPicture(0, 4, 24).Build());        // a BMP may hold no pixels
    Write("dest.bmp", {'o', 'l', 'd'});
    const std::string photo = At("photo.bmp"), list = At("list"), dest = At("dest.bmp");
    const std::string said = "zel7-mask: ", full = said + "write error: No space left on device";
    const std::string missing = At("missing"), locked = At("locked");
    // Masks past a 4 KiB limit: of one picture, written on a second thread, and of a batch,
    // whose slices are written inline.
    const std::string big = At("big.bmp"), big2 = At("big2.bmp"),
                      tooLarge = ": cannot write file (File too large)";
    Write("big.bmp", ValidPicture(600, 600, 24).Build());
    Write("big2.bmp", Read("big.bmp"));
    // A full disk, as the limit on the size of files makes it (SIGXFSZ left as it is: the
    // program must not die of it).
    const auto smallDisk = [] {
        const rlimit limit{4096, 4096};
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
    const struct {
        Strings arguments;
        std::string reason;
        std::function<bool()> prepare = {};
    } cases[] = {
        {{photo, At("mask.bmp")}, "say which background"},
        {{"--white", photo}, "expected SOURCE and DEST"},
        {{"-w", "--black", photo, dest}, "--white and --black exclude each other"},
        {{"-w", "--frobnicate", photo, dest}, "unknown option '--frobnicate'"},
        {{"-w", "--sh=1/2", photo, dest}, "option '--sh=1/2' is ambiguous: --shadow, --shard"},
        {{"--white", "--out-dir"}, "option '--out-dir' needs a value"},
        {{"--white", "--out-dir", ""}, "the output folder name is empty"},
        {{"-w", "-o", At(""), "--jobs", "0", photo}, "a whole number from 1 to 256"},
        {{"-w", "-o", At(""), "-j", "257", photo}, "not '257'"},
        {{"--white", "-o", At("")}, "no source pictures given"},
        {{"-w", "--cutout", photo, At("mask.bmp")}, "not BMP: name it .png, .jpg or .webp, or"},
        {{"-w", "--cutout", "-fbmp", photo, dest}, "not BMP: say --format png, jpeg or webp"},
        {{"-w", "-", At("tmp")}, "standard input has none: name the mask's file"},
        {{"-w", photo, At("")}, "the mask would replace its source"},
        {{"-w", photo, ""}, "the destination's name is empty"},
        {{"-w", photo, At("mask.gif")}, "PNG (.png) or BMP (.bmp, .dib, or no extension)"},
        {{"-w", photo, At("mask.jpg")}, "JPEG is for cut-outs"},
        {{"-w", "--trim", photo, At("mask.bmp")}, "cut-outs are written as PNG, JPEG or WebP"},
        {{"-w", "--margin", "50%", photo, dest}, "below 50% (7.5%) or pixels (40), not '50%'"},
        {{"-w", "--margin", "7.5", photo, dest}, "not '7.5'"},
        {{"-w", "--size", "0x5", photo, dest}, "--size takes WxH, each from 1 to 65535, not '0x5'"},
        {{"-w", "--aspect", "0:1", photo, dest}, "--aspect takes W:H"},
        {{"-w", "--aspect", "4:3", "--square", photo, dest}, "ask for different shapes"},
        {{"-w", "--flatten", "nonsense", photo, dest}, "white, black or #rrggbb, not 'nonsense'"},
        {{"-w", "--quality", "0", photo, dest}, "from 1 to 100, not '0'"},
        {{"-w", "--tolerance=256", photo, dest}, "from 0 to 255, not '256'"},
        {{"-w", "--despeckle=-1", photo, dest}, "pixels from 0 to 4294967295, not '-1'"},
        {{"-w", "-d", "4294967296", photo, dest}, "pixels from 0 to 4294967295, not '4294967296'"},
        {{"-w", "--max-pixels=0", photo, dest}, "a whole number from 1 up, not '0'"},
        {{"-w", "--format=gif", photo, dest}, "png, bmp, jpeg or webp, not 'gif'"},
        {{"-w", "--hole-area=9", photo, dest}, "--hole-area goes with --connected"},
        {{"-a", "--studio", photo, dest}, "--studio goes with --white or --black"},
        {{"-w", "--shadow=drop", photo, dest}, "--shadow goes with --studio"},
        {{"-w", "-0", photo, dest}, "--null goes with --files-from"},
        {{"-b", "--studio", "--shadow=keep", photo, dest}, "--shadow keep goes with --white"},
        {{"-w", "--hard-edges", photo, dest}, "--hard-edges goes with --cutout"},
        {{"-w", "--cutout", "--soft", photo, dest}, "--cutout and --soft exclude each other"},
        {{"-w", "--lossless", "--quality=8", photo, dest}, "--lossless and --quality exclude"},
        {{"-w", "--trim", "--soft", photo, dest}, "frame cut-outs: not with --soft"},
        {{"-w", "--square", "--size", "300x200", photo, dest}, "not of the shape"},
        {{"-w", "--square", "--size", "20000x20000", photo, dest}, "more than 200 megapixels"},
        {{"-w", "--cutout", At("empty.bmp"), At("cut.png")},
         said + At("empty.bmp") + ": no pixel data"},
        {{"-w", "--margin", "50", "--size", "100x300", photo, dest}, "leaves no room"},
        {{"-w", photo, At("mask.webp")}, "two-tone masks are written as PNG or BMP"},
        {{"-w", "--cutout", "--lossless", photo, At("cut.png")}, "--lossless goes with WebP"},
        {{"-w", "-o", At(""), "--cutout", "--quality=80", photo}, "--quality goes with JPEG and"},
        {{"-w", "--report=-", "-", "-"}, "cannot both go to standard output"},
        {{"-w", "--shard=0/2", photo, dest}, "go with --out-dir or --suffix"},
        {{"-w", "-s-m", "--base", At(""), photo}, "--keep-tree and --base go with --out-dir"},
        {{"-w", "-o", At(""), "--base=", photo}, "the base folder name is empty"},
        {{"-w", "-o", At(""), "--shard=2/2", photo}, "I/N with I from 0 to N - 1"},
        {{"-w", "-s", "-m", "--files-from", list, "--report", list}, "a file the batch reads"},
        {{"-w", "--report", dest, photo, dest}, "would be replaced by the mask " + dest},
        {{"-w", "-s", "-m", "--files-from", list, "--report", photo}, "replace a picture"},
        {{"-w", "-s", "-m", "--report", At("x/../photo-m.bmp"), photo}, "replaced by the mask"},
        {{"-w", "-o", At("tmp"), "--keep-tree", "--report", At("tmp/a"), At("a/p.bmp"),
          At("b/p.bmp")},
         "would take the name of the folder the mask"},
        // Failures, their messages whole.
        {{"--help"}, full, Redirect("/dev/full", O_WRONLY, STDOUT_FILENO)},
        {{"-w", big, dest}, said + dest + tooLarge, smallDisk},  // on a second thread
        {{"-w", "-j1", "-s-m", "--format=png", big, big2},
         said + At("big-m.png") + tooLarge + "\n" + said + At("big2-m.png") + tooLarge,
         smallDisk},
        // Standard output closed: no success writing to it.
        {{"-w", photo, "-"},
         said + "-: cannot write file (Bad file descriptor)",
         [] { return close(STDOUT_FILENO) == 0; }},
        // ...nor reporting to it, nor reading a list from standard input closed.
        {{"-w", "--report", "/dev/stdout", photo, dest},
         said + "/dev/stdout: a standard stream the caller closed",
         [] { return close(STDOUT_FILENO) == 0; }},
        {{"-w", "-s-m", "--files-from", "/proc/self/fd/0"},
         said + "/proc/self/fd/0: a standard stream the caller closed",
         [] { return close(STDIN_FILENO) == 0; }},
        {{"-w", photo, dest, "--report", At("fds/1")},
         said + At("fds/1") + ": a standard stream the caller closed",
         [] { return close(STDOUT_FILENO) == 0; }},
        // Standard output, sent to a file, is that file: neither a mask nor a report takes it
        // from the other. Nor is a list on standard input replaced, nor a device read as one.
        {{"-w", photo, "-", "--report", "/dev/stdout"},
         "the report '/dev/stdout' would be replaced by the mask on standard output",
         Redirect(dest, O_WRONLY, STDOUT_FILENO)},
        {{"-w", photo, dest, "--report", "-"},
         "the report (standard output) would be replaced by the mask " + dest,
         Redirect(dest, O_WRONLY, STDOUT_FILENO)},
        {{"-w", "-s-m", "--files-from", "-", "--report", list},
         "the report '" + list + "' would replace a file the batch reads",
         Redirect(list, O_RDONLY, STDIN_FILENO)},
        {{"-w", "-s-m", "--files-from", "/dev/zero"},
         said + "/dev/zero: a device, not a list of names"},
        {{"-w", "-s-m", "--files-from", At("long")},
         said + At("long") +
             ": a name of 4096 bytes or more, longer than any path: is it a list of names?"},
        // Standard input endless, refused at once; an empty file or stream said to be one.
        {{"-w", "-", dest},
         said + "-: not a picture zel7 reads (BMP, JPEG, PNG, TIFF, HEIF or WebP)",
         Redirect("/dev/zero", O_RDONLY, STDIN_FILENO)},
        {{"-w", At("empty.jpg"), dest},
         said + At("empty.jpg") +
             ": not a picture zel7 reads (BMP, JPEG, PNG, TIFF, HEIF or WebP): the file is empty"},
        {{"-w", "-", dest},
         said + "-: not a picture zel7 reads (BMP, JPEG, PNG, TIFF, HEIF or WebP): nothing to read",
         Redirect("/dev/null", O_RDONLY, STDIN_FILENO)},
        {{"-w", "-o", missing, photo, photo},
         said + missing + ": the masks' folder: No such file or directory"},
        {{"-w", "-s-m", "--files-from", At("crlf")},
         said + At("crlf") +
             ": lines end in CR LF, as Windows writes them: "
             "convert the list (tr -d '\\r')"},
        {{"-w", "-o", photo, photo, photo}, said + photo + ": the masks' folder: Not a directory"},
        {{"-w", "-o", locked, photo, photo},
         said + locked + ": the masks' folder: Permission denied",
         DropPrivileges},
    };
    const Strings before = folder_.Entries();
    for (const auto& [arguments, reason, prepare] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const auto result = Run(arguments, [&] {
            return setenv("TMPDIR", At("tmp").c_str(), 1) == 0 && (!prepare || prepare());
        });
        const bool misuse = reason.rfind(said, 0) != 0;
        EXPECT_EQ(result.exitCode, misuse ? 2 : 1);
        EXPECT_TRUE(misuse ? result.err.find(reason) != std::string::npos &&
                                 result.err.find("\nUsage: zel7-mask") != std::string::npos
                           : result.err == reason + "\n")
            << result.err;
        EXPECT_EQ(folder_.Entries(), before) << "a file appeared or vanished";
        EXPECT_TRUE(fs::is_empty(At("tmp")) && fs::is_empty(At("locked")));
    }
    EXPECT_EQ(Read("photo.bmp"), photo_);
    EXPECT_EQ(Read("dest.bmp"), (Bytes{'o', 'l', 'd'}));
    // /dev/null is no endless device but an empty list: a batch of nothing. Nor is a list
    // read from a stream the report is written to replaced where the stream is no file.
    EXPECT_EQ(Run({"-w", "-s-m", "--files-from", "/dev/null"}).exitCode, 0);
    EXPECT_EQ(Run({"-w", "-s-m", "--files-from", "-", "--report", "-"},
                  [] {
                      return Redirect("/dev/null", O_RDONLY, STDIN_FILENO)() &&
                             Redirect("/dev/null", O_WRONLY, STDOUT_FILENO)();
                  })
                  .exitCode,
              0);
    // A refined mask that cannot be trusted (of these random pixels) is written, and said.
    const auto doubtful = Run({"--white", "--studio", photo, At("doubtful.png")});
    EXPECT_EQ(doubtful.exitCode, 0);
    EXPECT_TRUE(doubtful.err.starts_with("zel7-mask: " + photo + ": doubtful mask"))
        << doubtful.err;
    EXPECT_TRUE(fs::is_regular_file(At("doubtful.png")));
    // So is one measured on black of a picture with no black to measure.
    Write("white.bmp", Picture(20, 10, [](std::size_t, uint8_t* bgr) {
                           bgr[0] = bgr[1] = bgr[2] = 250;
                       }).Build());
    const auto offSide = Run({"-b", "-a", At("white.bmp"), At("white.png")});
    EXPECT_EQ(offSide.exitCode, 0);
    EXPECT_TRUE(offSide.err.ends_with("for? (its border is 250, 250, 250, not near black)\n"))
        << offSide.err;
    // The source typed as the one destination, with room to write: replaced.
    EXPECT_EQ(Run({"--white", photo, photo}).exitCode, 0);
    EXPECT_EQ(Read("photo.bmp"), ReferenceMask(photo_, Background::NearWhite));
}

// A batch never writes over one of its own pictures (q.jpg's mask would be q.png), nor
// two masks to one name (two files sharing one both refused, a file named twice keeping it
// by its name first in byte order), whichever shard runs: the plan is of the whole list, and a
// path's shard the same on every machine. Sources come on the command line, or listed by line in a
// file or by NUL on standard input (empty entries skipped, and a list read by lines must hold no
// NUL). Refusals are said first, then each failure once; names are quoted as coreutils does when
// they would reach the terminal raw.
TEST_F(Zel7MaskTest, BatchesRefuseMasksOverTheirPicturesOrEachOther) {
    fs::create_directory(At("a")), fs::create_directory(At("b c"));
    const Strings sources = {"q.jpg", "q.png", "a/x.bmp", "b c/x.bmp"};
    std::string lines = "\n", nuls = std::string(1, '\0');
    for (const std::string& source : sources) {
        Write(source, photo_);  // pictures are told by their contents
        lines += source + "\n\n";
        nuls += source + std::string(2, '\0');
    }
    Write("list", Bytes(lines.begin(), lines.end()));
    Write("list0", Bytes(nuls.begin(), nuls.end()));
    EXPECT_EQ(Run({"-w", "-o", At(""), "--files-from", At("list0")}).err,
              "zel7-mask: " + At("list0") + ": paths with NUL bytes: read the list with -0\n");
    const auto here = [&] {
        return chdir(folder_.Path().c_str()) == 0 && Redirect("list0", O_RDONLY, STDIN_FILENO)();
    };
    // Each source's status in the JSON reports, every line's form checked on the way.
    const std::regex line(
        R"x(\{"source":"([^"]*)","destination":"[^"]*","status":"(written|failed|skipped)",)x"
        R"x("reason":"[^"]*","milliseconds":[0-9]+\.[0-9]\})x");
    Statuses statuses;
    for (const std::string shard : {"0/4", "1/4", "2/4", "3/4"}) {
        const Strings list = shard[0] % 2 ? Strings{"-0", "--files-from=-"}  // 1/4 and 3/4
                                          : Strings{"--files-from", "list"};
        Strings arguments = {"-w", "-o", ".", "--report=-", "--shard", shard};
        arguments.insert(arguments.end(), list.begin(), list.end());
        std::istringstream lines(Run(arguments, here).out);
        for (std::string text; std::getline(lines, text);) {
            std::smatch match;
            EXPECT_TRUE(std::regex_match(text, match, line)) << text;
            EXPECT_TRUE(statuses.emplace(match[1], match[2].str() + " in " + shard).second)
                << "twice: " << text;
        }
    }
    EXPECT_EQ(statuses, (Statuses{{"q.jpg", "failed in 1/4"},
                                  {"q.png", "failed in 3/4"},
                                  {"a/x.bmp", "failed in 0/4"},
                                  {"b c/x.bmp", "failed in 3/4"}}));
    EXPECT_EQ(Read("q.png"), photo_);
    EXPECT_FALSE(fs::exists(At("x.bmp")));
    // (--skip-existing is the terminal's test's second run.) One file named twice keeps
    // its mask, by the name first in byte order, whichever comes first in the list.
    const auto result = Run(
        {"-w", "-j2", "-o", ".", "q.jpg", "q.png", "a/x.bmp", "new\nline.bmp", "./a/x.bmp"}, here);
    const std::string own =
        " would replace a picture being masked; choose another --out-dir "
        "or a --suffix\nzel7-mask: ";
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "zel7-mask: q.jpg: its mask ./q.png" + own + "q.png: its mask ./q.png" + own +
                  "a/x.bmp: another source, ./a/x.bmp, already writes ./x.bmp\nzel7-mask: " +
                  "'new'$'\\n''line.bmp': cannot open file (No such file or directory)\n");
    EXPECT_EQ(Read("x.bmp"), ReferenceMask(photo_, Background::NearWhite));
    // Named twice and nothing else: every mask is written, the repeat skipped with its reason.
    const auto twice = Run({"-w", "-o", ".", "--report=-", "a/x.bmp", "a/x.bmp"}, here);
    EXPECT_EQ(twice.exitCode, 0);
    EXPECT_EQ(twice.err, "zel7-mask: a/x.bmp: listed twice: its first listing stands for it\n");
    EXPECT_TRUE(std::regex_search(
        twice.out, std::regex("\"status\":\"skipped\",\"reason\":\"listed twice[^\n]*\n"
                              "[^\n]*\"status\":\"written\"")))
        << twice.out;
    // A list on standard input is kept as a named one is: no mask replaces it.
    Write("l.jpg", photo_);
    Write("l.png", {});
    const auto fromList = Run({"-w", "-o", ".", "--files-from", "-", "l.jpg"}, [&] {
        return chdir(folder_.Path().c_str()) == 0 && Redirect("l.png", O_RDONLY, STDIN_FILENO)();
    });
    EXPECT_EQ(fromList.exitCode, 1);
    EXPECT_EQ(fromList.err,
              "zel7-mask: l.jpg: its mask ./l.png would replace a list of the sources; choose "
              "another --out-dir or a --suffix\n");
    EXPECT_TRUE(Read("l.png").empty());
}

TEST_F(Zel7MaskTest, ATerminalSeesFinishedFilesCountedAndASummary) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    Write("broken.bmp", {'B', 'M'});
    Write("eight.bmp", ValidPicture(4, 4, 8).Build());  // copied, with a remark
    fs::create_directory(At("out"));
    const Strings arguments = {"-w",      "-j1",           "--skip-existing", "-o",
                               At("out"), At("photo.bmp"), At("eight.bmp"),   At("broken.bmp")};
    for (int run = 0; run < 2; ++run) {  // the second finds the masks there
        EXPECT_EQ(Run(arguments, Redirect(ptsname(master), O_RDWR, STDERR_FILENO)).exitCode, 1);
    }
    // With the program gone the terminal hangs up: reads drain what it wrote, then fail.
    // One read as it exits can come before the terminal has passed everything on.
    std::string screen;
    char chunk[4096];
    for (ssize_t got; (got = read(master, chunk, sizeof chunk)) > 0;) {
        screen.append(chunk, std::size_t(got));
    }
    close(master);
    // Messages start on a cleared line.
    for (const std::string& line :
         {"[1/3] photo.bmp\x1b[K\r\x1b[Kzel7-mask: " + At("eight.bmp") + ": 8-bit picture copied",
          std::string("[3/3] broken.bmp"), std::string("2 written, 1 failed\r\n"),
          std::string("0 written, 1 failed, 2 skipped\r\n")}) {
        EXPECT_NE(screen.find(line), std::string::npos) << line << " in " << screen;
    }
}

// Messages quote every byte a terminal could act on; with standard error closed they go
// nowhere, and nowhere near the report, whose lines a resumed batch keeps whole.
TEST_F(Zel7MaskTest, NamesReachNoTerminalRawAndReportsHoldWholeLines) {
    fs::create_directory(At("out"));
    EXPECT_EQ(
        Run({"-w", "-j1", "-o", At("out"), "\x9b.bmp", "c1\xc2\x9f\xc2\xa0.bmp", "\xed\xa0\x80.bmp",
             "\xc3\xa9.bmp"})  // (a surrogate's UTF-8 is none)
            .err,
        "zel7-mask: $'\\233''.bmp': cannot open file (No such file or directory)\n"
        "zel7-mask: 'c1'$'\\302\\237''\xc2\xa0.bmp': cannot open file (No such file or directory)\n"
        "zel7-mask: $'\\355\\240\\200''.bmp': cannot open file (No such file or directory)\n"
        "zel7-mask: \xc3\xa9.bmp: cannot open file (No such file or directory)\n");
    Write("broken.bmp", {'B', 'M'});
    // The first run killed as it wrote a line; the second, resumed, goes on with the report.
    // (The line cut short ends in a brace, and in a quote escaped: within the name.)
    Strings arguments = {
        "-w", "-j1", "-o", At("out"), "--report", At("report"), At("photo.bmp"), At("broken.bmp")};
    EXPECT_EQ(Run(arguments, [] { return close(STDERR_FILENO) == 0; }).exitCode, 1);
    Bytes report = Read("report");
    const std::string cut = R"({"source":"kil\"})";
    report.insert(report.end(), cut.begin(), cut.end());
    Write("report", report);
    arguments.push_back("--skip-existing");
    EXPECT_EQ(Run(arguments).exitCode, 1);
    report = Read("report");
    report.pop_back();  // a whole line, killed before its newline, is kept
    Write("report", report);
    EXPECT_EQ(Run(arguments).exitCode, 1);
    report = Read("report");
    std::istringstream lines(std::string(report.begin(), report.end()));
    Strings statuses;
    const std::regex whole(R"x(\{"source":"[^"]*","destination":"[^"]*","status":"(\w+)".*\})x");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, whole)) << line;
        statuses.push_back(match[1]);
    }
    EXPECT_EQ(statuses, (Strings{"written", "failed", "skipped", "failed", "skipped", "failed"}));
    // A report that is a pipe no one reads is no success, continued or not.
    EXPECT_NE(
        Run({"-w", "-o", At("out"), "--skip-existing", "--report", "/dev/stdout", At("photo.bmp")},
            [] {
                int ends[2];
                return pipe(ends) == 0 && dup2(ends[1], STDOUT_FILENO) == STDOUT_FILENO &&
                       close(ends[0]) == 0;
            })
            .exitCode,
        0);
}

// Standard input to standard output, in the format --format says, gets the mask a file
// named so gets (the name's extension in any case), whatever order the source's rows come
// in, and nothing at all for a source refused half-way.
TEST_F(Zel7MaskTest, StandardInputToStandardOutputOnlyWhenWhole) {
    const Bytes bottomUp = ValidPicture(300, 200, 24).Build();
    const Bytes topDown = EncodePng(
        {.width = 300, .height = 200, .samples = std::vector<uint16_t>(300 * 200 * 3, 90)});
    Bytes damaged = topDown;
    damaged[damaged.size() - 13] ^= 1;  // the pixels' checksum, found after every row
    const std::pair<Bytes, bool> sources[] = {{bottomUp, true}, {topDown, true}, {damaged, false}};
    for (const auto& [bytes, whole] : sources) {
        for (const auto& [format, name] : {std::pair{"bmp", "mask.BMP"}, {"png", "mask.Png"}}) {
            SCOPED_TRACE(std::to_string(bytes.size()) + " bytes to " + name);
            Write("source", bytes);
            EXPECT_EQ(Run({"-w", At("source"), At(name)}).exitCode, !whole);
            const auto piped = Run({"-w", "--format=" + std::string(format), "-", "-"},
                                   Redirect(At("source"), O_RDONLY, STDIN_FILENO));
            EXPECT_EQ(piped.exitCode, !whole);
            EXPECT_EQ(Bytes(piped.out.begin(), piped.out.end()), whole ? Read(name) : Bytes{});
        }
    }
    // Standard input goes through a temporary file: one that cannot be made is said so.
    const auto nowhere = Run({"-w", "-", At("mask.png")}, [&] {
        return setenv("TMPDIR", At("nowhere").c_str(), 1) == 0 &&
               Redirect(At("source"), O_RDONLY, STDIN_FILENO)();
    });
    EXPECT_EQ(nowhere.exitCode, 1);
    EXPECT_EQ(nowhere.err, "zel7-mask: -: cannot open file: a temporary file in " + At("nowhere") +
                               " (No such file or directory)\n");
}

}  // namespace
}  // namespace zel7
