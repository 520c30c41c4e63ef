#include "reporter.h"

#include <cerrno>
#include <filesystem>

#include "batch_files.h"
#include "system/system.h"

namespace zel7::cli {
namespace {

// Whether a line is a whole object as Add writes them: its braces closed, outside the
// strings, only at its end. Cut anywhere short of that, one is still open.
bool WholeObject(std::string_view line) {
    if (line.empty() || line.front() != '{') {
        return false;
    }
    int depth = 0;
    bool quoted = false, escaped = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            quoted = escaped || c != '"';
            escaped = !escaped && c == '\\';
        } else if (c == '"') {
            quoted = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return i + 1 == line.size();
        }
    }
    return false;
}

}  // namespace

JsonReport::~JsonReport() {
    Close();
}

int JsonReport::Open(const std::string& path, bool continued) {
    if (path == "-") {
        file_ = stdout;
        return 0;
    }
    if (continued) {
        return OpenLinesToContinue(path, file_, WholeObject);
    }
    file_ = std::fopen(path.c_str(), "we");
    return file_ == nullptr ? errno : 0;
}

void JsonReport::Add(const std::string& source, const std::string& destination,
                     std::string_view status, const std::string& reason, double milliseconds,
                     const std::optional<Confidence>& confidence) {
    if (file_ == nullptr) {
        return;
    }
    char number[32];
    std::snprintf(number, sizeof number, "%.1f", milliseconds);
    std::string line = "{\"source\":" + JsonString(source) +
                       ",\"destination\":" + JsonString(destination) +
                       ",\"status\":" + JsonString(status) + ",\"reason\":" + JsonString(reason) +
                       ",\"milliseconds\":" + number;
    if (confidence) {
        char separator = '{';
        line += ",\"confidence\":";
        for (const auto& [name, value] : confidence->Fields()) {
            std::snprintf(number, sizeof number, "%.4g", value);
            line += separator + JsonString(name) + ":" + number;
            separator = ',';
        }
        line += "}";
    }
    line += "}\n";
    std::lock_guard lock(mutex_);
    if (std::fputs(line.c_str(), file_) == EOF || std::fflush(file_) != 0) {
        error_ = error_ != 0 ? error_ : errno;
    }
}

int JsonReport::Close() {
    if (file_ == nullptr) {
        return error_;
    }
    if (file_ != stdout ? std::fclose(file_) != 0 : std::fflush(file_) != 0) {
        error_ = error_ != 0 ? error_ : errno;
    }
    file_ = nullptr;
    return error_;
}

Reporter::Reporter(std::size_t total, JsonReport& report)
    : total_(total), report_(report), interactive_(total > 1 && StandardErrorIsTerminal()) {}

void Reporter::Failed(const std::string& source, const std::string& destination,
                      const std::string& blame, const std::string& reason, double milliseconds) {
    report_.Add(source, destination, "failed", reason, milliseconds);
    std::lock_guard lock(mutex_);
    ++failed_;
    ClearProgress();
    std::fprintf(stderr, "zel7-mask: %s: %s\n", QuoteForTerminal(blame).c_str(),
                 QuoteForTerminal(reason).c_str());
    ShowProgress(source);
}

void Reporter::Written(const std::string& source, const std::string& destination,
                       double milliseconds, const std::string& remark,
                       const std::optional<Confidence>& confidence) {
    report_.Add(source, destination, "written", remark, milliseconds, confidence);
    std::lock_guard lock(mutex_);
    ++written_;
    if (!remark.empty()) {
        ClearProgress();
        std::fprintf(stderr, "zel7-mask: %s: %s\n", QuoteForTerminal(source).c_str(),
                     remark.c_str());
    }
    ShowProgress(source);
}

void Reporter::Skipped(const std::string& source, const std::string& destination,
                       const std::string& reason) {
    report_.Add(source, destination, "skipped", reason, 0);
    std::lock_guard lock(mutex_);
    ++skipped_;
    if (!reason.empty()) {
        ClearProgress();
        std::fprintf(stderr, "zel7-mask: %s: %s\n", QuoteForTerminal(source).c_str(),
                     QuoteForTerminal(reason).c_str());
    }
    ShowProgress(source);
}

bool Reporter::AllWritten() {
    std::lock_guard lock(mutex_);
    return failed_ == 0;
}

void Reporter::Finish() {
    std::lock_guard lock(mutex_);
    ClearProgress();
    if (interactive_) {
        std::fprintf(stderr, "%zu written, %zu failed", written_, failed_);
        std::fprintf(stderr, skipped_ > 0 ? ", %zu skipped\n" : "\n", skipped_);
    }
}

void Reporter::ShowProgress(const std::string& file) {
    if (!interactive_) {
        return;
    }
    const std::string name = std::filesystem::path(file).filename().string();
    std::fprintf(stderr, "\r[%zu/%zu] %s\x1b[K", written_ + failed_ + skipped_, total_,
                 QuoteForTerminal(name).c_str());
    progressShown_ = true;
}

void Reporter::ClearProgress() {
    if (progressShown_) {
        std::fputs("\r\x1b[K", stderr);
        progressShown_ = false;
    }
}

}  // namespace zel7::cli
