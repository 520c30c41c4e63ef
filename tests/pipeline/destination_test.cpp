// How a picture file replaces its destination: whole or not at all, private while
// written, never over something that is not a plain file the user may write, and
// never leaving a temporary file behind, whether the file system gives the file a
// name while it is written or not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <utility>

#include "encoders.h"
#include "engine/batch_plan.h"
#include "engine/working_image.h"
#include "run_program.h"
#include "system/system.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

namespace fs = std::filesystem;
using namespace test_support;

// How many of the next hidden names (of temporary files) openat and linkat find taken.
int namesTaken = 0;

bool Taken(const char* path) {
    if (namesTaken == 0 || std::strstr(path, "/.zel7-") == nullptr) {
        return false;
    }
    --namesTaken;
    errno = EEXIST;
    return true;
}

// The error the next flush of a folder fails with, or 0 for none.
int folderFlushError = 0;

bool FolderFlushFails(int fd) {
    struct stat info {};
    if (folderFlushError == 0 || fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
    }
    errno = std::exchange(folderFlushError, 0);
    return true;
}

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

class DestinationTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { ReplacementFile::UseNamedFilesOnly(GetParam()); }
    void TearDown() override { ReplacementFile::UseNamedFilesOnly(false); }

    // A small picture written through SavePicture.
    Result Save(const fs::path& path) {
        static const uint8_t pixels[4] = {1, 2, 3, 0};
        return SavePicture(path, pixels, 1, 1, 24, nullptr);
    }

    ScratchFolder folder_;
};

TEST_P(DestinationTest, IsPrivateWhileWrittenAndGetsItsFinalModeOnCommit) {
    const mode_t previous = ::umask(027);  // not the usual 022, to see that it counts
    WriteWholeFile(folder_ / "kept.bmp", {1});
    chmod((folder_ / "kept.bmp").c_str(), 07604);  // setuid, setgid and sticky: not kept
    for (const auto& [name, finalMode] : {std::pair{"fresh.bmp", 0640}, {"kept.bmp", 0604}}) {
        ReplacementFile file;
        ASSERT_TRUE(file.Create(folder_ / name).Ok());
        struct stat info {};
        ASSERT_EQ(fstat(file.Fd(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
        ASSERT_TRUE(file.Commit().Ok());
        EXPECT_EQ(ModeOf(folder_ / name) & 07777, mode_t(finalMode)) << name;
    }
    ::umask(previous);
}

// Rows held in memory (bottom row first): refused with nothing touched when they are not
// there; written through a link to its target; to a name ending in .png as a one-bit PNG,
// top row first.
TEST_P(DestinationTest, HeldRowsAreRefusedOrWrittenThroughLinksAndAsPng) {
    const uint8_t rows[16] = {0, 0, 0, 255, 255, 255, 0, 0, 255, 255, 255, 0, 0, 0, 0, 0};
    const auto never = folder_ / "never.bmp";
    EXPECT_EQ(SavePicture(never, nullptr, 2, 2, 24, nullptr).status, Status::NoPixels);
    EXPECT_EQ(SavePicture(never, rows, 2, 2, 8, nullptr).status, Status::NoColorTable);
    EXPECT_EQ(SavePicture(never, rows, -2, 2, 24, nullptr).status, Status::NegativeSize);
    EXPECT_TRUE(folder_.Entries().empty());
    ASSERT_TRUE(SavePicture(folder_ / "m.png", rows, 2, 2, 24, nullptr).Ok());
    const PngPicture png = DecodePng(ReadWholeFile(folder_ / "m.png"));
    EXPECT_EQ(std::pair(png.bitDepth, png.samples),
              std::pair(uint8_t(1), std::vector<uint16_t>{255, 0, 0, 255}));
    WriteWholeFile(folder_ / "target.bmp", {1});
    fs::create_symlink("target.bmp", folder_ / "link.bmp");
    fs::create_symlink("absent.bmp", folder_ / "dangling.bmp");
    ASSERT_TRUE(Save(folder_ / "link.bmp").Ok() && Save(folder_ / "dangling.bmp").Ok());
    EXPECT_TRUE(fs::is_symlink(folder_ / "link.bmp"));
    EXPECT_EQ(fs::file_size(folder_ / "target.bmp"), 58u);
    EXPECT_EQ(fs::file_size(folder_ / "absent.bmp"), 58u);
}

TEST_P(DestinationTest, RefusedDestinationsAreLeftAsTheyWere) {
    ASSERT_EQ(mkfifo((folder_ / "fifo").c_str(), 0666), 0);
    fs::create_directory(folder_ / "folder");
    WriteWholeFile(folder_ / "read-only.bmp", {7});
    fs::permissions(folder_ / "read-only.bmp", fs::perms(0444));
    // A device node of our own, so that a fault replaces nothing of the system's.
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(mknod((folder_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    // A link to a pipe, as /dev/stdout is to a shell's, whose own link reads "pipe:[..]".
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fs::create_symlink("/proc/self/fd/" + std::to_string(ends[1]), folder_ / "pipe");
    const std::tuple<const char*, bool, std::string> cases[] = {
        {"fifo", false, "not a regular file; left as it is"},
        {"pipe", false, "not a regular file; left as it is"},
        {"folder", false, "cannot create file (Is a directory)"},
        {"missing/dest.bmp", false, "cannot create file (No such file or directory)"},
        {"read-only.bmp", true, "not writable; left as it is (Permission denied)"},
        {root ? "null" : "fifo", false, "not a regular file; left as it is"},
    };
    fs::permissions(folder_.Path(), fs::perms(0777));
    for (const auto& [name, unprivileged, expected] : cases) {
        SCOPED_TRACE(name);
        const auto before = folder_.Entries();
        const mode_t type = fs::exists(folder_ / name) ? ModeOf(folder_ / name) : 0;
        EXPECT_TRUE(InChild([&] {
            return (!unprivileged || DropPrivileges()) &&
                   Describe(Save(folder_ / name)) == expected;
        }));
        EXPECT_EQ(folder_.Entries(), before);
        if (type != 0) {
            EXPECT_EQ(ModeOf(folder_ / name), type);
        }
    }
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(ReadWholeFile(folder_ / "read-only.bmp"), Bytes{7});
    if (root) {  // as for cp, the owner's bits do not stop root
        EXPECT_TRUE(Save(folder_ / "read-only.bmp").Ok());
    }
}

// Killed by a signal while writing: the mask being written goes with the process,
// unless the signal is one the caller chose to ignore (as nohup does); inside an output
// folder too, where the hidden name is relative to its folder.
TEST_P(DestinationTest, FatalSignalsLeaveNoTemporaryFileAndIgnoredOnesStayIgnored) {
    // The signals a user's shell and terminal send; CleanUpOnFatalSignals takes every
    // other fatal one the same way.
    const std::tuple<int, bool, bool> cases[] = {{SIGINT, false, false}, {SIGTERM, false, false},
                                                 {SIGHUP, false, false}, {SIGPIPE, false, false},
                                                 {SIGHUP, true, false},  {SIGTERM, false, true},
                                                 {SIGHUP, true, true}};
    for (const auto& [sig, ignoredBefore, inside] : cases) {
        SCOPED_TRACE(strsignal(sig) + std::string(ignoredBefore ? ", ignored" : "") +
                     (inside ? ", inside" : ""));
        const bool survived = InChild([&] {
            if (ignoredBefore) {
                signal(sig, SIG_IGN);
            }
            CleanUpOnFatalSignals();
            sigset_t blocked;  // nothing blocked, for threads and children to inherit
            if (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0 || sigismember(&blocked, sig)) {
                return false;
            }
            ReplacementFile file;
            const fs::path within = inside ? folder_.Path() : fs::path();
            if (!file.Create(folder_ / "dest.bmp", within).Ok() ||
                write(file.Fd(), "partial", 7) != 7) {
                return false;
            }
            raise(sig);
            // Alive past a signal not ignored is a failure, whatever Commit says.
            return file.Commit().Ok() || !ignoredBefore;
        });
        EXPECT_EQ(survived, ignoredBefore);
        EXPECT_EQ(folder_.Entries(), ignoredBefore ? std::vector<std::string>{"dest.bmp"}
                                                   : std::vector<std::string>{});
        fs::remove(folder_ / "dest.bmp");
    }
}

// A hidden name found taken is drawn anew, a hundred times at most: for the file while it
// is written (named) or for the one that replaces an existing file (unnamed).
// A mask whose folder cannot be flushed after it is named is not reported as written (it
// may not outlast a power cut), unless the file system cannot flush folders at all.
TEST_P(DestinationTest, AFolderFlushThatFailsIsAFailure) {
    for (const auto& [error, expected] :
         {std::pair{EIO, "cannot write file (Input/output error)"}, {EINVAL, "success"}}) {
        for (const bool existing : {false, true}) {
            SCOPED_TRACE(std::to_string(error) + (existing ? " replacing" : " new"));
            const fs::path dest = folder_ / "dest.bmp";
            fs::remove(dest);
            if (existing) {
                WriteWholeFile(dest, {7});
            }
            folderFlushError = error;
            EXPECT_EQ(Describe(Save(dest)), expected);
            EXPECT_EQ(folderFlushError, 0);  // (the folder was flushed)
            EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"dest.bmp"});
        }
    }
}

TEST_P(DestinationTest, ATakenTemporaryNameIsDrawnAgainAHundredTimesAtMost) {
    WriteWholeFile(folder_ / "dest.bmp", {1});
    EXPECT_EQ(Describe((namesTaken = 99, Save(folder_ / "dest.bmp"))), "success");
    EXPECT_EQ(Describe((namesTaken = 100, Save(folder_ / "dest.bmp"))),
              GetParam() ? "cannot create file (File exists)" : "cannot write file (File exists)");
    EXPECT_EQ(namesTaken, 0);
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"dest.bmp"});
    EXPECT_EQ(fs::file_size(folder_ / "dest.bmp"), 58u);
    // Each hidden name's slot, where the fatal-signal handler finds it, is given back on
    // commit: a batch run again replaces more masks than the process has slots.
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(Describe(Save(folder_ / "dest.bmp")), "success") << "replacement " << i;
    }
}

// Inside an output folder, the folders of a destination are made as needed, and nothing
// is reached through a symbolic link, wherever it points: the file is refused and nothing
// outside written.
TEST_P(DestinationTest, InsideAFolderMakesItsFoldersAndFollowsNoLink) {
    const fs::path out = folder_ / "out";
    fs::create_directories(out / "kept");
    WriteWholeFile(folder_ / "x.bmp", {7});
    fs::create_directory_symlink("kept", out / "near");
    fs::create_symlink(folder_ / "x.bmp", out / "x.bmp");
    const std::string link = "a symbolic link on the way; not followed out of the output folder";
    const std::pair<std::string, std::string> cases[] = {
        {"a/b/c.bmp", "success"},
        {"kept/c.bmp", "success"},
        {"near/new/c.bmp", link},
        {"x.bmp", link},
        {"a/../../c.bmp", "cannot create file (Invalid argument)"},
    };
    for (const auto& [below, expected] : cases) {
        SCOPED_TRACE(below);
        ReplacementFile file;
        Result result = file.Create(out / below, out);
        if (result.Ok()) {
            EXPECT_EQ(write(file.Fd(), "mask", 4), 4);
            result = file.Commit();
            EXPECT_EQ(ReadWholeFile(out / below), (Bytes{'m', 'a', 's', 'k'}));
        }
        EXPECT_EQ(Describe(result), expected);
    }
    // --skip-existing finds what the writer would reach: no mask through a link.
    const std::string source = folder_ / "x.bmp", through = out / "near/c.bmp";
    EXPECT_EQ(std::tuple(IsUpToDate(source, out / "kept/c.bmp", out),
                         IsUpToDate(source, through, out), IsUpToDate(source, through)),
              std::tuple(true, false, true));
    ReplacementFile beside;  // a name that only begins with the folder's
    EXPECT_EQ(Describe(beside.Create(folder_ / "outer.bmp", out)),
              "cannot create file (Invalid argument)");
    EXPECT_EQ(ReadWholeFile(folder_ / "x.bmp"), Bytes{7});
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"out", "x.bmp"}));
    EXPECT_TRUE(fs::is_symlink(out / "x.bmp"));
}

INSTANTIATE_TEST_SUITE_P(NamedOrNot, DestinationTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

}  // namespace
}  // namespace zel7

// Every call of the program's goes through these, to the system's own: hidden names are
// opened by openat, relative to their folder, and given to unnamed files by linkat.
extern "C" int openat(int folder, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const bool created = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    const int mode = created ? va_arg(rest, int) : 0;
    va_end(rest);
    return zel7::Taken(path) ? -1 : int(syscall(SYS_openat, folder, path, flags, mode));
}
extern "C" int fsync(int fd) {
    return zel7::FolderFlushFails(fd) ? -1 : int(syscall(SYS_fsync, fd));
}
extern "C" int linkat(int from, const char* old, int to, const char* path, int flags) {
    return zel7::Taken(path) ? -1 : int(syscall(SYS_linkat, from, old, to, path, flags));
}
