#include "batch_files.h"

#include <cerrno>
#include <charconv>
#include <cstring>

namespace zel7::cli {

int ReadSourceList(const std::string& path, char separator, std::vector<std::string>& paths) {
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        return errno;
    }
    std::string entry;
    for (int c; (c = std::getc(file)) != EOF;) {
        if (c != separator) {
            entry.push_back(char(c));
        } else if (!entry.empty()) {
            paths.push_back(std::move(entry));
            entry.clear();
        }
    }
    const int error = std::ferror(file) ? (errno != 0 ? errno : EIO) : 0;
    if (!entry.empty()) {
        paths.push_back(std::move(entry));
    }
    if (file != stdin) {
        std::fclose(file);
    }
    return error;
}

std::optional<Shard> ParseShard(std::string_view text) {
    Shard shard;
    const char* end = text.data() + text.size();
    auto [slash, error] = std::from_chars(text.data(), end, shard.index);
    if (error != std::errc() || slash == end || *slash != '/') {
        return std::nullopt;
    }
    auto [last, countError] = std::from_chars(slash + 1, end, shard.count);
    if (countError != std::errc() || last != end || shard.count == 0 ||
        shard.index >= shard.count) {
        return std::nullopt;
    }
    return shard;
}

bool InShard(std::string_view path, const Shard& shard) {
    // FNV-1a: simple, the same on every machine, and even enough over file names.
    uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : path) {
        hash = (hash ^ uint8_t(c)) * 0x100000001b3u;
    }
    return hash % shard.count == shard.index;
}

std::string JsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (uint8_t(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(uint8_t(c)));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

JsonReport::~JsonReport() {
    Close();
}

int JsonReport::Open(const std::string& path) {
    file_ = path == "-" ? stdout : std::fopen(path.c_str(), "we");
    return file_ == nullptr ? errno : 0;
}

void JsonReport::Add(const std::string& source, const std::string& destination,
                     std::string_view status, const std::string& reason, double milliseconds) {
    if (file_ == nullptr) {
        return;
    }
    char time[32];
    std::snprintf(time, sizeof time, "%.1f", milliseconds);
    const std::string line =
        "{\"source\":" + JsonString(source) + ",\"destination\":" + JsonString(destination) +
        ",\"status\":" + JsonString(status) + ",\"reason\":" + JsonString(reason) +
        ",\"milliseconds\":" + time + "}\n";
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

}  // namespace zel7::cli
