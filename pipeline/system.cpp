#include "system.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <thread>

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
    int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return result == EINTR ? 0 : result;  // on Linux the descriptor is gone either way
}

int OpenRegularFileForReading(const char* path, UniqueFd& fd, uint64_t& size) {
    // O_NONBLOCK keeps a FIFO without a writer from hanging the open.
    UniqueFd opened(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
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
    size = static_cast<uint64_t>(info.st_size);
    fd = std::move(opened);
    return 0;
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

// Follows symbolic links in the last component, so that writing through a link
// replaces its target and keeps the link.
int ResolveFinalLinks(const std::string& path, std::string& resolved) {
    resolved = path;
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

// The temporary files being written, so that an interruption can remove them. Once
// interrupted, no new one may be created: the program is about to end.
struct LiveTemporaryFiles {
    std::mutex mutex;
    std::set<std::string> paths;
    bool interrupted = false;
};

LiveTemporaryFiles& Live() {
    static LiveTemporaryFiles live;
    return live;
}

uint64_t NextTemporaryTag() {
    static const uint64_t seed = std::random_device{}() * 0x9E3779B97F4A7C15ull;
    static std::atomic<uint64_t> counter{0};
    return seed ^ (counter.fetch_add(1) * 0xBF58476D1CE4E5B9ull);
}

}  // namespace

int ReplacementFile::Create(const char* destination) {
    Abort();
    if (int error = ResolveFinalLinks(destination, target_)) {
        return error;
    }
    const std::string folder = FolderOf(target_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "/.zel7-%016llx.tmp",
                      static_cast<unsigned long long>(NextTemporaryTag()));
        std::string candidate = folder + name;
        std::lock_guard lock(Live().mutex);
        if (Live().interrupted) {
            return ECANCELED;
        }
        // 0666 lets the umask decide, as a plain create would.
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = UniqueFd(fd);
            temporary_ = std::move(candidate);
            Live().paths.insert(temporary_);
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EEXIST;
}

int ReplacementFile::Commit() {
    if (!fd_.IsOpen()) {
        return EBADF;
    }
    struct stat existing {};
    bool replacing = ::stat(target_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    int error = 0;
    if (replacing) {
        // The old file is about to disappear: make sure the new one is on disk first.
        if (::fchmod(fd_.Get(), existing.st_mode & 07777) != 0 || ::fsync(fd_.Get()) != 0) {
            error = errno;
        }
    }
    if (int closeError = fd_.Close(); error == 0) {
        error = closeError;
    }
    if (error == 0) {
        std::lock_guard lock(Live().mutex);
        if (Live().interrupted) {
            error = ECANCELED;  // the file is gone already
        } else if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
            error = errno;
        } else {
            Live().paths.erase(temporary_);
            temporary_.clear();
        }
    }
    if (error != 0) {
        Abort();
    }
    return error;
}

void ReplacementFile::Abort() {
    fd_.Close();
    if (!temporary_.empty()) {
        std::lock_guard lock(Live().mutex);
        ::unlink(temporary_.c_str());
        Live().paths.erase(temporary_);
        temporary_.clear();
    }
}

void RemoveTemporaryFilesOnInterruption() {
    static sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // inherited by later threads
    std::thread([] {
        int signal = 0;
        sigwait(&signals, &signal);
        {
            std::lock_guard lock(Live().mutex);
            Live().interrupted = true;
            for (const std::string& path : Live().paths) {
                ::unlink(path.c_str());
            }
        }
        // Die of the signal, as whoever sent it expects.
        ::signal(signal, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        ::raise(signal);
    }).detach();
}

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
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

}  // namespace zel7
