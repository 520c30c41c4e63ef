// What large batches need around the engine: lists of sources read from a file, the
// share of one shard, and a report a program can read.
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

// Shard index of count ("I/N", 0 <= I < N).
struct Shard {
    uint32_t index = 0, count = 1;
};
std::optional<Shard> ParseShard(std::string_view text);

// Whether path belongs to the shard: by a hash of the path as given, so that a file's
// shard depends on nothing else, not on the list's order, its other files, or when
// each shard's task listed them.
bool InShard(std::string_view path, const Shard& shard);

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
