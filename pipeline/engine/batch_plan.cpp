#include "engine/batch_plan.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <set>
#include <thread>

#include "system/system.h"

namespace zel7 {
namespace {

namespace fs = std::filesystem;

// What one picture may take at most: its decoder's bound, and the slices, labels and
// tables of the engine around it.
constexpr uint64_t kPictureMemoryBound = kDefaultMaxDecoderMemory + (uint64_t{64} << 20);

// Which file each existing path names.
std::set<FileId> Identify(const std::vector<std::string>& paths) {
    std::set<FileId> files;
    for (const std::string& path : paths) {
        if (FileId id; path != "-" && IdentifyFile(path, id) == 0) {
            files.insert(id);
        }
    }
    return files;
}

// A path as the file system will resolve it, for comparing names of files that may not
// exist yet: links in the existing part followed, dots and doubled slashes gone.
fs::path Resolved(const std::string& path) {
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? fs::absolute(path, error).lexically_normal() : resolved;
}

// Whether a source names a file a mask can be named after.
bool Nameable(const std::string& source) {
    const fs::path name = fs::path(source).filename();
    return source != "-" && !name.empty() && name != "." && name != "..";
}

// A path by its names alone, from the root: what a kept tree mirrors. Links are not
// resolved, so a tree reached through one is kept as it was named.
fs::path Named(const std::string& path) {
    std::error_code error;
    return fs::absolute(path, error).lexically_normal();
}

// The folder a kept tree starts from: the one named, or the deepest holding every source.
fs::path TreeBase(const std::vector<std::string>& sources, const BatchNaming& naming) {
    if (!naming.base.empty()) {
        return Named(naming.base);
    }
    std::optional<fs::path> common;
    for (const std::string& source : sources) {
        if (!Nameable(source)) {
            continue;
        }
        const fs::path folder = Named(source).parent_path();
        if (!common) {
            common = folder;
            continue;
        }
        fs::path shared;
        for (auto a = common->begin(), b = folder.begin();
             a != common->end() && b != folder.end() && *a == *b; ++a, ++b) {
            shared /= *a;
        }
        common = shared;
    }
    return common.value_or(fs::path());
}

// The source's path below base, or nothing when it lies outside.
std::optional<fs::path> BelowBase(const std::string& source, const fs::path& base) {
    const fs::path relative = Named(source).lexically_relative(base);
    if (relative.empty() || relative == "." || *relative.begin() == "..") {
        return std::nullopt;
    }
    return relative;
}

}  // namespace

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

BatchPlan PlanBatch(const std::vector<std::string>& sources, const BatchNaming& naming,
                    std::optional<Shard> shard) {
    const std::set<FileId> read = Identify(sources);
    const fs::path base = naming.keepTree ? TreeBase(sources, naming) : fs::path();
    BatchPlan plan;
    std::set<fs::path> destinations;
    for (std::size_t index = 0; index < sources.size(); ++index) {
        const std::string& source = sources[index];
        const bool mine = !shard || InShard(source, *shard);
        if (!Nameable(source)) {
            if (mine) {
                plan.refusals.push_back({index, source, "", "names no file to name a mask after"});
            }
            continue;
        }
        fs::path folder =
            naming.outDir.empty() ? fs::path(source).parent_path() : fs::path(naming.outDir);
        std::optional<fs::path> below;
        if (naming.keepTree && !(below = BelowBase(source, base))) {
            if (mine) {
                plan.refusals.push_back(
                    {index, source, "", "lies outside the base folder " + naming.base});
            }
            continue;
        }
        if (below && below->has_parent_path()) {
            folder /= below->parent_path();
        }
        const fs::path destination =
            folder / MaskFileName(source, naming.suffix, naming.format, naming.cutout);
        std::string reason;
        if (FileId id; IdentifyFile(destination, id) == 0 && read.contains(id)) {
            reason = "its mask " + destination.string() +
                     " would replace a picture being masked; choose another --out-dir or a "
                     "--suffix";
        } else if (!destinations.insert(Resolved(destination)).second) {
            reason = "another source already writes " + destination.string();
        }
        if (reason.empty()) {
            plan.written.push_back(destination.string());
        }
        if (!mine) {
            continue;
        }
        if (reason.empty()) {
            plan.jobs.push_back({index, source, destination.string(), *FormatForName(destination)});
        } else {
            plan.refusals.push_back({index, source, destination.string(), std::move(reason)});
        }
    }
    return plan;
}

std::optional<std::string> ReportProblem(const std::string& path,
                                         const std::vector<std::string>& reads,
                                         const std::vector<std::string>& writes) {
    if (path == "-") {
        return std::nullopt;
    }
    const std::string named = "the report '" + path + "'";
    FileId id;
    const bool exists = IdentifyFile(path, id) == 0;
    if (exists && Identify(reads).contains(id)) {
        return named + " would replace a file the batch reads";
    }
    const fs::path report = Resolved(path);
    for (const std::string& write : writes) {
        if (FileId other; Resolved(write) == report ||
                          (exists && IdentifyFile(write, other) == 0 && other == id)) {
            return named + " would be replaced by the mask " + write;
        }
    }
    if (exists && IsPictureFile(path)) {
        return named + " would replace a picture";
    }
    return std::nullopt;
}

bool IsUpToDate(const std::string& source, const std::string& destination,
                const std::filesystem::path& inside) {
    if (source == "-" || destination == "-") {
        return false;
    }
    const std::optional<int64_t> mask = RegularFileChanged(destination, inside);
    const std::optional<int64_t> picture = RegularFileChanged(source);
    return mask && picture && *mask >= *picture;
}

unsigned BoundedJobs(unsigned asked) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const uint64_t memory = PhysicalMemoryBytes();
    const uint64_t fit = memory == 0 ? cores : std::max<uint64_t>(1, memory / kPictureMemoryBound);
    return unsigned(std::min<uint64_t>(asked != 0 ? asked : cores, fit));
}

}  // namespace zel7
