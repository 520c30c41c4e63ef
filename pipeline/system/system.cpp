#include "system/system.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

namespace zel7 {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    Close();
}

int UniqueFd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

int UniqueFd::Close() {
    if (fd_ < 0) {
        return 0;
    }
    // On Linux the descriptor is gone even when close fails, so it is never retried.
    int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return result;
}

int OpenRegularFileForReading(const std::filesystem::path& path, UniqueFd& fd, uint64_t& size) {
    // O_NONBLOCK keeps a FIFO without a writer from hanging the open.
    UniqueFd opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!opened.IsOpen()) {
        return errno;
    }
    struct stat info {};
    if (::fstat(opened.Get(), &info) != 0) {
        return errno;
    }
    if (S_ISDIR(info.st_mode)) {
        return EISDIR;
    }
    if (!S_ISREG(info.st_mode)) {
        return EINVAL;
    }
    // A regular file: reads may block as usual (on a network file system they must).
    const int flags = ::fcntl(opened.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(opened.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return errno;
    }
    size = static_cast<uint64_t>(info.st_size);
    fd = std::move(opened);
    return 0;
}

int IdentifyFile(const std::filesystem::path& path, FileId& id) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return errno;
    }
    id = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return 0;
}

int IdentifyStandardStream(StandardStream stream, FileId& id) {
    struct stat info {};
    if (::fstat(stream == StandardStream::kInput ? STDIN_FILENO : STDOUT_FILENO, &info) != 0) {
        return errno;
    }
    if (!S_ISREG(info.st_mode)) {
        return EINVAL;
    }
    id = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return 0;
}

bool IsDevice(std::FILE* file) {
    struct stat info {};
    const int fd = ::fileno(file);
    // (but /dev/null, Linux's 1:3, which reads as empty: a list of nothing)
    return ::fstat(fd, &info) == 0 &&
           (S_ISBLK(info.st_mode) ||
            (S_ISCHR(info.st_mode) && ::isatty(fd) == 0 && info.st_rdev != ::makedev(1, 3)));
}

int CheckWritableFolder(const std::filesystem::path& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return errno;
    }
    if (!S_ISDIR(info.st_mode)) {
        return ENOTDIR;
    }
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int ReadExactlyAt(int fd, uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (got == 0) {
            return ENODATA;
        }
        out += got;
        offset += static_cast<uint64_t>(got);
        size -= static_cast<std::size_t>(got);
    }
    return 0;
}

int WriteAllAt(int fd, const void* data, std::size_t size, uint64_t offset) {
    auto* in = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, in, size, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (put == 0) {
            return EIO;
        }
        in += put;
        offset += static_cast<uint64_t>(put);
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

int WriteAll(int fd, const void* data, std::size_t size) {
    auto* in = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t put = ::write(fd, in, size);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (put == 0) {
            return EIO;
        }
        in += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

namespace {

// Named temporary files, where a fatal-signal handler can find them. A slot's path is
// written only while the slot is Claimed, which the handler skips, and never again
// once the handler has taken it, so the handler never reads a path being rewritten.
enum SlotState : int { kFree, kClaimed, kLive, kDying };
struct TemporaryName {
    std::atomic<int> state{kFree};
    int folder = 0;  // what path is relative to, open while the slot is live
    char path[PATH_MAX] = {};
};
// (all zero, so that the slots' megabyte is no page of memory until one is claimed: each
// page an initial value had touched cost every start a page fault)
constexpr int kTemporaryNameSlots = 256;  // at least the number of jobs zel7-mask runs
std::array<TemporaryName, kTemporaryNameSlots> temporaryNames;
// One past the last slot ever claimed: the handler looks no further, so that a dying
// process does not fault in the pages of slots never used.
std::atomic<int> slotsClaimed{0};
std::atomic<bool> dying{false};
std::atomic<bool> namedFilesOnly{false};

int ClaimSlot(int folder, const std::string& path) {
    if (path.size() >= PATH_MAX) {
        return -1;
    }
    for (int i = 0; i < kTemporaryNameSlots; ++i) {
        int expected = kFree;
        if (temporaryNames[i].state.compare_exchange_strong(expected, kClaimed)) {
            int claimed = slotsClaimed.load();
            while (claimed <= i && !slotsClaimed.compare_exchange_weak(claimed, i + 1)) {
            }
            temporaryNames[i].folder = folder;
            std::memcpy(temporaryNames[i].path, path.c_str(), path.size() + 1);
            temporaryNames[i].state.store(kLive);
            return i;
        }
    }
    return -1;
}

void ReleaseSlot(int slot) {
    int expected = kLive;
    // When the handler has taken the slot, the process is ending: leave it to it.
    temporaryNames[slot].state.compare_exchange_strong(expected, kFree);
}

void RemoveTemporaryNames(int signal) {
    dying.store(true);
    const int claimed = slotsClaimed.load();
    for (int i = 0; i < claimed; ++i) {
        TemporaryName& name = temporaryNames[std::size_t(i)];
        int expected = kLive;
        if (name.state.compare_exchange_strong(expected, kDying)) {
            ::unlinkat(name.folder, name.path, 0);
        }
    }
    // The handler was reset to the default action on entry: die of the signal, as
    // whoever sent it expects.
    ::raise(signal);
}

mode_t ProcessUmask() {
    // /proc tells without changing it, which setting and restoring it would, for every
    // thread at once.
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Umask:")) {
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
        }
    }
    const mode_t current = ::umask(022);
    ::umask(current);
    return current;
}

// Follows symbolic links in the last component, so that writing through a link
// replaces its target and keeps the link.
int ResolveFinalLinks(const std::string& path, std::string& resolved) {
    resolved = path;
    // A link to what is neither a file nor a folder stays as it is, to be refused as
    // such: a pipe behind /dev/stdout is reached through a link that reads "pipe:[..]",
    // which names nothing.
    if (struct stat status; ::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) &&
                            !S_ISDIR(status.st_mode)) {
        return 0;
    }
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        ssize_t length = ::readlink(resolved.c_str(), target, sizeof target);
        if (length < 0) {
            return errno == EINVAL || errno == ENOENT ? 0 : errno;  // not a link, or new
        }
        if (static_cast<std::size_t>(length) == sizeof target) {
            return ENAMETOOLONG;
        }
        std::string next(target, static_cast<std::size_t>(length));
        if (next.front() != '/') {
            auto slash = resolved.rfind('/');
            if (slash != std::string::npos) {
                next = resolved.substr(0, slash + 1) + next;
            }
        }
        resolved = std::move(next);
    }
    return ELOOP;
}

std::string FolderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string TemporaryPath(const std::string& folder) {
    static thread_local std::mt19937_64 random{
        std::random_device{}() ^ std::hash<std::thread::id>{}(std::this_thread::get_id())};
    char name[40];
    std::snprintf(name, sizeof name, "/.zel7-%016llx.tmp",
                  static_cast<unsigned long long>(random()));
    return folder + name;
}

// Errors of chmod that mean the file system keeps no permission bits (vfat, some
// network shares): the file is still good.
bool PermissionsUnsupported(int error) {
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// Where temporary files go: TMPDIR, or /tmp.
const char* TemporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

// An unnamed file in TemporaryFolder(), gone when closed.
int CreateUnnamedTemporaryFile(UniqueFd& file) {
    const char* folder = TemporaryFolder();
    file = UniqueFd(::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (file.IsOpen()) {
        return 0;
    }
    // No unnamed files here: a named one, unnamed at once.
    const std::string path = TemporaryPath(folder);
    file = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file.IsOpen()) {
        return errno;
    }
    ::unlink(path.c_str());
    return 0;
}

}  // namespace

Result ScratchFile::Create() {
    if (int error = CreateUnnamedTemporaryFile(fd_)) {
        return {Status::CannotCreate, error,
                std::string("a temporary file in ") + TemporaryFolder()};
    }
    return {};
}

Result ScratchFile::WriteAt(const void* data, std::size_t size, uint64_t offset) {
    if (int error = WriteAllAt(fd_.Get(), data, size, offset)) {
        return {Status::CannotWrite, error,
                std::string("a temporary file in ") + TemporaryFolder()};
    }
    return {};
}

Result ScratchFile::ReadAt(void* into, std::size_t size, uint64_t offset) const {
    if (int error = ReadExactlyAt(fd_.Get(), offset, into, size)) {
        return {Status::ReadFailed, error, std::string("a temporary file in ") + TemporaryFolder()};
    }
    return {};
}

namespace {

// The part of path below root, by name alone ("out/a/b.png" in "out" is a/b.png), when it
// lies there and names a file; null otherwise.
std::optional<std::filesystem::path> FileBelow(const std::filesystem::path& path,
                                               const std::filesystem::path& root) {
    const std::string& whole = path.native();
    const std::string& folder = root.native();
    std::size_t start = folder.size();
    if (whole.compare(0, folder.size(), folder) != 0 ||
        (folder.back() != '/' && (whole.size() == start || whole[start] != '/'))) {
        return std::nullopt;
    }
    while (start < whole.size() && whole[start] == '/') {
        ++start;
    }
    std::filesystem::path below = whole.substr(start);
    const std::string leaf = below.filename().native();
    if (leaf.empty() || leaf == "." || leaf == "..") {
        return std::nullopt;
    }
    return below;
}

}  // namespace

std::optional<int64_t> RegularFileChanged(const std::filesystem::path& path,
                                          const std::filesystem::path& inside) {
    struct stat info {};
    if (inside.empty()) {
        if (::stat(path.c_str(), &info) != 0) {
            return std::nullopt;
        }
    } else {
        const std::optional<std::filesystem::path> below = FileBelow(path, inside);
        UniqueFd folder;
        if (!below || OpenFolderBelow(inside, below->parent_path(), false, folder) != 0 ||
            ::fstatat(folder.Get(), below->filename().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return std::nullopt;
        }
    }
    if (!S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

int OpenFolderBelow(const std::filesystem::path& root, const std::filesystem::path& below,
                    bool create, UniqueFd& folder) {
    UniqueFd at(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!at.IsOpen()) {
        return errno;
    }
    for (const std::filesystem::path& part : below) {
        const std::string& name = part.native();
        if (name.empty() || name == "." || name == "..") {
            return EINVAL;
        }
        // O_NOFOLLOW refuses a link however it came there, even one swapped in for a
        // folder just made.
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        UniqueFd next(::openat(at.Get(), name.c_str(), kFlags));
        if (!next.IsOpen() && errno == ENOENT && create) {
            if (::mkdirat(at.Get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
                return errno;
            }
            next = UniqueFd(::openat(at.Get(), name.c_str(), kFlags));
        }
        if (!next.IsOpen() && errno == EACCES) {
            // A folder that may be searched but not read still takes files.
            next = UniqueFd(::openat(at.Get(), name.c_str(), kFlags | O_PATH));
        }
        if (!next.IsOpen()) {
            // O_DIRECTORY may speak first: ENOTDIR for a link, whatever it points to.
            const int error = errno;
            struct stat info {};
            const bool link = ::fstatat(at.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISLNK(info.st_mode);
            return link ? ELOOP : error;
        }
        at = std::move(next);
    }
    folder = std::move(at);
    return 0;
}

// Whether what is at the target (at_, target_) may be replaced, and the new file's mode:
// flags AT_SYMLINK_NOFOLLOW refuses a link instead of looking through it.
Result ReplacementFile::Examine(int flags) {
    struct stat existing {};
    if (::fstatat(at_, target_.c_str(), &existing, flags) == 0) {
        if (S_ISLNK(existing.st_mode)) {
            return Fail(Status::SymbolicLink);
        }
        if (S_ISDIR(existing.st_mode)) {
            return Fail(Status::CannotCreate, EISDIR);
        }
        if (!S_ISREG(existing.st_mode)) {
            return Fail(Status::DestinationNotRegular);
        }
        // As cp does: a file the user may not write is not replaced behind their back.
        if (::faccessat(at_, target_.c_str(), W_OK, AT_EACCESS) != 0) {
            return Fail(Status::DestinationReadOnly, errno);
        }
        // Its permissions, but not setuid, setgid or sticky: as cp without -p, a new
        // file's content earns no privilege the old one had.
        finalMode_ = existing.st_mode & 0777;
        replacing_ = true;
    } else if (errno == ENOENT) {
        finalMode_ = 0666 & ~ProcessUmask();
        replacing_ = false;
    } else {
        return Fail(Status::CannotCreate, errno);
    }
    return {};
}

Result ReplacementFile::Create(const std::filesystem::path& destination,
                               const std::filesystem::path& inside) {
    Abort();
    at_ = AT_FDCWD;
    if (!inside.empty()) {
        return CreateInside(destination, inside);
    }
    if (int error = ResolveFinalLinks(destination.string(), target_)) {
        return Fail(Status::CannotCreate, error);
    }
    if (Result result = Examine(0); !result.Ok()) {
        return result;
    }

    folder_ = FolderOf(target_);
    // The folder is kept open to flush it after the rename; a folder that may be
    // searched but not read still takes the file, without that flush.
    folderFd_ = UniqueFd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd_.IsOpen() && errno != EACCES) {
        return Fail(Status::CannotCreate, errno);
    }
    if (!namedFilesOnly.load()) {
        fd_ = UniqueFd(::open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
        if (fd_.IsOpen()) {
            return {};
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return Fail(Status::CannotCreate, errno);
        }
    }
    return CreateNamed();
}

Result ReplacementFile::CreateInside(const std::filesystem::path& destination,
                                     const std::filesystem::path& inside) {
    const std::optional<std::filesystem::path> below = FileBelow(destination, inside);
    if (!below) {
        return Fail(Status::CannotCreate, EINVAL);  // planned wrong: never outside
    }
    const std::string leaf = below->filename().native();
    if (int error = OpenFolderBelow(inside, below->parent_path(), true, folderFd_)) {
        return Fail(error == ELOOP ? Status::SymbolicLink : Status::CannotCreate,
                    error == ELOOP ? 0 : error);
    }
    at_ = folderFd_.Get();
    target_ = leaf;
    folder_.assign(1, '.');  // (a literal assigned draws GCC 12's false -Wrestrict at -O3)
    // Replaced, a link would go as a link; writing through it could leave the folder.
    if (Result result = Examine(AT_SYMLINK_NOFOLLOW); !result.Ok()) {
        return result;
    }
    if (!namedFilesOnly.load()) {
        fd_ = UniqueFd(::openat(at_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
        if (fd_.IsOpen()) {
            return {};
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return Fail(Status::CannotCreate, errno);
        }
    }
    return CreateNamed();
}

Result ReplacementFile::CreateNamed() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = TemporaryPath(folder_);
        slot_ = ClaimSlot(at_, path);
        if (slot_ < 0) {
            return Fail(Status::CannotCreate, EMFILE);
        }
        fd_ = UniqueFd(::openat(at_, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd_.IsOpen()) {
            return {};
        }
        const int error = errno;
        ReleaseSlot(slot_);
        slot_ = -1;
        if (error != EEXIST) {
            return Fail(Status::CannotCreate, error);
        }
    }
    return Fail(Status::CannotCreate, EEXIST);
}

// Links an unnamed file into its folder under a fresh hidden name (the handler knows
// it until it is renamed), or returns the name a named one has.
int ReplacementFile::GiveName(std::string& name) {
    if (slot_ >= 0) {
        name = temporaryNames[slot_].path;
        return 0;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = TemporaryPath(folder_);
        slot_ = ClaimSlot(at_, name);
        if (slot_ < 0) {
            return EMFILE;
        }
        const int error = LinkAs(name);
        if (error == 0) {
            return 0;
        }
        ReleaseSlot(slot_);
        slot_ = -1;
        if (error != EEXIST) {
            return error;
        }
    }
    return EEXIST;
}

int ReplacementFile::LinkAs(const std::string& name) const {
    // Through /proc any user may link the file; AT_EMPTY_PATH needs a privilege.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
    int linked = ::linkat(AT_FDCWD, self.c_str(), at_, name.c_str(), AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT) {
        linked = ::linkat(fd_.Get(), "", at_, name.c_str(), AT_EMPTY_PATH);
    }
    return linked == 0 ? 0 : errno;
}

Result ReplacementFile::Commit() {
    if (!fd_.IsOpen()) {
        return Fail(Status::CannotWrite, EBADF);
    }
    int error = 0;
    if (::fchmod(fd_.Get(), finalMode_) != 0 && !PermissionsUnsupported(errno)) {
        error = errno;
    }
    if (error == 0 && ::fsync(fd_.Get()) != 0) {
        error = errno;
    }
    // An unnamed file for a destination that is not there is linked straight to its
    // name: no hidden name ever exists, so that even SIGKILL, which no handler sees,
    // leaves nothing behind. A file that appeared meanwhile (EEXIST) is replaced as any
    // existing one is, through a hidden name and a rename.
    const bool placed = error == 0 && !replacing_ && slot_ < 0 && LinkAs(target_) == 0;
    std::string name;
    if (error == 0 && !placed) {
        error = GiveName(name);
    }
    if (int closeError = fd_.Close(); error == 0) {
        error = closeError;
    }
    if (error == 0 && !placed && dying.load()) {
        error = ECANCELED;  // a fatal signal is removing the file already
    }
    if (error == 0 && !placed && ::renameat(at_, name.c_str(), at_, target_.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        Abort();
        return Fail(Status::CannotWrite, error);
    }
    if (slot_ >= 0) {
        ReleaseSlot(slot_);
        slot_ = -1;
    }
    // The rename (or link) itself must reach the disk; file systems that cannot flush a folder
    // (EINVAL), or a folder opened without read access (EBADF), keep it as well as they can.
    // Any other failure (a disk's EIO) leaves the mask in place, but not known to last: it
    // is not reported as written.
    int flushed = 0;
    if (folderFd_.IsOpen() && ::fsync(folderFd_.Get()) != 0 && errno != EINVAL && errno != EBADF) {
        flushed = errno;
    }
    folderFd_.Close();
    if (flushed != 0) {
        return Fail(Status::CannotWrite, flushed);
    }
    return {};
}

void ReplacementFile::Abort() {
    fd_.Close();
    if (slot_ >= 0) {
        ::unlinkat(at_, temporaryNames[slot_].path, 0);
        ReleaseSlot(slot_);
        slot_ = -1;
    }
    // Only now: the hidden name may be relative to it.
    folderFd_.Close();
    at_ = AT_FDCWD;
}

void ReplacementFile::UseNamedFilesOnly(bool namedOnly) {
    namedFilesOnly.store(namedOnly);
}

Result OutputFile::Create(const std::filesystem::path& path, const std::filesystem::path& inside) {
    standardOutput_ = path == "-" && inside.empty();
    if (!standardOutput_) {
        return file_.Create(path, inside);
    }
    if (int error = CreateUnnamedTemporaryFile(gathered_)) {
        return Fail(Status::CannotCreate, error);
    }
    return {};
}

Result OutputFile::Write(const void* data, std::size_t size) {
    if (int error = WriteAll(Fd(), data, size)) {
        Abort();
        return Fail(Status::CannotWrite, error);
    }
    return {};
}

Result OutputFile::WriteAt(const void* data, std::size_t size, uint64_t offset) {
    if (int error = WriteAllAt(Fd(), data, size, offset)) {
        Abort();
        return Fail(Status::CannotWrite, error);
    }
    return {};
}

Result OutputFile::Commit() {
    if (!standardOutput_) {
        return file_.Commit();
    }
    // Everything is there: only now does any of it reach standard output.
    std::vector<char> buffer(std::size_t{1} << 18);
    for (uint64_t offset = 0;;) {
        ssize_t got = ::pread(gathered_.Get(), buffer.data(), buffer.size(), off_t(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            Abort();
            return Fail(Status::CannotWrite, error);
        }
        if (got == 0) {
            break;
        }
        if (int error = WriteAll(STDOUT_FILENO, buffer.data(), std::size_t(got))) {
            Abort();
            return Fail(Status::CannotWrite, error);
        }
        offset += uint64_t(got);
    }
    gathered_.Close();
    return {};
}

void OutputFile::Abort() {
    file_.Abort();
    gathered_.Close();
}

int DuplicateFd(const UniqueFd& fd, UniqueFd& copy) {
    const int duplicate = ::fcntl(fd.Get(), F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        return errno;
    }
    copy = UniqueFd(duplicate);
    return 0;
}

Result SpoolToTemporaryFile(int fd, std::size_t probeBytes,
                            const std::function<bool(std::span<const uint8_t>)>& accept,
                            uint64_t maxBytes, UniqueFd& spooled, uint64_t& size) {
    // The copy is the source's: a temporary file that fails is said as the source not
    // opened, with the file named, and not taken for the destination's fault.
    const auto unopened = [](const Result& scratch) {
        return Result{Status::CannotOpen, scratch.osError, scratch.detail};
    };
    ScratchFile file;
    if (Result result = file.Create(); !result.Ok()) {
        return unopened(result);
    }
    std::vector<uint8_t> buffer(std::size_t{1} << 16);
    std::vector<uint8_t> head;  // the first probeBytes, until they are judged
    bool judged = false;
    size = 0;
    for (;;) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            // (standard input a folder: no stream of bytes at all)
            return errno == EISDIR || errno == EINVAL ? Fail(Status::NotRegularFile)
                                                      : Fail(Status::ReadFailed, errno);
        }
        const bool ended = got == 0;
        if (!judged) {
            const auto wanted = std::min(std::size_t(got), probeBytes - head.size());
            head.insert(head.end(), buffer.begin(), buffer.begin() + std::ptrdiff_t(wanted));
            if (head.size() == probeBytes || ended) {
                if (!accept(head)) {
                    return head.empty() ? Fail(Status::UnknownFormat, "nothing to read")
                                        : Fail(Status::UnknownFormat);
                }
                judged = true;
            }
        }
        if (ended) {
            break;
        }
        if (uint64_t(got) > maxBytes - size) {
            return Fail(Status::TooManyPixels);
        }
        if (Result result = file.WriteAt(buffer.data(), std::size_t(got), size); !result.Ok()) {
            return unopened(result);
        }
        size += uint64_t(got);
    }
    spooled = file.Release();
    return {};
}

void CleanUpOnFatalSignals() {
    for (int signal = 1; signal < NSIG; ++signal) {
        switch (signal) {
            case SIGKILL:
            case SIGSTOP:  // cannot be caught
            case SIGCHLD:
            case SIGCONT:
            case SIGURG:
            case SIGWINCH:  // ignored by default
            case SIGTSTP:
            case SIGTTIN:
            case SIGTTOU:  // stop, and the program goes on later
                continue;
        }
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
            continue;  // ignored or handled by someone else: theirs to keep
        }
        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        if (signal == SIGXFSZ) {
            // Past a file-size limit, write fails with EFBIG: an ordinary error.
            action.sa_handler = SIG_IGN;
        } else {
            action.sa_handler = RemoveTemporaryNames;
            action.sa_flags = SA_RESETHAND | SA_NODEFER;
        }
        ::sigaction(signal, &action, nullptr);
    }
}

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

namespace {

// The first number in a file of the control groups' ("max", -1 and absent files say
// none).
std::optional<uint64_t> ReadLimit(const std::string& path) {
    std::ifstream file(path);
    int64_t value = 0;
    if (file >> value && value > 0) {
        return uint64_t(value);
    }
    return std::nullopt;
}

// The folders of the control groups this process is in, for one controller of the first
// version and the unified hierarchy, each with its parents: a group's limit binds every
// group below it, so the least of them holds.
std::vector<std::string> ControlGroupFolders(std::string_view controller) {
    std::vector<std::string> folders;
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        // (Appended piece by piece: GCC 12 at -O3 warns falsely of overlapping copies in
        // "," + text + ",".)
        std::string controllers = ",", wanted = ",";
        controllers.append(line, first + 1, second - first - 1).append(",");
        wanted.append(controller).append(",");
        std::string mount;
        if (controllers == ",,") {
            mount = ::access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0
                        ? "/sys/fs/cgroup"
                        : "/sys/fs/cgroup/unified";
        } else if (controllers.find(wanted) != std::string::npos) {
            mount = "/sys/fs/cgroup/" + std::string(controller);
        } else {
            continue;
        }
        // Inside a container the group's path may be the host's, which its mount lacks.
        for (std::string path = line.substr(second + 1);;) {
            folders.push_back(mount + path);
            const std::size_t slash = path.rfind('/');
            if (path.empty() || path == "/" || slash == std::string::npos) {
                break;
            }
            path.resize(slash);
        }
    }
    return folders;
}

}  // namespace

uint64_t PhysicalMemoryBytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
    uint64_t memory = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
    for (const std::string& folder : ControlGroupFolders("memory")) {
        for (const char* file : {"/memory.max", "/memory.limit_in_bytes"}) {
            if (const std::optional<uint64_t> limit = ReadLimit(folder + file);
                limit && *limit > 0 && (memory == 0 || *limit < memory)) {
                memory = *limit;
            }
        }
    }
    return memory;
}

unsigned UsableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    unsigned processors = ::sched_getaffinity(0, sizeof set, &set) == 0
                              ? unsigned(CPU_COUNT(&set))
                              : std::thread::hardware_concurrency();
    for (const std::string& folder : ControlGroupFolders("cpu")) {
        // The unified hierarchy's "quota period", or the first version's two files.
        std::ifstream both(folder + "/cpu.max");
        std::optional<uint64_t> quota, period;
        if (int64_t q = 0, p = 0; both >> q >> p) {
            quota = q > 0 ? std::optional(uint64_t(q)) : std::nullopt, period = uint64_t(p);
        } else {
            quota = ReadLimit(folder + "/cpu.cfs_quota_us");
            period = ReadLimit(folder + "/cpu.cfs_period_us");
        }
        if (quota && period && *period > 0) {
            processors = unsigned(std::min<uint64_t>(processors, (*quota - 1) / *period + 1));
        }
    }
    return std::max(processors, 1u);
}

namespace {
std::array<bool, 3> closedStreams{};
}  // namespace

void OpenStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // The lowest free number is the one closed: open takes it. (Without /dev/null, as
        // in a bare chroot, there is nothing better to take it with.)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            closedStreams[std::size_t(fd)] = true;
            // Opened the wrong way round, so that using it still fails (EBADF) as using
            // the closed one would: a mask to a closed standard output is no success.
            const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
            if (opened != fd) {
                if (opened >= 0) {
                    ::close(opened);
                }
                return;
            }
        }
    }
}

bool NamesClosedStream(const std::filesystem::path& path) {
    if (std::find(closedStreams.begin(), closedStreams.end(), true) == closedStreams.end()) {
        return false;
    }
    namespace fs = std::filesystem;
    // This process's descriptors, as their folder resolves: /proc/<pid>/fd, which /dev/fd,
    // /proc/self/fd and links to them lead to, or a thread's /proc/<pid>/task/<tid>/fd.
    const std::string own = "/proc/" + std::to_string(::getpid());
    const auto descriptors = [&](const std::string& folder) {
        return folder == own + "/fd" ||
               (folder.starts_with(own + "/task/") && folder.ends_with("/fd") &&
                folder.find('/', own.size() + 6) == folder.size() - 3);
    };
    std::error_code error;
    fs::path name = fs::absolute(path, error);
    // Each link as the kernel follows it (/dev/stdout -> /proc/self/fd/1 -> /dev/null), the
    // folder it lies in resolved first.
    for (int hop = 0; hop <= 40 && !error; ++hop) {
        const fs::path folder = fs::canonical(name.parent_path(), error);
        if (error) {
            return false;
        }
        const std::string leaf = name.filename().native();
        if (descriptors(folder.native()) && leaf.size() == 1 && leaf[0] >= '0' && leaf[0] <= '2' &&
            closedStreams[std::size_t(leaf[0] - '0')]) {
            return true;
        }
        const fs::path target = fs::read_symlink(name, error);
        name = target.is_absolute() ? target : folder / target;
    }
    return false;
}

int OpenLinesToContinue(const std::filesystem::path& path, std::FILE*& file,
                        bool (*complete)(std::string_view line)) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    struct stat info {};
    if (!fd.IsOpen() || ::fstat(fd.Get(), &info) != 0) {
        return errno;
    }
    // Only a regular file is looked into (a pipe read here would be taken from its
    // reader), and only where it may be read; the last newline is looked for from the end
    // a block at a time.
    const UniqueFd reading(S_ISREG(info.st_mode) ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    auto end = uint64_t(info.st_size);
    char block[4096];
    while (reading.IsOpen() && end > 0) {
        const uint64_t from = end > sizeof block ? end - sizeof block : 0;
        if (int error = ReadExactlyAt(reading.Get(), from, block, std::size_t(end - from))) {
            return error;
        }
        const char* last = static_cast<const char*>(::memrchr(block, '\n', end - from));
        if (last != nullptr) {
            end = from + uint64_t(last - block) + 1;
            break;
        }
        end = from;
    }
    // A last line without its newline was cut short, or written whole by a program killed
    // just before the newline: kept when complete says so. (One past a mebibyte, longer
    // than a line is ever written, is not asked about: it goes.)
    constexpr uint64_t kLongestLine = 1 << 20;
    const uint64_t last = uint64_t(info.st_size) - end;
    std::string line;
    if (reading.IsOpen() && last > 0 && last <= kLongestLine && complete != nullptr) {
        line.resize(std::size_t(last));
        if (int error = ReadExactlyAt(reading.Get(), end, line.data(), line.size())) {
            return error;
        }
    }
    if (!line.empty() && complete(line)) {
        if (int error = WriteAll(fd.Get(), "\n", 1)) {
            return error;
        }
    } else if (reading.IsOpen() && last > 0 && ::ftruncate(fd.Get(), off_t(end)) != 0) {
        return errno;
    }
    file = ::fdopen(fd.Get(), "a");
    if (file == nullptr) {
        return errno;
    }
    fd.Release();
    return 0;
}

bool StandardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

uint8_t* AllocatePixelBuffer(std::size_t size) {
    if (size < 2 * kHugePage) {
        return static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    }
    // Huge pages cut the first-touch page faults of a large fresh buffer by 512x.
    std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    void* buffer = std::aligned_alloc(kHugePage, rounded);
    if (buffer != nullptr) {
        ::madvise(buffer, rounded, MADV_HUGEPAGE);
    }
    return static_cast<uint8_t*>(buffer);
}

void FreePixelBuffer(uint8_t* buffer) {
    std::free(buffer);
}

std::size_t ReleasePixelPages(uint8_t* buffer, std::size_t size, std::size_t released,
                              std::size_t done) {
    if (size < 2 * kHugePage) {
        return released;  // from malloc, not aligned to pages
    }
    const std::size_t end = done / kHugePage * kHugePage;
    if (end <= released || ::madvise(buffer + released, end - released, MADV_DONTNEED) != 0) {
        return released;
    }
    return end;
}

void* OpenSharedLibrary(const char* soname, std::string& error) {
    // Never closed: the library's own handlers may run at exit.
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* words = ::dlerror();
        error = words != nullptr ? words : soname;
    }
    return library;
}

std::string PathOfThisCode(bool& program) {
    // The object holding this function; a program is named as it was started (perhaps
    // with no folder, found on the PATH), so its own file is asked of the kernel.
    Dl_info info{};
    program = ::dladdr(reinterpret_cast<void*>(&PathOfThisCode), &info) == 0 ||
              info.dli_fname == nullptr || std::strchr(info.dli_fname, '/') == nullptr ||
              std::strcmp(info.dli_fname, program_invocation_name) == 0;
    char* resolved = ::realpath(program ? "/proc/self/exe" : info.dli_fname, nullptr);
    if (resolved == nullptr) {
        return {};
    }
    std::string path = resolved;
    std::free(resolved);
    return path;
}

void* SharedLibraryFunction(void* library, const char* name) {
    return ::dlsym(library, name);
}

}  // namespace zel7
