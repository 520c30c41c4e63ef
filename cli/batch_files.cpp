#include "batch_files.h"

#include <algorithm>
#include <cerrno>
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

std::string QuoteForTerminal(std::string_view name) {
    const auto control = [](char c) { return uint8_t(c) < 0x20 || c == 0x7f; };
    if (std::none_of(name.begin(), name.end(), control)) {
        return std::string(name);
    }
    // As coreutils quotes such names: printable runs in single quotes, control
    // characters as $'\n' or $'\ooo', so that the line can be pasted into a shell.
    std::string quoted;
    for (std::size_t i = 0; i < name.size();) {
        if (control(name[i])) {
            quoted += "$'";
            for (; i < name.size() && control(name[i]); ++i) {
                static constexpr std::string_view kNamed = R"(\a\b\t\n\v\f\r)";
                const auto c = uint8_t(name[i]);
                if (c >= '\a' && c <= '\r') {
                    quoted += kNamed.substr(2 * std::size_t(c - '\a'), 2);
                } else {
                    char octal[8];
                    std::snprintf(octal, sizeof octal, "\\%03o", unsigned(c));
                    quoted += octal;
                }
            }
            quoted += '\'';
        } else {
            quoted += '\'';
            for (; i < name.size() && !control(name[i]); ++i) {
                quoted += name[i] == '\'' ? std::string("'\\''") : std::string(1, name[i]);
            }
            quoted += '\'';
        }
    }
    return quoted;
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

}  // namespace zel7::cli
