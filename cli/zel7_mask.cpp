// zel7-mask: writes the two-tone mask of BMP pictures from the command line.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mask_file.h"
#include "system.h"

namespace {

constexpr const char* kProgram = "zel7-mask";

constexpr const char* kUsage =
    "Usage: zel7-mask --white|--black SOURCE DEST\n"
    "       zel7-mask --white|--black --out-dir DIR [--jobs N] SOURCE...\n"
    "\n"
    "Writes the two-tone mask of 24-bit BMP pictures: background pixels become white,\n"
    "everything else black. Pictures of other depths are copied unchanged.\n"
    "\n"
    "  --white         the background is white: pixels whose blue, green and red are\n"
    "                  all at least 240 are background\n"
    "  --black         the background is black: all three at most 20\n"
    "  -o, --out-dir DIR\n"
    "                  write each mask to DIR under its source's file name\n"
    "  -j, --jobs N    with --out-dir, mask up to N files at once (default: one per core)\n"
    "      --help      show this help and exit\n"
    "      --version   show the version and exit\n"
    "\n"
    "An existing destination is replaced only by a complete mask. Exit status: 0 when\n"
    "every mask was written, 1 when one or more failed, 2 for a usage error.\n";

struct Options {
    std::optional<zel7::Background> background;
    std::string outDir;
    unsigned jobs = 0;  // 0: one per core
    std::vector<std::string> operands;
};

struct Job {
    std::string source;
    std::string destination;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n%s", kProgram, message.c_str(), kUsage);
    return 2;
}

// Parses the arguments; returns an exit status to end with, or nothing to go on.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
    bool operandsOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (operandsOnly || arg == "-" || arg.empty() || arg[0] != '-') {
            options.operands.emplace_back(arg);
            continue;
        }
        auto value = [&](std::string_view name) -> std::optional<std::string> {
            if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
                return std::string(arg.substr(eq + 1));
            }
            if (i + 1 >= argc) {
                UsageError("option '" + std::string(name) + "' needs a value");
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        std::string_view name = arg.substr(0, arg.find('='));
        if (arg == "--") {
            operandsOnly = true;
        } else if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("%s (zel7) %s\n", kProgram, ZEL7_VERSION);
            return 0;
        } else if (arg == "--white" || arg == "--black") {
            auto chosen =
                arg == "--white" ? zel7::Background::NearWhite : zel7::Background::NearBlack;
            if (options.background && *options.background != chosen) {
                return UsageError("--white and --black exclude each other");
            }
            options.background = chosen;
        } else if (name == "--out-dir" || name == "-o") {
            auto dir = value(name);
            if (!dir) {
                return 2;
            }
            if (dir->empty()) {
                return UsageError("the output folder name is empty");
            }
            options.outDir = *dir;
        } else if (name == "--jobs" || name == "-j") {
            auto text = value(name);
            if (!text) {
                return 2;
            }
            unsigned jobs = 0;
            auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), jobs);
            if (error != std::errc() || end != text->data() + text->size() || jobs == 0) {
                return UsageError("--jobs takes a whole number from 1 up, not '" + *text + "'");
            }
            options.jobs = jobs;
        } else {
            return UsageError("unknown option '" + std::string(arg) + "'");
        }
    }
    if (!options.background) {
        return UsageError("say which background the pictures have: --white or --black");
    }
    if (options.outDir.empty()) {
        if (options.operands.size() != 2) {
            return UsageError("expected SOURCE and DEST (or --out-dir DIR SOURCE...)");
        }
        if (options.jobs != 0) {
            return UsageError("--jobs goes with --out-dir");
        }
    } else if (options.operands.empty()) {
        return UsageError("no source pictures given");
    }
    return std::nullopt;
}

// Reports on stderr; the progress line, when shown, is redrawn below each message.
class Reporter {
public:
    explicit Reporter(std::size_t total)
        : total_(total), showProgress_(total > 1 && ::isatty(STDERR_FILENO)) {}

    void Failed(const std::string& file, const std::string& reason) {
        std::lock_guard lock(mutex_);
        ClearProgress();
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, file.c_str(), reason.c_str());
    }

    void Started(const std::string& file) {
        if (!showProgress_) {
            return;
        }
        std::lock_guard lock(mutex_);
        ++started_;
        std::string name = std::filesystem::path(file).filename().string();
        std::fprintf(stderr, "\r[%zu/%zu] %s\x1b[K", started_, total_, name.c_str());
        progressShown_ = true;
    }

    void Finish() {
        std::lock_guard lock(mutex_);
        ClearProgress();
    }

private:
    void ClearProgress() {
        if (progressShown_) {
            std::fputs("\r\x1b[K", stderr);
            progressShown_ = false;
        }
    }

    std::mutex mutex_;
    std::size_t total_;
    std::size_t started_ = 0;
    bool showProgress_;
    bool progressShown_ = false;
};

// One job per source; with --out-dir, a second source with the same file name would
// overwrite the first one's mask, so it is refused instead.
std::vector<Job> PlanJobs(const Options& options, Reporter& reporter, bool& anyFailed) {
    if (options.outDir.empty()) {
        return {{options.operands[0], options.operands[1]}};
    }
    std::vector<Job> jobs;
    std::set<std::string> destinations;
    for (const std::string& source : options.operands) {
        const std::filesystem::path name = std::filesystem::path(source).filename();
        const std::string destination = (std::filesystem::path(options.outDir) / name).string();
        if (name.empty() || name == "." || name == "..") {
            reporter.Failed(source, "names a folder, not a picture");
            anyFailed = true;
        } else if (!destinations.insert(destination).second) {
            reporter.Failed(source, "another source already writes " + destination);
            anyFailed = true;
        } else {
            jobs.push_back({source, destination});
        }
    }
    return jobs;
}

// Runs the jobs on up to `workers` threads, each with its own slice buffer.
bool RunJobs(const std::vector<Job>& jobs, zel7::Background background, unsigned workers,
             Reporter& reporter) {
    // One picture alone gets a second thread for writing, when there is a core for it.
    const zel7::SliceWriting writing = jobs.size() == 1 && std::thread::hardware_concurrency() > 1
                                           ? zel7::SliceWriting::OnSecondThread
                                           : zel7::SliceWriting::Inline;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> anyFailed{false};
    auto work = [&] {
        std::vector<uint8_t> buffer;
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            const Job& job = jobs[i];
            reporter.Started(job.source);
            zel7::BitmapError error = zel7::MaskBitmapFile(
                job.source.c_str(), job.destination.c_str(), background, buffer, writing);
            if (!error.Ok()) {
                // Reading problems belong to the source, writing ones to the destination.
                bool writing = error.status == zel7::BitmapStatus::CannotCreate ||
                               error.status == zel7::BitmapStatus::CannotWrite;
                reporter.Failed(writing ? job.destination : job.source,
                                zel7::DescribeBitmapError(error));
                anyFailed = true;
            }
        }
    };
    workers = std::max(1u, std::min<unsigned>(workers, unsigned(jobs.size())));
    std::vector<std::jthread> threads;
    for (unsigned i = 1; i < workers; ++i) {
        threads.emplace_back(work);
    }
    work();
    threads.clear();  // joins
    return !anyFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (std::optional<int> status = ParseArguments(argc, argv, options)) {
        return *status;
    }
    // An interrupted run removes the masks it was writing.
    zel7::RemoveTemporaryFilesOnInterruption();
    Reporter reporter(options.operands.size());
    bool anyFailed = false;
    std::vector<Job> jobs = PlanJobs(options, reporter, anyFailed);
    unsigned workers = options.jobs != 0 ? options.jobs : std::thread::hardware_concurrency();
    if (!RunJobs(jobs, *options.background, workers, reporter)) {
        anyFailed = true;
    }
    reporter.Finish();
    return anyFailed ? 1 : 0;
}
