// What large batches need around the engine: lists of sources read from a file, a
// report a program can read, and names safe to print.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel7::cli {

// Appends the paths in the file at path ("-": standard input), one a line or, with
// separator '\0', NUL-terminated as find -print0 writes them; empty entries are
// skipped. Returns 0 or an errno value: EILSEQ for a list read by lines that holds
// NUL bytes.
int ReadSourceList(const std::string& path, char separator, std::vector<std::string>& paths);

// A file name as coreutils prints it in messages: as it is when it holds no control
// character, otherwise quoted so that none reaches the terminal raw.
std::string QuoteForTerminal(std::string_view name);

// One JSON object a line for each file, flushed as it is written, so that a batch
// killed half-way leaves a report of what it finished.
class JsonReport {
public:
    ~JsonReport();
    int Open(const std::string& path);  // "-": standard output; 0 or an errno value
    bool IsOpen() const { return file_ != nullptr; }
    void Add(const std::string& source, const std::string& destination, std::string_view status,
             const std::string& reason, double milliseconds);
    // 0, or the errno value of the first failed write.
    int Close();

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    int error_ = 0;
};

// text as a JSON string, quotes included.
std::string JsonString(std::string_view text);

}  // namespace zel7::cli
