// What large batches need around the engine: lists of sources read from a file, and
// text safe to print and to put in JSON.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel7::cli {

// Appends the paths in the file at path ("-": standard input), one a line or, with
// separator '\0', NUL-terminated as find -print0 writes them; empty entries are
// skipped. Returns nothing, or why the list was not read: a list read by lines may hold
// no NUL byte, nor end a line in CR LF.
std::optional<std::string> ReadSourceList(const std::string& path, char separator,
                                          std::vector<std::string>& paths);

// A file name as coreutils prints it in messages: as it is when it holds no control
// character, otherwise quoted so that none reaches the terminal raw.
std::string QuoteForTerminal(std::string_view name);

// text as a JSON string, quotes included.
std::string JsonString(std::string_view text);

}  // namespace zel7::cli
