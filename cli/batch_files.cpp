#include "batch_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "system/system.h"

namespace zel7::cli {
namespace {

// Linux's PATH_MAX, its NUL counted: no name of this many bytes can be opened.
constexpr std::size_t kMostNameBytes = 4096;

}  // namespace

std::optional<std::string> ReadSourceList(const std::string& path, char separator,
                                          std::vector<std::string>& paths) {
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        return std::strerror(errno);
    }
    if (IsDevice(file)) {
        if (file != stdin) {
            std::fclose(file);
        }
        return "a device, not a list of names";
    }
    std::string entry;
    // Read by lines, a NUL-separated list would be one path that opens as its first; a
    // list written on Windows, names ending in a carriage return that none of the files
    // has.
    bool nul = false, crlf = false;
    const auto take = [&] {
        crlf = crlf || (separator == '\n' && entry.back() == '\r');
        paths.push_back(std::move(entry));
        entry.clear();
    };
    // Refused at the first NUL or overlong name, rather than once a file of them is read
    // into memory as one.
    for (int c; !nul && entry.size() < kMostNameBytes && (c = std::getc(file)) != EOF;) {
        if (c != separator) {
            entry.push_back(char(c));
            nul = c == '\0';
        } else if (!entry.empty()) {
            take();
        }
    }
    std::optional<std::string> refused;
    if (std::ferror(file)) {
        refused = std::strerror(errno != 0 ? errno : EIO);
    }
    const bool overlong = entry.size() >= kMostNameBytes;
    if (!entry.empty()) {
        take();
    }
    if (file != stdin) {
        std::fclose(file);
    }
    if (!refused && nul) {
        refused = "paths with NUL bytes: read the list with -0";
    } else if (!refused && overlong) {
        refused = "a name of " + std::to_string(kMostNameBytes) +
                  " bytes or more, longer than any path: is it a list of names?";
    } else if (!refused && crlf) {
        refused = "lines end in CR LF, as Windows writes them: convert the list (tr -d '\\r')";
    }
    return refused;
}

namespace {

// Which bytes of a name must not reach a terminal raw: control characters (C0, DEL and
// C1, which terminals act on: U+009B starts an escape sequence as ESC [ does) and bytes
// that are no part of a valid UTF-8 character (a terminal reading 8-bit controls takes
// a lone 0x9B for the same).
std::vector<bool> UnsafeBytes(std::string_view name) {
    std::vector<bool> unsafe(name.size());
    const auto byte = [&](std::size_t i) { return i < name.size() ? uint8_t(name[i]) : 0; };
    const auto continuation = [&](std::size_t i, uint8_t low, uint8_t high) {
        return byte(i) >= low && byte(i) <= high;
    };
    for (std::size_t i = 0; i < name.size();) {
        const uint8_t c = byte(i);
        std::size_t length = 1;
        bool bad = false;
        if (c < 0x80) {
            bad = c < 0x20 || c == 0x7f;
        } else if (c >= 0xc2 && c <= 0xdf && continuation(i + 1, 0x80, 0xbf)) {
            length = 2;
            bad = c == 0xc2 && byte(i + 1) <= 0x9f;  // C1
        } else if (c >= 0xe0 && c <= 0xef &&
                   continuation(i + 1, c == 0xe0 ? 0xa0 : 0x80, c == 0xed ? 0x9f : 0xbf) &&
                   continuation(i + 2, 0x80, 0xbf)) {
            length = 3;
        } else if (c >= 0xf0 && c <= 0xf4 &&
                   continuation(i + 1, c == 0xf0 ? 0x90 : 0x80, c == 0xf4 ? 0x8f : 0xbf) &&
                   continuation(i + 2, 0x80, 0xbf) && continuation(i + 3, 0x80, 0xbf)) {
            length = 4;
        } else {
            bad = true;
        }
        for (std::size_t k = i; k < i + length; ++k) {
            unsafe[k] = bad;
        }
        i += length;
    }
    return unsafe;
}

}  // namespace

std::string QuoteForTerminal(std::string_view name) {
    const std::vector<bool> unsafe = UnsafeBytes(name);
    if (std::none_of(unsafe.begin(), unsafe.end(), [](bool b) { return b; })) {
        return std::string(name);
    }
    // As coreutils quotes such names: printable runs in single quotes, the rest as $'\n'
    // or $'\ooo', so that the line can be pasted into a shell.
    std::string quoted;
    for (std::size_t i = 0; i < name.size();) {
        if (unsafe[i]) {
            quoted += "$'";
            for (; i < name.size() && unsafe[i]; ++i) {
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
            for (; i < name.size() && !unsafe[i]; ++i) {
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
