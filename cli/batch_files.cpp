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
    // Read by lines, a NUL-separated list would be one path that opens as its first.
    bool nul = false;
    for (int c; (c = std::getc(file)) != EOF;) {
        if (c != separator) {
            entry.push_back(char(c));
            nul = nul || c == '\0';
        } else if (!entry.empty()) {
            paths.push_back(std::move(entry));
            entry.clear();
        }
    }
    int error = std::ferror(file) ? (errno != 0 ? errno : EIO) : nul ? EILSEQ : 0;
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
    // FNV-1a, simple and the same on every machine; its low bits depend on the low
    // bits of the bytes alone (photo.jpg and photo.png would share a shard of two),
    // so they are mixed with the high ones as MurmurHash3 ends.
    uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : path) {
        hash = (hash ^ uint8_t(c)) * 0x100000001b3u;
    }
    hash = (hash ^ (hash >> 33)) * 0xff51afd7ed558ccdu;
    hash = (hash ^ (hash >> 33)) * 0xc4ceb9fe1a85ec53u;
    hash ^= hash >> 33;
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
