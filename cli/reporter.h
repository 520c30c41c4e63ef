// What zel7-mask says of each file: on standard error, in a progress line when that is
// a terminal, and in the JSON report when there is one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "refine/confidence.h"

namespace zel7::cli {

// One JSON object a line for each file, flushed as it is written, so that a batch
// killed half-way leaves a report of what it finished.
class JsonReport {
public:
    ~JsonReport();
    // "-": standard output; 0 or an errno value. A report continued (a batch resumed with
    // --skip-existing) keeps the lines of the runs before, every one whole.
    int Open(const std::string& path, bool continued);
    bool IsOpen() const { return file_ != nullptr; }
    // A refined picture's line ends with its confidence, an object of its measures.
    void Add(const std::string& source, const std::string& destination, std::string_view status,
             const std::string& reason, double milliseconds,
             const std::optional<Confidence>& confidence = std::nullopt);
    // 0, or the errno value of the first failed write.
    int Close();

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    int error_ = 0;
};

// Reports on standard error, and in the JSON report when there is one. When standard
// error is a terminal and there are several files, a progress line counts the
// finished ones and a summary ends the run. Names are quoted for the terminal.
class Reporter {
public:
    Reporter(std::size_t total, JsonReport& report);

    // blame is the file the reason is about: the source, or the destination.
    void Failed(const std::string& source, const std::string& destination, const std::string& blame,
                const std::string& reason, double milliseconds = 0);
    // A file written, with a remark for the user when there is one.
    void Written(const std::string& source, const std::string& destination, double milliseconds,
                 const std::string& remark = {},
                 const std::optional<Confidence>& confidence = std::nullopt);
    // A file left as it is (its mask up to date, or written for its first listing), with
    // the reason when it is not the usual one.
    void Skipped(const std::string& source, const std::string& destination,
                 const std::string& reason = {});
    bool AllWritten();
    void Finish();

private:
    void ShowProgress(const std::string& file);
    void ClearProgress();

    std::mutex mutex_;
    std::size_t total_;
    JsonReport& report_;
    std::size_t written_ = 0;
    std::size_t failed_ = 0;
    std::size_t skipped_ = 0;
    bool interactive_;
    bool progressShown_ = false;
};

}  // namespace zel7::cli
