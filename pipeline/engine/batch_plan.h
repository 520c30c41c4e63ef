// Planning a batch: which mask each source gets, which sources are refused before any
// work, which share of the list a shard takes, and where the report may go. Every rule
// is decided over the whole list, so that shards run apart agree on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/framing.h"
#include "formats/picture_files.h"

namespace zel7 {

// Shard index of count ("I/N", 0 <= I < N).
struct Shard {
    uint32_t index = 0, count = 1;
};
std::optional<Shard> ParseShard(std::string_view text);

// Whether path belongs to the shard: by a hash of the path as given, so that a file's
// shard depends on nothing else, not on the list's order, its other files, or when
// each shard's task listed them.
bool InShard(std::string_view path, const Shard& shard);

// How a batch names its masks: into outDir (beside each source when empty), with the
// suffix before the extension, in the format asked or the one the name calls for. With
// keepTree, each source's path below base (when empty, the deepest folder holding
// every source of the list) is kept below outDir.
struct BatchNaming {
    std::string outDir;
    std::string suffix;
    std::optional<PictureFormat> format;
    bool cutout = false;
    bool keepTree = false;
    std::string base;
};

struct BatchJob {
    std::size_t index = 0;  // the source's place in the list
    std::string source;
    std::string destination;
    PictureFormat format = PictureFormat::Png;
};

// A source refused before any work, with the reason, and the mask it would have had.
struct BatchRefusal {
    std::size_t index = 0;  // the source's place in the list
    std::string source;
    std::string destination;
    std::string reason;
    // A file listed again, under the same name or another, whose mask its first listing
    // writes: nothing is lost, and reports say it skipped rather than failed.
    bool repeat = false;
};

struct BatchPlan {
    std::vector<BatchJob> jobs;          // this shard's
    std::vector<BatchRefusal> refusals;  // this shard's
    std::vector<std::string> written;    // every mask of the whole list
};

// Whether a source names a file a batch can name a mask after: not "-", nor a folder
// ("dir/", ".", ".."); a source that does not is refused for kUnnameable.
bool NamesAFile(const std::string& source);
inline constexpr const char* kUnnameable = "names no file to name a mask after";

// One job per source. A batch never replaces one of its own pictures, and never
// writes two masks to one name: a file listed under several names keeps it by the name
// first in byte order, and two files that would share it are both refused, whatever the
// list's order. In a kept tree a mask named as a folder other masks go into is refused,
// as is a source outside its base, and a mask that would replace one of the lists the
// sources were read from. Decided over the whole list; a shard then keeps its own share.
BatchPlan PlanBatch(const std::vector<std::string>& sources, const BatchNaming& naming,
                    std::optional<Shard> shard = std::nullopt,
                    const std::vector<std::string>& lists = {});

// Why a report at path would destroy something of the batch: a file it reads (a source,
// a list of sources), a file it writes (the masks of the whole list), or any picture.
// Nothing when the report may go there; "-" (standard output) always may.
std::optional<std::string> ReportProblem(const std::string& path,
                                         const std::vector<std::string>& reads,
                                         const std::vector<std::string>& writes);

// Whether a mask is there and not older than its source, for --skip-existing: only a
// regular file counts, and inside a kept tree's output folder (inside) only one reached
// as the writer would reach it, through no symbolic link. Masks are complete or absent,
// never partial, so one that exists was finished.
bool IsUpToDate(const std::string& source, const std::string& destination,
                const std::filesystem::path& inside = {});

// The most masking one picture may hold: its decoder's bound and the engine's buffers, and
// when framed (framing that reshapes), what framing holds of a picture of up to maxPixels.
uint64_t PictureMemoryBound(const FramingOptions& framing, uint64_t maxPixels);

// How many pictures may be worked on at once: the number asked (0: one per processor
// the process may use), and never more than memory (unset: the machine's, or the
// control group's) holds with each picture at perPicture bytes.
unsigned BoundedJobs(unsigned asked,
                     uint64_t perPicture = PictureMemoryBound({}, kDefaultMaxPixels),
                     std::optional<uint64_t> memory = std::nullopt);

}  // namespace zel7
