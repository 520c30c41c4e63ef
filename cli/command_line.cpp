#include "command_line.h"

#include <getopt.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "batch_files.h"

namespace zel7::cli {
namespace {

constexpr const char* kUsageLines =
    "Usage: zel7-mask -w|-b|-a [OPTION]... SOURCE DEST\n"
    "  or:  zel7-mask -w|-b|-a --out-dir DIR [OPTION]... SOURCE...\n"
    "  or:  zel7-mask -w|-b|-a --suffix TEXT [OPTION]... SOURCE...\n";

constexpr const char* kIntroduction =
    "Writes the two-tone mask of photos shot on a plain white or black background:\n"
    "background pixels become white, everything else black; or, with --cutout, the\n"
    "object on a transparent background. Reads BMP, JPEG, PNG, TIFF, HEIF (HEIC,\n"
    "AVIF) and WebP, told by their contents; writes a 1-bit PNG mask to a name ending\n"
    "in .png and a 24-bit BMP to a name ending in .bmp or .dib or without an\n"
    "extension. Transparent pixels count as background. BMPs of other depths than 24\n"
    "bits are copied unchanged to a BMP (unless an option for real photos below is\n"
    "given), and masked into a PNG.\n"
    "\n"
    "With SOURCE and DEST, writes one mask to DEST (into it, under the source's name,\n"
    "when DEST is a folder). SOURCE - is standard input, DEST - standard output (a\n"
    "BMP unless --format says otherwise). With --out-dir or --suffix, masks every\n"
    "SOURCE: a source named .bmp or .dib keeps its name, others get their stem and\n"
    ".png; a mask never replaces a picture of the batch.\n";

constexpr const char* kClosing =
    "Cut-outs are written as PNG, as JPEG to a name ending in .jpg or .jpeg (on white\n"
    "unless --flatten says otherwise), or as WebP to one ending in .webp (lossy at\n"
    "--quality, or --lossless; soft masks may be WebP too). A shop's main picture,\n"
    "the product's larger side across 85% of a white square, takes the options\n"
    "--white --studio --trim --margin 7.5% --square --size 2000x2000 --flatten white\n"
    "--quality 90 (written out in the manual's examples).\n"
    "\n"
    "An existing destination is replaced only by a complete mask, and only when it is\n"
    "a regular file you may write. Exit status: 0 when every mask was written, 1 when\n"
    "one or more failed, 2 for a usage error.\n";

enum class Ending { Help, Version };

// What an option of zel7-mask's own does with its argument: a usage error's words, or
// nothing.
using OwnReader = std::optional<std::string> (*)(const char* argument, CommandLine& line);

// A row of the table: the library's option by name, or one of zel7-mask's own with its
// argument, help and reader.
struct Row {
    char letter;       // the short option, or 0
    const char* name;  // the long option
    const char* argument = nullptr;
    const char* help = nullptr;
    OwnReader read = nullptr;
    std::optional<Ending> ending{};
};

std::optional<std::string> ReadJobs(const char* argument, CommandLine& line) {
    unsigned jobs = 0;
    const char* end = argument + std::strlen(argument);
    auto [last, error] = std::from_chars(argument, end, jobs);
    if (error != std::errc() || last != end || jobs == 0 || jobs > kMaxJobs) {
        return "--jobs takes a whole number from 1 to " + std::to_string(kMaxJobs) + ", not '" +
               argument + "'";
    }
    line.jobs = jobs;
    return std::nullopt;
}

// In the order --help shows them.
const Row kRows[] = {
    {'w', "white"},
    {'b', "black"},
    {0, "studio"},
    {0, "shadow"},
    {'a', "auto-background"},
    {'t', "tolerance"},
    {'c', "connected"},
    {0, "hole-area"},
    {'d', "despeckle"},
    {0, "cutout"},
    {0, "hard-edges"},
    {0, "srgb"},
    {0, "soft"},
    {0, "invert"},
    {0, "trim"},
    {0, "margin"},
    {0, "aspect"},
    {0, "square"},
    {0, "size"},
    {0, "flatten"},
    {0, "quality"},
    {0, "lossless"},
    {'o', "out-dir"},
    {'s', "suffix"},
    {0, "keep-tree"},
    {0, "base"},
    {'f', "format"},
    {'j', "jobs", "N", "mask up to N files at once (default: one per core)", ReadJobs},
    {0, "files-from", "FILE",
     "mask the files listed in FILE (- for standard input),\none a line, as well as any SOURCE",
     [](const char* argument, CommandLine& line) -> std::optional<std::string> {
         line.lists.emplace_back(argument);
         return std::nullopt;
     }},
    {'0', "null", nullptr, "the list's paths end with NUL, as find -print0 writes",
     [](const char*, CommandLine& line) -> std::optional<std::string> {
         line.listSeparator = '\0';
         return std::nullopt;
     }},
    {0, "shard"},
    {0, "skip-existing"},
    {0, "report", "FILE",
     "write one JSON object a line for each source to FILE (-\nfor standard output): source, "
     "destination, status\n(written, failed, skipped), reason and milliseconds;\ncontinued, "
     "not replaced, with --skip-existing",
     [](const char* argument, CommandLine& line) -> std::optional<std::string> {
         if (*argument == '\0') {
             return "the report's file name is empty";
         }
         line.reportPath = argument;
         return std::nullopt;
     }},
    {0, "max-pixels"},
    {0, "help", nullptr, "show this help and exit", nullptr, Ending::Help},
    {0, "version", nullptr, "show the version and exit", nullptr, Ending::Version},
};

// A row's argument and help: its own, or the library option's.
const char* ArgumentOf(const Row& row) {
    const Option* shared = FindOption(row.name);
    return shared != nullptr ? shared->argument : row.argument;
}

std::string Help() {
    std::string text = std::string(kUsageLines) + "\n" + kIntroduction + "\n";
    constexpr std::size_t kHelpColumn = 23;
    for (const Row& row : kRows) {
        std::string left = row.letter != 0 ? std::string("  -") + row.letter + ", --" : "      --";
        left += row.name;
        if (const char* argument = ArgumentOf(row)) {
            left += std::string("=") + argument;
        }
        const Option* shared = FindOption(row.name);
        const std::string help = shared != nullptr ? Spelled(shared->help, Spelling::CommandLine)
                                                   : std::string(row.help);
        text += left;
        text += left.size() + 2 <= kHelpColumn ? std::string(kHelpColumn - left.size(), ' ')
                                               : "\n" + std::string(kHelpColumn, ' ');
        for (const char c : help) {
            text += c;
            if (c == '\n') {
                text.append(kHelpColumn, ' ');
            }
        }
        text += '\n';
    }
    return text + "\n" + kClosing;
}

// Prints text on standard output; a full disk or a closed pipe is an error, as it is
// for any program whose output is its work.
int PrintAndExit(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "zel7-mask: write error: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

// The rules of the command line's forms, once the options are read.
std::optional<int> CheckForms(const CommandLine& line) {
    if (Result checked = CheckSettings(line.settings, Spelling::CommandLine); !checked.Ok()) {
        return UsageError(checked.detail);
    }
    if (line.listSeparator == '\0' && line.lists.empty()) {
        return UsageError("--null goes with --files-from");
    }
    if (line.Batch()) {
        if (line.operands.empty() && line.lists.empty()) {
            return UsageError("no source pictures given");
        }
    } else if (!line.lists.empty() || line.settings.shard) {
        return UsageError("--files-from and --shard go with --out-dir or --suffix");
    } else if (line.operands.size() != 2) {
        return UsageError("expected SOURCE and DEST (or --out-dir DIR SOURCE...)");
    } else if (line.reportPath == "-" && line.operands[1] == "-") {
        return UsageError("the mask and the report cannot both go to standard output");
    }
    return std::nullopt;
}

}  // namespace

int UsageError(const std::string& message) {
    std::fprintf(stderr, "zel7-mask: %s\n%sTry 'zel7-mask --help' for more information.\n",
                 QuoteForTerminal(message).c_str(), kUsageLines);
    return 2;
}

std::optional<int> ParseCommandLine(int argc, char** argv, CommandLine& line) {
    // Long options without a letter are told apart by values past any character.
    constexpr int kFirstLongOnly = 256;
    std::string letters = ":";
    std::vector<option> longOptions;
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        const Row& row = kRows[i];
        const bool takesArgument = ArgumentOf(row) != nullptr;
        if (row.letter != 0) {
            letters += row.letter;
            letters += takesArgument ? ":" : "";
        }
        longOptions.push_back({row.name, takesArgument ? required_argument : no_argument, nullptr,
                               row.letter != 0 ? row.letter : kFirstLongOnly + int(i)});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;  // the messages below name the program, not the path it was run by
    optind = 1;
    for (int code;
         (code = getopt_long(argc, argv, letters.c_str(), longOptions.data(), nullptr)) != -1;) {
        if (code == ':') {
            return UsageError("option '" + std::string(argv[optind - 1]) + "' needs a value");
        }
        const auto row = std::find_if(std::begin(kRows), std::end(kRows), [&](const Row& r) {
            return r.letter != 0 ? r.letter == code
                                 : code == kFirstLongOnly + int(&r - std::begin(kRows));
        });
        if (code == '?' || row == std::end(kRows)) {
            // getopt_long says '?' for a prefix of several options too.
            const std::string_view given = argv[optind - 1];
            const std::string_view name = given.substr(0, given.find('=')).substr(2);
            std::string matches;
            for (const Row& r : kRows) {
                if (given.starts_with("--") && !name.empty() &&
                    std::string_view(r.name).starts_with(name)) {
                    matches += (matches.empty() ? "--" : ", --") + std::string(r.name);
                }
            }
            return UsageError(matches.find(',') != std::string::npos
                                  ? "option '" + std::string(given) + "' is ambiguous: " + matches
                                  : "unknown option '" + std::string(given) + "'");
        }
        const char* argument = optarg != nullptr ? optarg : "";
        if (row->ending == Ending::Help) {
            return PrintAndExit(Help());
        }
        if (row->ending == Ending::Version) {
            return PrintAndExit(std::string("zel7-mask (zel7) ") + ZEL7_VERSION + "\n");
        }
        if (const Option* shared = FindOption(row->name)) {
            if (Result read = ApplyOption(*shared, argument, Spelling::CommandLine, line.settings);
                !read.Ok()) {
                return UsageError(read.detail);
            }
        } else if (std::optional<std::string> refused = row->read(argument, line)) {
            return UsageError(*refused);
        }
    }
    line.operands.assign(argv + optind, argv + argc);
    return CheckForms(line);
}

}  // namespace zel7::cli
