// zel7-mask: writes the two-tone mask of pictures from the command line.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch_files.h"
#include "engine/batch_plan.h"
#include "engine/mask_file.h"
#include "system/system.h"

namespace {

namespace fs = std::filesystem;
using zel7::cli::QuoteForTerminal;

constexpr const char* kProgram = "zel7-mask";
// Each job may hold one temporary file; the clean-up on signals knows this many.
constexpr unsigned kMaxJobs = 256;

constexpr const char* kUsageLines =
    "Usage: zel7-mask -w|-b|-a [OPTION]... SOURCE DEST\n"
    "  or:  zel7-mask -w|-b|-a --out-dir DIR [OPTION]... SOURCE...\n"
    "  or:  zel7-mask -w|-b|-a --suffix TEXT [OPTION]... SOURCE...\n";

constexpr const char* kHelp =
    "Writes the two-tone mask of photos shot on a plain white or black background:\n"
    "background pixels become white, everything else black; or, with --cutout, the\n"
    "object on a transparent background. Reads BMP, JPEG, PNG and TIFF (told by their\n"
    "contents); writes a 1-bit PNG mask to a name ending in .png and a 24-bit BMP to\n"
    "a name ending in .bmp or .dib or without an extension. Transparent pixels count\n"
    "as background. BMPs of other depths than 24 bits are copied unchanged to a BMP\n"
    "(unless an option for real photos below is given), and masked into a PNG.\n"
    "\n"
    "With SOURCE and DEST, writes one mask to DEST (into it, under the source's name,\n"
    "when DEST is a folder). SOURCE - is standard input, DEST - standard output (a\n"
    "BMP unless --format says otherwise). With --out-dir or --suffix, masks every\n"
    "SOURCE: a source named .bmp or .dib keeps its name, others get their stem and\n"
    ".png; a mask never replaces a picture of the batch.\n"
    "\n"
    "  -w, --white          the background is white: pixels whose blue, green and red\n"
    "                       are all at least 240 are background\n"
    "  -b, --black          the background is black: all three at most 20\n"
    "  -a, --auto-background\n"
    "                       measure the backdrop's colour and noise on the picture's\n"
    "                       border; background is what lies within a tolerance of it\n"
    "  -t, --tolerance=N    the largest difference of any channel from the backdrop\n"
    "                       (255 with --white, 0 with --black) counted as background\n"
    "  -c, --connected      background only where it reaches the picture's edge, or\n"
    "                       where the object encloses the backdrop's very colour (the\n"
    "                       hole of a handle): parts nearly as light or dark (a\n"
    "                       label) stay object\n"
    "      --hole-area=N    with --connected: instead, enclosed backdrop-coloured\n"
    "                       parts are background when larger than N pixels\n"
    "  -d, --despeckle=N    specks of object and pinholes of background smaller than\n"
    "                       N pixels take the colour around them\n"
    "      --cutout         write the object with a transparent background (PNG),\n"
    "                       its edges soft and freed of the backdrop's colour\n"
    "      --hard-edges     with --cutout: every pixel wholly object or transparent\n"
    "      --soft           masks: the edges' coverage as grey levels\n"
    "      --invert         masks: object white, background black; cut-outs: the\n"
    "                       object transparent and the background kept\n"
    "  -o, --out-dir=DIR    write each mask into DIR\n"
    "  -s, --suffix=TEXT    name each mask after its source with TEXT before the\n"
    "                       extension (photo.jpg, -mask: photo-mask.png); without\n"
    "                       --out-dir, masks go beside their sources\n"
    "  -f, --format=FORMAT  png or bmp for every mask, whatever the names say\n"
    "  -j, --jobs=N         mask up to N files at once (default: one per core)\n"
    "      --files-from=FILE  mask the files listed in FILE (- for standard input),\n"
    "                       one a line, as well as any SOURCE\n"
    "  -0, --null           the list's paths end with NUL, as find -print0 writes\n"
    "      --shard=I/N      mask only the I-th of N shares of the sources (I from 0),\n"
    "                       chosen by a hash of each path: for N tasks of a cluster\n"
    "      --skip-existing  leave a source whose mask exists and is not older than\n"
    "                       it: a stopped batch run again does only what is left\n"
    "      --report=FILE    write one JSON object a line for each source to FILE (-\n"
    "                       for standard output): source, destination, status\n"
    "                       (written, failed, skipped), reason and milliseconds\n"
    "      --max-pixels=N   refuse compressed pictures of more than N pixels\n"
    "                       (default 200000000; at most 65535 a side in any case)\n"
    "      --help           show this help and exit\n"
    "      --version        show the version and exit\n"
    "\n"
    "With --cutout, every destination is a PNG.\n"
    "\n"
    "An existing destination is replaced only by a complete mask, and only when it is\n"
    "a regular file you may write. Exit status: 0 when every mask was written, 1 when\n"
    "one or more failed, 2 for a usage error.\n";

struct Options {
    std::optional<zel7::Background> background;
    std::string outDir;
    std::optional<std::string> suffix;
    unsigned jobs = 0;  // 0: one per core
    std::optional<zel7::PictureFormat> format;
    uint64_t maxPixels = zel7::kDefaultMaxPixels;
    zel7::RefineOptions refine;
    std::vector<std::string> operands;
    std::vector<std::string> lists;  // --files-from
    char listSeparator = '\n';
    std::optional<zel7::Shard> shard;
    bool skipExisting = false;
    std::string reportPath;

    bool Batch() const { return !outDir.empty() || suffix.has_value(); }
    bool Cutout() const { return refine.product == zel7::Product::Cutout; }
};

using Job = zel7::BatchJob;

// A whole number from 1 to max, or nothing.
std::optional<uint64_t> ParseCount(std::string_view text, uint64_t max) {
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > max) {
        return std::nullopt;
    }
    return value;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n%sTry 'zel7-mask --help' for more information.\n", kProgram,
                 QuoteForTerminal(message).c_str(), kUsageLines);
    return 2;
}

// Prints text on standard output; a full disk or a closed pipe is an error, as it is
// for any program whose output is its work.
int PrintAndExit(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: write error: %s\n", kProgram, std::strerror(errno));
        return 1;
    }
    return 0;
}

std::optional<int> CheckOptions(const Options& options) {
    const zel7::RefineOptions& refine = options.refine;
    if (!options.background && !refine.autoBackground) {
        return UsageError(
            "say which background the pictures have: --white, --black or --auto-background");
    }
    if (refine.regions.holeArea > 0 && !refine.regions.connected) {
        return UsageError("--hole-area goes with --connected");
    }
    if (refine.hardEdges && refine.product != zel7::Product::Cutout) {
        return UsageError("--hard-edges goes with --cutout");
    }
    if (options.Cutout() && options.format == zel7::PictureFormat::Bmp) {
        return UsageError("cut-outs are written as PNG only");
    }
    if (options.Batch()) {
        if (options.operands.empty() && options.lists.empty()) {
            return UsageError("no source pictures given");
        }
    } else if (!options.lists.empty() || options.shard) {
        return UsageError("--files-from and --shard go with --out-dir or --suffix");
    } else if (options.operands.size() != 2) {
        return UsageError("expected SOURCE and DEST (or --out-dir DIR SOURCE...)");
    } else if (options.reportPath == "-" && options.operands[1] == "-") {
        return UsageError("the mask and the report cannot both go to standard output");
    }
    return std::nullopt;
}

// Parses the arguments as getopt_long does; returns an exit status to end with, or
// nothing to go on.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
    enum {
        kHelpOption = 256,
        kVersionOption,
        kMaxPixelsOption,
        kHoleAreaOption,
        kCutoutOption,
        kHardEdgesOption,
        kSoftOption,
        kInvertOption,
        kFilesFromOption,
        kShardOption,
        kSkipExistingOption,
        kReportOption,
    };
    static const option kLongOptions[] = {
        {"white", no_argument, nullptr, 'w'},
        {"black", no_argument, nullptr, 'b'},
        {"out-dir", required_argument, nullptr, 'o'},
        {"suffix", required_argument, nullptr, 's'},
        {"jobs", required_argument, nullptr, 'j'},
        {"format", required_argument, nullptr, 'f'},
        {"max-pixels", required_argument, nullptr, kMaxPixelsOption},
        {"auto-background", no_argument, nullptr, 'a'},
        {"tolerance", required_argument, nullptr, 't'},
        {"connected", no_argument, nullptr, 'c'},
        {"hole-area", required_argument, nullptr, kHoleAreaOption},
        {"despeckle", required_argument, nullptr, 'd'},
        {"cutout", no_argument, nullptr, kCutoutOption},
        {"hard-edges", no_argument, nullptr, kHardEdgesOption},
        {"soft", no_argument, nullptr, kSoftOption},
        {"invert", no_argument, nullptr, kInvertOption},
        {"files-from", required_argument, nullptr, kFilesFromOption},
        {"null", no_argument, nullptr, '0'},
        {"shard", required_argument, nullptr, kShardOption},
        {"skip-existing", no_argument, nullptr, kSkipExistingOption},
        {"report", required_argument, nullptr, kReportOption},
        {"help", no_argument, nullptr, kHelpOption},
        {"version", no_argument, nullptr, kVersionOption},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the messages below name the program, not the path it was run by
    optind = 1;
    for (int code;
         (code = getopt_long(argc, argv, ":wbo:s:j:f:at:cd:0", kLongOptions, nullptr)) != -1;) {
        switch (code) {
            case 'w':
            case 'b': {
                auto chosen =
                    code == 'w' ? zel7::Background::NearWhite : zel7::Background::NearBlack;
                if (options.background && *options.background != chosen) {
                    return UsageError("--white and --black exclude each other");
                }
                options.background = chosen;
                break;
            }
            case 'o':
                if (*optarg == '\0') {
                    return UsageError("the output folder name is empty");
                }
                options.outDir = optarg;
                break;
            case 's':
                if (*optarg == '\0') {
                    return UsageError("the suffix is empty");
                }
                if (std::strchr(optarg, '/') != nullptr) {
                    return UsageError("the suffix '" + std::string(optarg) +
                                      "' holds a '/': masks go into a folder with --out-dir");
                }
                options.suffix = optarg;
                break;
            case 'j': {
                const std::optional<uint64_t> jobs = ParseCount(optarg, kMaxJobs);
                if (!jobs) {
                    return UsageError("--jobs takes a whole number from 1 to " +
                                      std::to_string(kMaxJobs) + ", not '" + optarg + "'");
                }
                options.jobs = unsigned(*jobs);
                break;
            }
            case kMaxPixelsOption: {
                const std::optional<uint64_t> pixels = ParseCount(optarg, UINT64_MAX);
                if (!pixels) {
                    return UsageError("--max-pixels takes a whole number from 1 up, not '" +
                                      std::string(optarg) + "'");
                }
                options.maxPixels = *pixels;
                break;
            }
            case 'a':
                options.refine.autoBackground = true;
                break;
            case 't': {
                uint64_t tolerance = 0;
                const std::string_view text(optarg);
                auto [end, error] =
                    std::from_chars(text.data(), text.data() + text.size(), tolerance);
                if (error != std::errc() || end != text.data() + text.size() || tolerance > 255) {
                    return UsageError("--tolerance takes a whole number from 0 to 255, not '" +
                                      std::string(text) + "'");
                }
                options.refine.tolerance = int(tolerance);
                break;
            }
            case 'c':
                options.refine.regions.connected = true;
                break;
            case kHoleAreaOption:
            case 'd': {
                const std::optional<uint64_t> pixels = ParseCount(optarg, UINT32_MAX);
                const char* name = code == 'd' ? "--despeckle" : "--hole-area";
                if (!pixels) {
                    return UsageError(std::string(name) +
                                      " takes a number of pixels from 1 up, not '" + optarg + "'");
                }
                (code == 'd' ? options.refine.regions.despeckle : options.refine.regions.holeArea) =
                    *pixels;
                break;
            }
            case kCutoutOption:
            case kSoftOption:
                if (options.refine.product != zel7::Product::Mask) {
                    return UsageError("--cutout and --soft exclude each other");
                }
                options.refine.product =
                    code == kCutoutOption ? zel7::Product::Cutout : zel7::Product::SoftMask;
                break;
            case kHardEdgesOption:
                options.refine.hardEdges = true;
                break;
            case kInvertOption:
                options.refine.invert = true;
                break;
            case kFilesFromOption:
                options.lists.emplace_back(optarg);
                break;
            case '0':
                options.listSeparator = '\0';
                break;
            case kShardOption:
                options.shard = zel7::ParseShard(optarg);
                if (!options.shard) {
                    return UsageError("--shard takes I/N with I from 0 to N - 1, not '" +
                                      std::string(optarg) + "'");
                }
                break;
            case kSkipExistingOption:
                options.skipExisting = true;
                break;
            case kReportOption:
                if (*optarg == '\0') {
                    return UsageError("the report's file name is empty");
                }
                options.reportPath = optarg;
                break;
            case 'f':
                if (std::string_view(optarg) == "png") {
                    options.format = zel7::PictureFormat::Png;
                } else if (std::string_view(optarg) == "bmp") {
                    options.format = zel7::PictureFormat::Bmp;
                } else {
                    return UsageError("--format takes png or bmp, not '" + std::string(optarg) +
                                      "'");
                }
                break;
            case kHelpOption:
                return PrintAndExit(std::string(kUsageLines) + "\n" + kHelp);
            case kVersionOption:
                return PrintAndExit(std::string(kProgram) + " (zel7) " + ZEL7_VERSION + "\n");
            case ':':
                return UsageError("option '" + std::string(argv[optind - 1]) + "' needs a value");
            default:
                return UsageError("unknown option '" + std::string(argv[optind - 1]) + "'");
        }
    }
    options.operands.assign(argv + optind, argv + argc);
    return CheckOptions(options);
}

// Reports on standard error, and in the JSON report when there is one. When standard
// error is a terminal and there are several files, a progress line counts the
// finished ones and a summary ends the run.
class Reporter {
public:
    Reporter(std::size_t total, zel7::cli::JsonReport& report)
        : total_(total), report_(report), interactive_(total > 1 && ::isatty(STDERR_FILENO)) {}

    // blame is the file the reason is about: the source, or the destination.
    void Failed(const std::string& source, const std::string& destination, const std::string& blame,
                const std::string& reason, double milliseconds = 0) {
        report_.Add(source, destination, "failed", reason, milliseconds);
        std::lock_guard lock(mutex_);
        ++failed_;
        ClearProgress();
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, QuoteForTerminal(blame).c_str(),
                     QuoteForTerminal(reason).c_str());
        ShowProgress(source);
    }

    // A file written, with a remark for the user when there is one.
    void Written(const std::string& source, const std::string& destination, double milliseconds,
                 const std::string& remark = {}) {
        report_.Add(source, destination, "written", remark, milliseconds);
        std::lock_guard lock(mutex_);
        ++written_;
        if (!remark.empty()) {
            ClearProgress();
            std::fprintf(stderr, "%s: %s: %s\n", kProgram, QuoteForTerminal(source).c_str(),
                         remark.c_str());
        }
        ShowProgress(source);
    }

    void Skipped(const std::string& source, const std::string& destination) {
        report_.Add(source, destination, "skipped", "", 0);
        std::lock_guard lock(mutex_);
        ++skipped_;
        ShowProgress(source);
    }

    bool AllWritten() {
        std::lock_guard lock(mutex_);
        return failed_ == 0;
    }

    void Finish() {
        std::lock_guard lock(mutex_);
        ClearProgress();
        if (interactive_) {
            std::fprintf(stderr, "%zu written, %zu failed", written_, failed_);
            std::fprintf(stderr, skipped_ > 0 ? ", %zu skipped\n" : "\n", skipped_);
        }
    }

private:
    void ShowProgress(const std::string& file) {
        if (!interactive_) {
            return;
        }
        const std::string name = fs::path(file).filename().string();
        std::fprintf(stderr, "\r[%zu/%zu] %s\x1b[K", written_ + failed_ + skipped_, total_,
                     QuoteForTerminal(name).c_str());
        progressShown_ = true;
    }

    void ClearProgress() {
        if (progressShown_) {
            std::fputs("\r\x1b[K", stderr);
            progressShown_ = false;
        }
    }

    std::mutex mutex_;
    std::size_t total_;
    zel7::cli::JsonReport& report_;
    std::size_t written_ = 0;
    std::size_t failed_ = 0;
    std::size_t skipped_ = 0;
    bool interactive_;
    bool progressShown_ = false;
};

zel7::BatchNaming Naming(const Options& options) {
    return {options.outDir, options.suffix.value_or(""), options.format, options.Cutout()};
}

fs::path MaskName(const fs::path& source, const Options& options) {
    const zel7::BatchNaming naming = Naming(options);
    return zel7::MaskFileName(source, naming.suffix, naming.format, naming.cutout);
}

// A single DEST is used as typed, and its name says which format to write, unless
// --format does; a folder receives the mask named as in a batch, as cp does.
std::optional<Job> PlanSingle(const Options& options) {
    const std::string& source = options.operands[0];
    fs::path destination = options.operands[1];
    std::error_code ignored;
    if (destination != "-" && fs::is_directory(destination, ignored) && source != "-") {
        destination /= MaskName(source, options);
    }
    auto format = options.format ? options.format : zel7::FormatForName(destination);
    if (options.Cutout() && destination == "-") {
        format = zel7::PictureFormat::Png;
    }
    if (options.Cutout() && format == zel7::PictureFormat::Bmp) {
        UsageError("'" + destination.string() + "': cut-outs are written as PNG; name it .png");
        return std::nullopt;
    }
    if (!format) {
        UsageError("'" + destination.string() +
                   "': masks are written as PNG (.png) or BMP (.bmp, .dib, or no extension); "
                   "name the destination so, or say --format");
        return std::nullopt;
    }
    return Job{source, destination.string(), *format};
}

// Whether the job's mask exists and is not older than its source. Masks are complete
// or absent, never partial, so one that exists was finished.
bool IsUpToDate(const Job& job) {
    std::error_code error;
    if (job.source == "-" || job.destination == "-" ||
        !fs::is_regular_file(job.destination, error)) {
        return false;
    }
    const auto mask = fs::last_write_time(job.destination, error);
    if (error) {
        return false;
    }
    const auto source = fs::last_write_time(job.source, error);
    return !error && mask >= source;
}

// Runs the jobs on up to `workers` threads, each with its own slice buffer.
void RunJobs(const std::vector<Job>& jobs, const Options& options, unsigned workers,
             Reporter& reporter) {
    zel7::MaskOptions mask;
    mask.background = options.background.value_or(zel7::Background::NearWhite);
    mask.maxPixels = options.maxPixels;
    mask.refine = options.refine;
    mask.refine.sideKnown = options.background.has_value();
    // One picture alone gets a second thread for writing, when there is a core for it.
    mask.writing = jobs.size() == 1 && std::thread::hardware_concurrency() > 1
                       ? zel7::SliceWriting::OnSecondThread
                       : zel7::SliceWriting::Inline;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        std::vector<uint8_t> buffer;
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            const Job& job = jobs[i];
            if (options.skipExisting && IsUpToDate(job)) {
                reporter.Skipped(job.source, job.destination);
                continue;
            }
            zel7::MaskOptions jobMask = mask;
            jobMask.format = job.format;
            zel7::MaskNote note;
            const auto start = std::chrono::steady_clock::now();
            zel7::Result result =
                zel7::MaskFile(job.source, job.destination, jobMask, buffer, &note);
            const double milliseconds =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            if (!result.Ok()) {
                reporter.Failed(job.source, job.destination,
                                result.ConcernsDestination() ? job.destination : job.source,
                                zel7::Describe(result), milliseconds);
            } else if (note.copiedBitCount != 0) {
                reporter.Written(job.source, job.destination, milliseconds,
                                 std::to_string(note.copiedBitCount) +
                                     "-bit picture copied unchanged; only 24-bit BMPs are "
                                     "masked");
            } else {
                reporter.Written(job.source, job.destination, milliseconds);
            }
        }
    };
    workers = std::clamp<unsigned>(workers, 1, unsigned(std::max<std::size_t>(jobs.size(), 1)));
    std::vector<std::jthread> threads;
    for (unsigned i = 1; i < workers; ++i) {
        threads.emplace_back(work);
    }
    work();
}

// A message about a file that stops the run before any work.
int Stop(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, QuoteForTerminal(file).c_str(), reason.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (std::optional<int> status = ParseArguments(argc, argv, options)) {
        return *status;
    }
    // A missing or unwritable folder is said once, before any work.
    if (!options.outDir.empty()) {
        if (int error = zel7::CheckWritableFolder(options.outDir)) {
            return Stop(options.outDir, std::strerror(error));
        }
    }
    for (const std::string& list : options.lists) {
        if (int error = zel7::cli::ReadSourceList(list, options.listSeparator, options.operands)) {
            return Stop(list, error == EILSEQ ? "paths with NUL bytes: read the list with -0"
                                              : std::strerror(error));
        }
    }
    zel7::BatchPlan plan;
    if (!options.Batch()) {
        std::optional<Job> single = PlanSingle(options);
        if (!single) {
            return 2;
        }
        plan.jobs.push_back(*single);
        plan.written.push_back(single->destination);
    } else {
        plan = zel7::PlanBatch(options.operands, Naming(options), options.shard);
    }
    // Nothing the batch reads or writes, whichever shard of it runs, may be the report.
    if (!options.reportPath.empty()) {
        std::vector<std::string> reads = options.operands;
        reads.insert(reads.end(), options.lists.begin(), options.lists.end());
        if (auto problem = zel7::ReportProblem(options.reportPath, reads, plan.written)) {
            return UsageError(*problem);
        }
    }
    zel7::cli::JsonReport report;
    if (!options.reportPath.empty()) {
        if (int error = report.Open(options.reportPath)) {
            return Stop(options.reportPath, std::strerror(error));
        }
    }
    Reporter reporter(plan.jobs.size() + plan.refusals.size(), report);
    for (const zel7::BatchRefusal& refusal : plan.refusals) {
        reporter.Failed(refusal.source, refusal.destination, refusal.source, refusal.reason);
    }
    zel7::CleanUpOnFatalSignals();
    RunJobs(plan.jobs, options, zel7::BoundedJobs(std::min(options.jobs, kMaxJobs)), reporter);
    reporter.Finish();
    if (int error = report.Close()) {
        return Stop(options.reportPath, std::strerror(error));
    }
    return reporter.AllWritten() ? 0 : 1;
}
