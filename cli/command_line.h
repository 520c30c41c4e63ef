// zel7-mask's command line: one table of options, the library's and its own, that
// drives both getopt_long and --help.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/options.h"

namespace zel7::cli {

// Each job may hold one temporary file; the clean-up on signals knows this many.
inline constexpr unsigned kMaxJobs = 256;

struct CommandLine {
    MaskSettings settings;
    unsigned jobs = 0;               // 0: one per core
    std::vector<std::string> lists;  // --files-from
    char listSeparator = '\n';
    std::string reportPath;
    std::vector<std::string> operands;

    bool Batch() const { return !settings.outDir.empty() || !settings.suffix.empty(); }
};

// Reads the arguments as getopt_long does; returns an exit status to end with (after
// --help, --version or a usage error, said on standard output or error), or nothing
// to go on.
std::optional<int> ParseCommandLine(int argc, char** argv, CommandLine& line);

// Says a usage error on standard error; returns the exit status for it.
int UsageError(const std::string& message);

}  // namespace zel7::cli
