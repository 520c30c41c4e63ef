// The options masks are made with, in one table for zel7-mask, the Python module and
// zel7.dask: each option's name, its argument, how its value is read and its help, and
// the rules between options, each written once. Messages name options as {name}; a
// front end spells them its own way (zel7-mask "--hole-area", Python "hole_area").
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/batch_plan.h"
#include "engine/framing.h"
#include "engine/mask_file.h"

namespace zel7 {

// Everything the options say: of each picture, and of a batch.
struct MaskSettings {
    std::optional<Background> side;  // --white or --black
    RefineOptions refine;
    std::optional<PictureFormat> format;
    bool srgb = false;
    std::optional<int> quality;  // of lossy destinations, when given
    bool lossless = false;
    bool shadowGiven = false;  // --shadow, either way
    uint64_t maxPixels = kDefaultMaxPixels;
    FramingOptions framing;  // any of it makes a cut-out
    // Batches.
    std::string outDir;
    std::string suffix;
    std::optional<Shard> shard;
    bool skipExisting = false;
    bool keepTree = false;  // sources' folders kept below outDir
    std::string base;       // the folder they are kept from; empty: the sources' common one

    bool Cutout() const { return refine.product == Product::Cutout || framing.Active(); }
    BatchNaming Naming() const { return {outDir, suffix, format, Cutout(), keepTree, base}; }
    // What masking one file takes, in the format given.
    MaskOptions ForFile(PictureFormat written) const;
};

// Whether an option is about each picture, about each picture written to a file (the
// frame of a shop's picture, whose size is known only once it is made), about a batch
// of them (how it runs: each front end has its own way to say that), or about where
// below the output folder its masks go (a keyword of the module's batch functions too).
enum class OptionScope { Picture, Written, Batch, Tree };

// Why an argument was refused: the rule, naming options as {name}, and the argument
// it was refused, if any, which is quoted after the rule as the user gave it.
struct OptionRefusal {
    std::string rule;
    std::optional<std::string> argument{};
};

struct Option {
    const char* name;      // as zel7-mask spells it after "--"
    const char* argument;  // what it takes ("N", "DIR"); null for a switch
    OptionScope scope;
    const char* help;  // lines of help, '\n' between them
    // Reads the argument ("" for a switch) into settings, or says why not.
    std::optional<OptionRefusal> (*read)(std::string_view argument, MaskSettings& settings);
};

// Every option, in the order --help lists them.
std::span<const Option> Options();
const Option* FindOption(std::string_view name);

// How a front end names options in messages.
enum class Spelling { CommandLine, Keyword };
// The message with every {name} spelled: "--hole-area", or "hole_area".
std::string Spelled(std::string_view message, Spelling spelling);

// Reads one option's argument into settings; a refusal is Status::InvalidOptions with
// the spelled reason as its detail.
[[nodiscard]] Result ApplyOption(const Option& option, std::string_view argument, Spelling spelling,
                                 MaskSettings& settings);

// The rules between options, once all are read.
[[nodiscard]] Result CheckSettings(const MaskSettings& settings, Spelling spelling);

// Where one picture's mask goes when the caller names the destination: a folder
// receives it under the source's name, as cp does, but never over the source itself: a
// source is replaced only when named as the destination; empty names are refused; the name
// says the format, unless --format does; cut-outs are PNG, JPEG or WebP, soft masks PNG,
// BMP or WebP, two-tone masks PNG or BMP.
[[nodiscard]] Result PlanOne(const MaskSettings& settings, const std::filesystem::path& source,
                             std::filesystem::path destination, Spelling spelling, BatchJob& job);

}  // namespace zel7
