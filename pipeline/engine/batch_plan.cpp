#include "engine/batch_plan.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <tuple>
#include <unordered_map>

#include "system/system.h"

namespace zel7 {
namespace {

namespace fs = std::filesystem;

// What one picture may take at most besides framing: its decoder's bound, and the
// slices, labels and tables of the engine around it.
constexpr uint64_t kPictureMemoryBound = kDefaultMaxDecoderMemory + (uint64_t{64} << 20);

// Which file a source or a list is, "-" being standard input...
int IdentifyRead(const std::string& path, FileId& id) {
    return path == "-" ? IdentifyStandardStream(StandardStream::kInput, id)
                       : IdentifyFile(path, id);
}

// ...and a mask or a report, "-" being standard output: wherever the caller sent it.
int IdentifyWritten(const std::string& path, FileId& id) {
    return path == "-" ? IdentifyStandardStream(StandardStream::kOutput, id)
                       : IdentifyFile(path, id);
}

// Which file each existing path names, sorted.
std::vector<FileId> Identify(const std::vector<std::string>& paths) {
    std::vector<FileId> files;
    for (const std::string& path : paths) {
        if (FileId id; IdentifyRead(path, id) == 0) {
            files.push_back(id);
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Paths as the file system will take them, the working folder asked once and each
// folder resolved once, however many of a list's files lie in it: a list of a million
// names is planned by every shard.
class Paths {
public:
    Paths() {
        std::error_code error;
        cwd_ = fs::current_path(error);
    }

    // A path by its names alone, from the root: what a kept tree mirrors. Links are not
    // resolved, so a tree reached through one is kept as it was named.
    fs::path Named(const fs::path& path) const { return (cwd_ / path).lexically_normal(); }

    // For comparing names of files that may not exist yet: the folder's links followed
    // where it exists before its dots are taken away (a link's ".." leaves its target),
    // and a link at the name itself followed to the file it names, there or not, which is
    // where a mask written to the name goes.
    std::string Resolved(const fs::path& path) {
        fs::path folder = Folder(path.parent_path()), name = path.filename();
        for (int links = 0; links < kMostLinks; ++links) {
            std::error_code error;
            if (name.empty() || !fs::is_symlink(folder / name, error)) {
                break;
            }
            const fs::path target = fs::read_symlink(folder / name, error);
            if (error || target.empty()) {
                break;
            }
            const fs::path next = folder / target;  // an absolute target replaces the folder
            folder = Folder(next.parent_path()), name = next.filename();
        }
        return (folder / name).native();
    }

private:
    // As many links as the system follows in one path before it gives up (ELOOP).
    static constexpr int kMostLinks = 40;

    // A folder resolved once, however many names lie in it.
    const fs::path& Folder(const fs::path& folder) {
        auto [at, added] = folders_.try_emplace(folder.native());
        if (added) {
            std::error_code error;
            const fs::path absolute = cwd_ / folder;
            at->second = fs::weakly_canonical(absolute, error);
            if (error) {
                at->second = absolute.lexically_normal();
            }
        }
        return at->second;
    }

    fs::path cwd_;
    std::unordered_map<std::string, fs::path> folders_;
};

// The folder a kept tree starts from: the one named, or the deepest holding every source.
fs::path TreeBase(const std::vector<std::string>& sources, const BatchNaming& naming,
                  const Paths& paths) {
    if (!naming.base.empty()) {
        return paths.Named(naming.base);
    }
    std::optional<fs::path> common;
    for (const std::string& source : sources) {
        if (!NamesAFile(source)) {
            continue;
        }
        const fs::path folder = paths.Named(source).parent_path();
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
std::optional<fs::path> BelowBase(const fs::path& named, const fs::path& base) {
    const fs::path relative = named.lexically_relative(base);
    if (relative.empty() || relative == "." || *relative.begin() == "..") {
        return std::nullopt;
    }
    return relative;
}

// Sources whose masks share a name: one file listed under several spellings keeps it, by
// the spelling first in byte order; two files lose it both, as no order of the list may
// choose between them (shards list their files in any order, at different times). A
// source that is not there takes no part, but for being refused, for what it is: a file that
// cannot be opened, not a name another source holds (when none is there, they clash by name).
void SettleShared(const std::vector<std::string>& sources,
                  const std::vector<std::string>& destinations, std::vector<std::size_t> sharing,
                  Paths& paths, std::vector<std::string>& reasons,
                  std::vector<std::size_t>& firstListings) {
    // (the same name listed twice: the first listing first)
    std::sort(sharing.begin(), sharing.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(sources[a], a) < std::tie(sources[b], b);
    });
    struct Member {
        std::size_t index;
        int error;         // why it is not there, or 0 when it is
        std::string file;  // which file it is: by its identity when there, else by name
        bool There() const { return error == 0; }
    };
    std::vector<Member> members;
    for (const std::size_t index : sharing) {
        FileId id;
        const int error = IdentifyFile(sources[index], id);
        members.push_back({index, error,
                           error == 0 ? std::to_string(id.device) + ":" + std::to_string(id.inode)
                                      : paths.Resolved(sources[index])});
    }
    const bool anyThere = std::any_of(members.begin(), members.end(),
                                      [](const Member& member) { return member.There(); });
    const auto counts = [&](const Member& member) { return member.There() || !anyThere; };
    const Member& first = *std::find_if(members.begin(), members.end(), counts);
    const auto second = std::find_if(members.begin(), members.end(), [&](const Member& member) {
        return counts(member) && member.file != first.file;
    });
    // Said with the name the first source in byte order gives it, as every order says it.
    const std::string& destination = destinations[members.front().index];
    for (const Member& member : members) {
        if (!counts(member)) {
            reasons[member.index] = Describe(Fail(Status::CannotOpen, member.error));
            continue;
        }
        if (second == members.end()) {
            if (member.index != first.index) {
                firstListings[member.index] = first.index;
                reasons[member.index] = sources[member.index] == sources[first.index]
                                            ? "listed twice: its first listing stands for it"
                                            : "another source, " + sources[first.index] +
                                                  ", already writes " + destination;
            }
            continue;
        }
        const Member& other = member.file == first.file ? *second : first;
        reasons[member.index] = "another source, " + sources[other.index] + ", has the same mask " +
                                destination + ": rename one, or mask them apart";
    }
}

}  // namespace

bool NamesAFile(const std::string& source) {
    const fs::path name = fs::path(source).filename();
    return source != "-" && !name.empty() && name != "." && name != "..";
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

BatchPlan PlanBatch(const std::vector<std::string>& sources, const BatchNaming& naming,
                    std::optional<Shard> shard, const std::vector<std::string>& lists) {
    Paths paths;
    const fs::path base = naming.keepTree ? TreeBase(sources, naming, paths) : fs::path();
    // Each source's mask by name first; then the masks that are there already, and only
    // if one is, whether it is a picture of the batch; then the names masks share.
    std::vector<std::string> destinations(sources.size()), reasons(sources.size()),
        resolved(sources.size());
    std::vector<std::optional<FileId>> masks(sources.size());  // of the masks already there
    // Of each repeat (see BatchRefusal), its first listing; none for the others.
    constexpr std::size_t kNone = SIZE_MAX;
    std::vector<std::size_t> firstListings(sources.size(), kNone);
    // A kept tree's folders are followed through no link (the writer refuses them), so
    // its masks' names are resolved from the output folder's by their names alone.
    const fs::path out = fs::path(naming.outDir.empty() ? "." : naming.outDir);
    const fs::path top = naming.keepTree ? fs::path(paths.Resolved(out / "")) : fs::path();
    for (std::size_t index = 0; index < sources.size(); ++index) {
        const std::string& source = sources[index];
        if (!NamesAFile(source)) {
            reasons[index] = kUnnameable;
            continue;
        }
        fs::path folder =
            naming.outDir.empty() ? fs::path(source).parent_path() : fs::path(naming.outDir);
        std::optional<fs::path> below;
        if (naming.keepTree && !(below = BelowBase(paths.Named(source), base))) {
            reasons[index] = "lies outside the base folder " + naming.base;
            continue;
        }
        if (below && below->has_parent_path()) {
            folder /= below->parent_path();
        }
        const fs::path name = MaskFileName(source, naming.suffix, naming.format, naming.cutout);
        destinations[index] = (folder / name).string();
        resolved[index] = below ? (top / below->parent_path() / name).lexically_normal().native()
                                : paths.Resolved(destinations[index]);
        if (FileId id; IdentifyFile(destinations[index], id) == 0) {
            masks[index] = id;
        }
    }
    if (std::any_of(masks.begin(), masks.end(),
                    [](const auto& mask) { return mask.has_value(); })) {
        const std::vector<FileId> read = Identify(sources), listed = Identify(lists);
        for (std::size_t index = 0; index < sources.size(); ++index) {
            if (!reasons[index].empty() || !masks[index]) {
                continue;
            }
            const bool picture = std::binary_search(read.begin(), read.end(), *masks[index]);
            if (picture || std::binary_search(listed.begin(), listed.end(), *masks[index])) {
                reasons[index] = "its mask " + destinations[index] + " would replace " +
                                 (picture ? "a picture being masked" : "a list of the sources") +
                                 "; choose another --out-dir or a --suffix";
            }
        }
    }
    std::vector<std::pair<std::string, std::size_t>> keys;
    for (std::size_t index = 0; index < sources.size(); ++index) {
        if (reasons[index].empty()) {
            keys.emplace_back(std::move(resolved[index]), index);
        }
    }
    std::sort(keys.begin(), keys.end());
    for (auto run = keys.begin(); run != keys.end();) {
        const auto next =
            std::find_if(run, keys.end(), [&](const auto& key) { return key.first != run->first; });
        if (next - run > 1) {
            std::vector<std::size_t> sharing;
            std::transform(run, next, std::back_inserter(sharing),
                           [](const auto& key) { return key.second; });
            SettleShared(sources, destinations, sharing, paths, reasons, firstListings);
        }
        run = next;
    }
    // A kept tree makes its folders as it goes: a mask named as one of them would stop
    // the masks in it, or they it, as the shards' order had it. The folder wins, when a
    // source whose mask goes into it is there.
    if (naming.keepTree) {
        std::vector<std::pair<std::string, std::size_t>> folders;  // and whose mask made it
        for (const auto& [key, index] : keys) {
            for (fs::path folder = fs::path(key).parent_path();
                 reasons[index].empty() && folder.native().size() > top.native().size();
                 folder = folder.parent_path()) {
                folders.emplace_back(folder.native(), index);
            }
        }
        std::sort(folders.begin(), folders.end());
        for (const auto& [key, index] : keys) {
            auto [first, last] =
                std::equal_range(folders.begin(), folders.end(), std::pair(key, std::size_t{0}),
                                 [](const auto& a, const auto& b) { return a.first < b.first; });
            const auto there = [&](const auto& folder) {
                FileId id;
                return IdentifyFile(sources[folder.second], id) == 0;
            };
            if (reasons[index].empty() && std::any_of(first, last, there)) {
                reasons[index] =
                    "its mask " + destinations[index] + " is a folder other masks go into";
            }
        }
    }
    // A repeat whose first listing was refused since loses what it would have had: it is
    // refused alike.
    for (std::size_t index = 0; index < sources.size(); ++index) {
        if (const std::size_t first = firstListings[index];
            first != kNone && !reasons[first].empty()) {
            reasons[index] = reasons[first];
            firstListings[index] = kNone;
        }
    }
    BatchPlan plan;
    for (std::size_t index = 0; index < sources.size(); ++index) {
        if (reasons[index].empty()) {
            plan.written.push_back(destinations[index]);
        }
        if (shard && !InShard(sources[index], *shard)) {
            continue;
        }
        if (reasons[index].empty()) {
            plan.jobs.push_back(
                {index, sources[index], destinations[index], *FormatForName(destinations[index])});
        } else {
            plan.refusals.push_back({index, sources[index], destinations[index],
                                     std::move(reasons[index]), firstListings[index] != kNone});
        }
    }
    return plan;
}

std::optional<std::string> ReportProblem(const std::string& path,
                                         const std::vector<std::string>& reads,
                                         const std::vector<std::string>& writes) {
    const bool standard = path == "-";
    const std::string named =
        standard ? "the report (standard output)" : "the report '" + path + "'";
    // (only a regular file is replaced: a report to a terminal or a pipe is read, as a list
    // from it may be)
    FileId id;
    const bool exists =
        IdentifyWritten(path, id) == 0 && (standard || RegularFileChanged(path).has_value());
    if (exists) {
        const std::vector<FileId> read = Identify(reads);
        if (std::binary_search(read.begin(), read.end(), id)) {
            return named + " would replace a file the batch reads";
        }
    }
    // (standard output, sent to a mask's file, is that file whatever its name: by its
    // identity alone)
    Paths paths;
    const std::string report = standard ? std::string() : paths.Resolved(path);
    const std::string name = fs::path(report).filename().native();
    for (const std::string& write : writes) {
        // Only a mask with the report's name in its path can be it by name or lie in it;
        // any can be it by another link.
        const bool maybe = !standard && write.find(name) != std::string::npos;
        const std::string mask = maybe ? paths.Resolved(write) : std::string();
        if (FileId other; (maybe && mask == report) ||
                          (exists && IdentifyWritten(write, other) == 0 && other == id)) {
            return named + " would be replaced by the mask " +
                   (write == "-" ? std::string("on standard output") : write);
        }
        if (maybe && mask.starts_with(report + "/")) {
            return named + " would take the name of the folder the mask " + write + " goes into";
        }
    }
    if (exists && !standard && IsPictureFile(path)) {
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

uint64_t PictureMemoryBound(const FramingOptions& framing, uint64_t maxPixels) {
    return kPictureMemoryBound + (framing.Reshapes() ? FramingMemoryBound(maxPixels) : 0);
}

unsigned BoundedJobs(unsigned asked, uint64_t perPicture, std::optional<uint64_t> memory) {
    const unsigned wanted = asked != 0 ? asked : UsableProcessors();
    const uint64_t bytes = memory.value_or(PhysicalMemoryBytes());
    const uint64_t fit = bytes == 0 ? wanted : std::max<uint64_t>(1, bytes / perPicture);
    return unsigned(std::min<uint64_t>(wanted, fit));
}

}  // namespace zel7
