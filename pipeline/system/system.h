// The few operating-system services the pipeline needs that the C++ library lacks:
// non-blocking opens, positioned reads, files that replace their destination whole,
// clean-up on fatal signals, and large page-aligned buffers.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "system/pixel_memory.h"
#include "system/result.h"

namespace zel7 {

// An owned file descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    int Release();
    // Closes now and reports the result (0 or an errno value, EINTR included), as
    // close errors can be the first sign of a failed write.
    int Close();

private:
    int fd_ = -1;
};

// The functions below report failure with an errno value (0 means success).

// Opens a regular file for reading without blocking on FIFOs or devices. A path that
// names anything but a regular file fails with EINVAL (directories with EISDIR).
int OpenRegularFileForReading(const std::filesystem::path& path, UniqueFd& fd, uint64_t& size);

// Another descriptor of the same open file, for reading it again with positioned
// reads while the first stays open.
int DuplicateFd(const UniqueFd& fd, UniqueFd& copy);

// Which file a path names (links followed), to tell when two paths name the same file.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
    auto operator<=>(const FileId&) const = default;
};
int IdentifyFile(const std::filesystem::path& path, FileId& id);
// The same of standard input or output where the caller sent it to a regular file: "-"
// names them. EINVAL for a pipe, a terminal or a device, which nothing written replaces
// (a list typed at the terminal, a report to it).
enum class StandardStream { kInput, kOutput };
int IdentifyStandardStream(StandardStream stream, FileId& id);
// Whether the open file is a device other than a terminal or /dev/null (/dev/zero, a
// disk): a stream that never ends, or ends nowhere a list of names would.
bool IsDevice(std::FILE* file);

// When the regular file at path was last changed, in nanoseconds: reached from inside
// as OpenFolderBelow reaches a folder (no link followed on the way or at the end) when
// inside is given, else through any links. Null when no regular file is there.
std::optional<int64_t> RegularFileChanged(const std::filesystem::path& path,
                                          const std::filesystem::path& inside = {});

// Whether this process may create files in folder: 0, or why not.
int CheckWritableFolder(const std::filesystem::path& folder);

// Opens the folder root (links followed: the caller named it), then each folder of
// below in turn, relative to the one before and making those missing when create says
// so. A symbolic link among them is never followed (ELOOP), and "." or ".." never taken
// (EINVAL): whatever someone put inside root, what is opened lies inside it.
int OpenFolderBelow(const std::filesystem::path& root, const std::filesystem::path& below,
                    bool create, UniqueFd& folder);

// Reads exactly size bytes at offset; a file that ends early fails with ENODATA.
int ReadExactlyAt(int fd, uint64_t offset, void* buffer, std::size_t size);
// Writes all of size bytes at offset: 0, or an errno value.
int WriteAllAt(int fd, const void* data, std::size_t size, uint64_t offset);

// Writes all of size bytes at the current position.
int WriteAll(int fd, const void* data, std::size_t size);

// A file written beside its destination that replaces the destination only when
// Commit succeeds; destroyed uncommitted, it leaves nothing behind. Where the file
// system allows it the file has no name until Commit, so that even a killed process
// leaves none; elsewhere it has a hidden name that fatal signals remove (see
// CleanUpOnFatalSignals). It is private (0600) until its final mode is set just
// before the rename.
class ReplacementFile {
public:
    ReplacementFile() = default;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile() { Abort(); }

    // Refuses an existing destination that is not a regular file (a link to one is
    // followed, and its target replaced) or that the user may not write. With inside,
    // destination names a file below that folder (its name begins with inside's): the
    // folders between are made as needed and none of them, nor the file, is reached
    // through a symbolic link (Status::SymbolicLink), so nothing is written outside.
    Result Create(const std::filesystem::path& destination,
                  const std::filesystem::path& inside = {});
    int Fd() const { return fd_.Get(); }
    // Gives the file its final mode (an existing destination's permission bits less
    // setuid, setgid and sticky, or 0666 less the umask), flushes it to disk, links it
    // under the destination's name (or renames it over an existing one) and flushes the
    // folder, so that a mask reported as written survives a power cut.
    Result Commit();
    void Abort();

    // Named temporary files even where unnamed ones are possible; for tests.
    static void UseNamedFilesOnly(bool namedOnly);

private:
    Result CreateInside(const std::filesystem::path& destination,
                        const std::filesystem::path& inside);
    Result CreateNamed();
    Result Examine(int flags);
    int GiveName(std::string& name);
    int LinkAs(const std::string& name) const;  // the open file, under name; 0 or errno

    UniqueFd fd_;
    UniqueFd folderFd_;
    int at_ = -100;  // what names are relative to: AT_FDCWD, or folderFd_ inside a folder
    std::string target_;
    std::string folder_;
    mode_t finalMode_ = 0;
    bool replacing_ = false;  // the destination exists
    int slot_ = -1;           // where a named temporary file is known to the signal handler
};

// Where a picture file is written: a ReplacementFile, or for "-" standard output. What
// goes to standard output is gathered in an unnamed temporary file and copied out only
// on Commit: a picture refused half-way writes nothing there, and a sink may write its
// rows in any order (a BMP's bottom row first) without holding them in memory.
class OutputFile {
public:
    // inside: as for ReplacementFile.
    Result Create(const std::filesystem::path& path, const std::filesystem::path& inside = {});
    // Writes all of size bytes; on failure the file is abandoned.
    Result Write(const void* data, std::size_t size);
    // Writes at an offset.
    Result WriteAt(const void* data, std::size_t size, uint64_t offset);
    Result Commit();
    void Abort();

private:
    int Fd() const { return standardOutput_ ? gathered_.Get() : file_.Fd(); }

    ReplacementFile file_;
    UniqueFd gathered_;  // for standard output
    bool standardOutput_ = false;
};

// An unnamed temporary file in TMPDIR (or /tmp), gone when closed: room for what would
// not fit in memory.
class ScratchFile {
public:
    Result Create();
    // All of size bytes at offset, or a failure.
    Result WriteAt(const void* data, std::size_t size, uint64_t offset);
    Result ReadAt(void* into, std::size_t size, uint64_t offset) const;
    // The file, to be read as any other.
    UniqueFd Release() { return std::move(fd_); }

private:
    UniqueFd fd_;
};

// Standard input, for callers outside this folder, which include no POSIX header.
inline constexpr int kStandardInput = 0;

// Copies everything readable from fd (standard input, say) into a temporary file that
// has no name, so that it can be read like any regular file. Once `probeBytes` have come
// (or all there is, if fewer), accept() is asked about them; a refusal ends the copy as
// UnknownFormat, and more than maxBytes as TooManyPixels (without a detail), so that an
// endless or foreign stream never fills the disk. A failure of the temporary file is
// CannotOpen, naming it; one of fd ReadFailed, or NotRegularFile when fd is a folder.
Result SpoolToTemporaryFile(int fd, std::size_t probeBytes,
                            const std::function<bool(std::span<const uint8_t>)>& accept,
                            uint64_t maxBytes, UniqueFd& spooled, uint64_t& size);

// For every fatal signal still at its default action, removes the named temporary
// files of this process's ReplacementFiles before the process dies of the signal;
// signals the caller ignores stay ignored (as nohup promises). A file-size limit then
// fails the write with EFBIG instead of killing the process. Call once, early.
void CleanUpOnFatalSignals();

// The memory this process may use in bytes: the machine's, or less where its control
// group limits it (a container's, a Slurm job's); 0 when it cannot be told.
uint64_t PhysicalMemoryBytes();

// The processors this process may run on: those its affinity allows (taskset, a Slurm
// job's), no more than its control group's quota gives time for; at least 1.
unsigned UsableProcessors();

// Takes the numbers of standard input, output or error where the caller closed them, with
// /dev/null opened so that using them still fails as using a closed one does, so that no
// file the program opens takes them (a report opened as descriptor 2 would take every
// message). Call first.
void OpenStandardStreams();

// Whether path names, through its links, a standard stream that OpenStandardStreams found
// closed (/dev/stdout, /proc/self/fd/1): opened, it would be the /dev/null put in its place,
// and a report written there, or a list read from there, would be lost with no error.
bool NamesClosedStream(const std::filesystem::path& path);

// Opens a file of lines to go on with it, made if missing: what follows the last whole
// line of a regular file that may be read (a line cut short when the program that wrote it
// was killed) is taken away, so that every line stays whole; unless complete says it is
// complete without its newline, which is then added. Programs writing to one file at once
// must not: one would cut another's line. 0, or why not.
int OpenLinesToContinue(const std::filesystem::path& path, std::FILE*& file,
                        bool (*complete)(std::string_view line) = nullptr);

// Whether standard error is a terminal: a person watching, to whom progress is shown.
bool StandardErrorIsTerminal();

// Libraries opened when a picture first needs them rather than at every start: those that
// bring many of their own (codecs, video drivers) would cost each run their loading. Opened
// once, for the process's life; null, with the loader's words in error, when it cannot be.
void* OpenSharedLibrary(const char* soname, std::string& error);
// The file of the program or shared object this code is linked into, made whole, and
// whether it is the program; empty when it cannot be told. Finds the modules the library
// opens, which lie apart from the programs and the Python module that link it.
std::string PathOfThisCode(bool& program);
// A function of a library so opened; null when it has none of that name.
void* SharedLibraryFunction(void* library, const char* name);
// The same, as a pointer of its type: false, with the name in error, when it is missing.
template <class Function>
bool FindSharedFunction(void* library, const char* name, Function*& function, std::string& error) {
    function = reinterpret_cast<Function*>(SharedLibraryFunction(library, name));
    if (function == nullptr) {
        error = std::string("no function ") + name + " in the library";
    }
    return function != nullptr;
}
// The functions of library soname, opened and found by find(library, functions, error)
// once for the process's life: null, why in error, when the library or one of them is
// missing. Each kind of Functions is found once.
template <class Functions, class Find>
const Functions* OpenSharedFunctions(const char* soname, std::string& error, Find find) {
    static std::string why;
    static const std::optional<Functions> found = [&]() -> std::optional<Functions> {
        void* library = OpenSharedLibrary(soname, why);
        Functions functions;
        return library != nullptr && find(library, functions, why) ? std::optional(functions)
                                                                   : std::nullopt;
    }();
    error = why;
    return found ? &*found : nullptr;
}

}  // namespace zel7
