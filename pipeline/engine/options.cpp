#include "engine/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace zel7 {
namespace {

using Refusal = std::optional<OptionRefusal>;

// The rule an argument broke.
OptionRefusal Not(std::string rule, std::string_view argument) {
    return {std::move(rule), std::string(argument)};
}

// A whole number from least to most, or nothing.
std::optional<uint64_t> Number(std::string_view text, uint64_t least, uint64_t most) {
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < least || value > most) {
        return std::nullopt;
    }
    return value;
}

Refusal Side(MaskSettings& settings, Background side) {
    if (settings.side && *settings.side != side) {
        return OptionRefusal{"{white} and {black} exclude each other"};
    }
    settings.side = side;
    return std::nullopt;
}

Refusal Product(MaskSettings& settings, zel7::Product product) {
    if (settings.refine.product != Product::Mask && settings.refine.product != product) {
        return OptionRefusal{"{cutout} and {soft} exclude each other"};
    }
    settings.refine.product = product;
    return std::nullopt;
}

// Region sizes in pixels; 0 turns the rule off.
Refusal Pixels(const char* name, std::string_view argument, uint64_t& into) {
    const std::optional<uint64_t> pixels = Number(argument, 0, UINT32_MAX);
    if (!pixels) {
        return Not(
            std::string(name) + " takes a number of pixels from 0 to " + std::to_string(UINT32_MAX),
            argument);
    }
    into = *pixels;
    return std::nullopt;
}

// A width and a height, each from 1 to 65535, joined by `between`.
std::optional<FrameSize> Pair(std::string_view text, char between) {
    const std::size_t at = text.find(between);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<uint64_t> width = Number(text.substr(0, at), 1, kMaxDimension);
    const std::optional<uint64_t> height = Number(text.substr(at + 1), 1, kMaxDimension);
    if (!width || !height) {
        return std::nullopt;
    }
    return FrameSize{int32_t(*width), int32_t(*height)};
}

Refusal Aspect(MaskSettings& settings, FrameSize aspect) {
    const std::optional<FrameSize>& had = settings.framing.aspect;
    if (had && uint64_t(had->width) * uint64_t(aspect.height) !=
                   uint64_t(had->height) * uint64_t(aspect.width)) {
        return OptionRefusal{"{aspect} and {square} ask for different shapes"};
    }
    settings.framing.aspect = aspect;
    return std::nullopt;
}

// A share of the frame, "7.5%", or whole pixels, "40".
Refusal Margin(std::string_view argument, MaskSettings& settings) {
    const OptionRefusal refused =
        Not("{margin} takes a share of the frame below 50% (7.5%) or pixels (40)", argument);
    if (!argument.empty() && argument.back() == '%') {
        double percent = 0;
        const char* end = argument.data() + argument.size() - 1;
        auto [last, error] = std::from_chars(argument.data(), end, percent);
        if (error != std::errc() || last != end || !(percent >= 0 && percent < 50)) {
            return refused;
        }
        settings.framing.margin = FrameMargin{true, percent / 100, 0};
        return std::nullopt;
    }
    const std::optional<uint64_t> pixels = Number(argument, 0, kMaxDimension);
    if (!pixels) {
        return refused;
    }
    settings.framing.margin = FrameMargin{false, 0, int32_t(*pixels)};
    return std::nullopt;
}

// white, black, or #rrggbb.
Refusal Flatten(std::string_view argument, MaskSettings& settings) {
    if (argument == "white" || argument == "black") {
        const uint8_t level = argument == "white" ? 255 : 0;
        settings.framing.flatten = FrameColour{level, level, level};
        return std::nullopt;
    }
    uint32_t rgb = 0;
    const char* end = argument.data() + argument.size();
    if (argument.size() == 7 && argument[0] == '#') {
        auto [last, error] = std::from_chars(argument.data() + 1, end, rgb, 16);
        if (error == std::errc() && last == end) {
            settings.framing.flatten =
                FrameColour{uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)};
            return std::nullopt;
        }
    }
    return Not("{flatten} takes white, black or #rrggbb", argument);
}

constexpr Option kOptions[] = {
    {"white", nullptr, OptionScope::Picture,
     "the background is white: pixels whose blue, green and red\nare all at least 240 are "
     "background",
     [](std::string_view, MaskSettings& s) { return Side(s, Background::NearWhite); }},
    {"black", nullptr, OptionScope::Picture, "the background is black: all three at most 20",
     [](std::string_view, MaskSettings& s) { return Side(s, Background::NearBlack); }},
    {"studio", nullptr, OptionScope::Picture,
     "what studio photos need, with {white} or {black}: the\nbackdrop measured as a surface "
     "over the frame, its noise\nsetting the tolerance; background where it reaches the\n"
     "edge, holes that show it, cast shadows on white; edges\nby coverage; specks under a "
     "ten-thousandth settled, parts\nstanding apart under a hundredth of the product "
     "dropped;\nthe outline settled by a colour cut (GrabCut).\nIt includes {auto-background} and "
     "{connected};\n"
     "{tolerance}, {despeckle} and {hole-area} act on top of it",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.refine.autoBackground = s.refine.surface = s.refine.regions.connected = true;
         s.refine.regions.despeckleShare = kStudioSpeckShare;
         s.refine.regions.strayShare = kStudioStrayShare;
         return std::nullopt;
     }},
    {"shadow", "drop|keep", OptionScope::Picture,
     "with {studio} on white: drop cast shadows (the default),\nor keep them: in cut-outs as "
     "black as opaque as they\ndarken the backdrop, in soft masks as grey",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         if (argument != "drop" && argument != "keep") {
             return Not("{shadow} takes drop or keep", argument);
         }
         s.refine.keepShadows = argument == "keep";
         s.shadowGiven = true;
         return std::nullopt;
     }},
    {"auto-background", nullptr, OptionScope::Picture,
     "measure the backdrop's colour and noise on the picture's\nborder; background is what lies "
     "within a tolerance of it",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.refine.autoBackground = true;
         return std::nullopt;
     }},
    {"tolerance", "N", OptionScope::Picture,
     "the largest difference of any channel from the backdrop\n(255 with {white}, 0 with "
     "{black}) counted as background",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         const std::optional<uint64_t> tolerance = Number(argument, 0, 255);
         if (!tolerance) {
             return Not("{tolerance} takes a whole number from 0 to 255", argument);
         }
         s.refine.tolerance = int(*tolerance);
         return std::nullopt;
     }},
    {"connected", nullptr, OptionScope::Picture,
     "background only where it reaches the picture's edge, or\nwhere the object encloses the "
     "backdrop's very colour (the\nhole of a handle): parts nearly as light or dark (a\nlabel) "
     "stay object",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.refine.regions.connected = true;
         return std::nullopt;
     }},
    {"hole-area", "N", OptionScope::Picture,
     "with {connected}: instead, enclosed backdrop-coloured\nparts are background when larger "
     "than N pixels",
     [](std::string_view argument, MaskSettings& s) {
         return Pixels("{hole-area}", argument, s.refine.regions.holeArea);
     }},
    {"despeckle", "N", OptionScope::Picture,
     "specks of object and pinholes of background smaller than\nN pixels take the colour around "
     "them",
     [](std::string_view argument, MaskSettings& s) {
         return Pixels("{despeckle}", argument, s.refine.regions.despeckle);
     }},
    {"cutout", nullptr, OptionScope::Picture,
     "write the object with a transparent background (PNG or\nWebP), its edges soft and freed of "
     "the backdrop's colour",
     [](std::string_view, MaskSettings& s) { return Product(s, Product::Cutout); }},
    {"hard-edges", nullptr, OptionScope::Picture,
     "with {cutout}: every pixel wholly object or transparent",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.refine.hardEdges = true;
         return std::nullopt;
     }},
    {"srgb", nullptr, OptionScope::Picture,
     "convert the colours from the picture's ICC profile to\nsRGB before anything else, and "
     "write no profile;\nwithout it cut-outs carry the picture's profile",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.srgb = true;
         return std::nullopt;
     }},
    {"soft", nullptr, OptionScope::Picture, "masks: the edges' coverage as grey levels",
     [](std::string_view, MaskSettings& s) { return Product(s, Product::SoftMask); }},
    {"invert", nullptr, OptionScope::Picture,
     "masks: object white, background black; cut-outs: the\nobject transparent and the "
     "background kept",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.refine.invert = true;
         return std::nullopt;
     }},
    {"trim", nullptr, OptionScope::Written,
     "frame the cut-out (implies {cutout}): crop it to the\nobject, kept shadows included",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.framing.trim = true;
         return std::nullopt;
     }},
    {"margin", "M", OptionScope::Written,
     "room round the object on every side: a share of the\nframe (7.5%) or pixels (40)",
     [](std::string_view argument, MaskSettings& s) { return Margin(argument, s); }},
    {"aspect", "W:H", OptionScope::Written, "pad the frame to this shape, the object centred",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         const std::optional<FrameSize> aspect = Pair(argument, ':');
         if (!aspect) {
             return Not("{aspect} takes W:H, each from 1 to 65535", argument);
         }
         return Aspect(s, *aspect);
     }},
    {"square", nullptr, OptionScope::Written, "the same as {aspect} 1:1",
     [](std::string_view, MaskSettings& s) {
         return Aspect(s, {1, 1});
     }},
    {"size", "WxH", OptionScope::Written,
     "scale the frame to fit W x H (up or down), exactly W x H\nwith {aspect} or {square}",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         s.framing.size = Pair(argument, 'x');
         if (!s.framing.size) {
             return Not("{size} takes WxH, each from 1 to 65535", argument);
         }
         return std::nullopt;
     }},
    {"flatten", "COLOUR", OptionScope::Written,
     "put the cut-out on white, black or #rrggbb, without\ntransparency (JPEGs: on white unless "
     "told)",
     [](std::string_view argument, MaskSettings& s) { return Flatten(argument, s); }},
    {"quality", "N", OptionScope::Written,
     "JPEG and lossy WebP: from 1 (smallest) to 100 (best),\ndefault 90",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         const std::optional<uint64_t> quality = Number(argument, 1, 100);
         if (!quality) {
             return Not("{quality} takes a whole number from 1 to 100", argument);
         }
         s.quality = int(*quality);
         return std::nullopt;
     }},
    {"lossless", nullptr, OptionScope::Written,
     "WebP: lossless, every colour and alpha exact (larger)",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.lossless = true;
         return std::nullopt;
     }},
    {"format", "FORMAT", OptionScope::Picture,
     "png, bmp, jpeg or webp for every mask, whatever the\nnames say (jpeg for cut-outs, webp "
     "for cut-outs and\nsoft masks)",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         constexpr std::pair<std::string_view, PictureFormat> kNames[] = {
             {"png", PictureFormat::Png},
             {"bmp", PictureFormat::Bmp},
             {"jpeg", PictureFormat::Jpeg},
             {"webp", PictureFormat::Webp}};
         const auto named = std::find_if(std::begin(kNames), std::end(kNames),
                                         [&](const auto& name) { return name.first == argument; });
         if (named == std::end(kNames)) {
             return Not("{format} takes png, bmp, jpeg or webp", argument);
         }
         s.format = named->second;
         return std::nullopt;
     }},
    {"max-pixels", "N", OptionScope::Picture,
     "refuse compressed pictures of more than N pixels\n(default 200000000; at most 65535 a "
     "side in any case)",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         const std::optional<uint64_t> pixels = Number(argument, 1, UINT64_MAX);
         if (!pixels) {
             return Not("{max-pixels} takes a whole number from 1 up", argument);
         }
         s.maxPixels = *pixels;
         return std::nullopt;
     }},
    {"out-dir", "DIR", OptionScope::Batch, "write each mask into DIR",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         if (argument.empty()) {
             return OptionRefusal{"the output folder name is empty"};
         }
         s.outDir = argument;
         return std::nullopt;
     }},
    {"suffix", "TEXT", OptionScope::Batch,
     "name each mask after its source with TEXT before the\nextension (photo.jpg, -mask: "
     "photo-mask.png); without\n{out-dir}, masks go beside their sources",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         if (argument.empty()) {
             return OptionRefusal{"the suffix is empty"};
         }
         if (argument.find('/') != std::string_view::npos) {
             return Not("{suffix} may not hold '/': masks go into a folder with {out-dir}",
                        argument);
         }
         s.suffix = argument;
         return std::nullopt;
     }},
    {"keep-tree", nullptr, OptionScope::Tree,
     "with {out-dir}: keep the sources' folders below the\nfolder they all lie in (a/x/p.jpg "
     "and a/y/p.jpg give\nx/p.png and y/p.png), making them as needed",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.keepTree = true;
         return std::nullopt;
     }},
    {"base", "DIR", OptionScope::Tree,
     "as {keep-tree}, from DIR instead: sources outside it\nare refused",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         if (argument.empty()) {
             return OptionRefusal{"the base folder name is empty"};
         }
         s.base = argument;
         s.keepTree = true;
         return std::nullopt;
     }},
    {"shard", "I/N", OptionScope::Batch,
     "mask only the I-th of N shares of the sources (I from 0),\nchosen by a hash of each path: "
     "for N tasks of a cluster",
     [](std::string_view argument, MaskSettings& s) -> Refusal {
         s.shard = ParseShard(argument);
         if (!s.shard) {
             return Not("{shard} takes I/N with I from 0 to N - 1", argument);
         }
         return std::nullopt;
     }},
    {"skip-existing", nullptr, OptionScope::Batch,
     "leave a source whose mask exists and is not older than\nit: a stopped batch run again does "
     "only what is left",
     [](std::string_view, MaskSettings& s) -> Refusal {
         s.skipExisting = true;
         return std::nullopt;
     }},
};

// A refusal, spelled; text is put before it as it stands.
Result Invalid(std::string_view rule, Spelling spelling, const std::string& text = {}) {
    return Fail(Status::InvalidOptions, text + Spelled(rule, spelling));
}

// The rule a destination in this format would break with these settings, if any: masks
// go in PNG and BMP, cut-outs in PNG, JPEG and WebP, soft masks in WebP too.
std::optional<std::string_view> FormatRule(const MaskSettings& settings, PictureFormat format) {
    if (settings.Cutout() && format == PictureFormat::Bmp) {
        return settings.format ? "cut-outs are written as PNG, JPEG or WebP, not BMP: say {format} "
                                 "png, jpeg or webp"
                               : "cut-outs are written as PNG, JPEG or WebP, not BMP: name it "
                                 ".png, .jpg or .webp, or say {format}";
    }
    if (!settings.Cutout() && format == PictureFormat::Jpeg) {
        return "JPEG is for cut-outs ({cutout} or framing); masks are written as PNG or BMP";
    }
    // A two-tone mask is smaller and exact as a 1-bit PNG; lossy WebP would blur its edges.
    if (settings.refine.product == Product::Mask && !settings.Cutout() &&
        format == PictureFormat::Webp) {
        return "two-tone masks are written as PNG or BMP; WebP takes {cutout} and {soft}";
    }
    if (settings.lossless && format != PictureFormat::Webp) {
        return "{lossless} goes with WebP destinations (.webp, or {format} webp)";
    }
    if (settings.quality && format != PictureFormat::Webp && format != PictureFormat::Jpeg) {
        return "{quality} goes with JPEG and WebP destinations (.jpg, .webp, or {format})";
    }
    return std::nullopt;
}

// The rules of the frame's options between themselves.
std::optional<std::string_view> FramingRule(const MaskSettings& settings) {
    const FramingOptions& framing = settings.framing;
    if (!framing.Active()) {
        return std::nullopt;
    }
    if (settings.refine.product == Product::SoftMask || settings.refine.invert) {
        return "{trim}, {margin}, {aspect}, {square}, {size} and {flatten} frame cut-outs: not "
               "with {soft} or {invert}";
    }
    if (framing.size && framing.aspect) {
        // The size must have the aspect's shape, to a pixel's rounding.
        const FrameSize size = *framing.size, aspect = *framing.aspect;
        const double height = double(size.width) * aspect.height / aspect.width;
        if (std::abs(height - size.height) >= 1) {
            return "{size} is not of the shape {aspect} or {square} asks for";
        }
        // The frame is exactly that size: past the bound, every picture would be refused.
        static_assert(kMostFramePixels == 200'000'000, "the rule below says the bound");
        if (uint64_t(size.width) * uint64_t(size.height) > kMostFramePixels) {
            return "{size} asks for a frame of more than 200 megapixels";
        }
    }
    if (framing.size && framing.margin && !framing.margin->share &&
        2 * framing.margin->pixels >= std::min(framing.size->width, framing.size->height)) {
        return "{margin} leaves no room for the object in {size}";
    }
    return std::nullopt;
}

}  // namespace

MaskOptions MaskSettings::ForFile(PictureFormat written) const {
    MaskOptions options;
    options.background = side.value_or(Background::NearWhite);
    options.format = written;
    options.srgb = srgb;
    options.maxPixels = maxPixels;
    options.refine = refine;
    options.refine.sideKnown = side.has_value();
    if (keepTree) {
        options.inside = outDir;
    }
    if (framing.Active()) {
        options.refine.product = Product::Cutout;
    }
    options.framing = framing;
    options.framing.hardEdges = refine.hardEdges;
    options.quality = quality.value_or(kDefaultQuality);
    options.lossless = lossless;
    return options;
}

std::span<const Option> Options() {
    return kOptions;
}

const Option* FindOption(std::string_view name) {
    const auto found = std::find_if(std::begin(kOptions), std::end(kOptions),
                                    [&](const Option& option) { return option.name == name; });
    return found != std::end(kOptions) ? found : nullptr;
}

std::string Spelled(std::string_view message, Spelling spelling) {
    std::string spelled;
    for (std::size_t at = 0; at < message.size();) {
        const std::size_t open = message.find('{', at), close = message.find('}', open);
        if (open == std::string_view::npos || close == std::string_view::npos) {
            spelled += message.substr(at);
            break;
        }
        spelled += message.substr(at, open - at);
        std::string name(message.substr(open + 1, close - open - 1));
        if (spelling == Spelling::CommandLine) {
            spelled += "--" + name;
        } else {
            std::replace(name.begin(), name.end(), '-', '_');
            spelled += name;
        }
        at = close + 1;
    }
    return spelled;
}

Result ApplyOption(const Option& option, std::string_view argument, Spelling spelling,
                   MaskSettings& settings) {
    if (Refusal refused = option.read(argument, settings)) {
        std::string reason = Spelled(refused->rule, spelling);
        if (refused->argument) {
            reason += ", not '" + *refused->argument + "'";
        }
        return Fail(Status::InvalidOptions, std::move(reason));
    }
    return {};
}

Result CheckSettings(const MaskSettings& settings, Spelling spelling) {
    const RefineOptions& refine = settings.refine;
    if (!settings.side && !refine.autoBackground) {
        return Invalid(
            "say which background the pictures have: {white}, {black} or {auto-background}",
            spelling);
    }
    if (refine.surface && !settings.side) {
        return Invalid("{studio} goes with {white} or {black}", spelling);
    }
    // (either way: without it no shadow is dropped, and none is kept)
    if ((settings.shadowGiven || refine.keepShadows) && !refine.surface) {
        return Invalid("{shadow} goes with {studio}", spelling);
    }
    // A shadow cannot darken black; what an object throws on black is light, and dropped.
    if (refine.keepShadows && settings.side == Background::NearBlack) {
        return Invalid("{shadow} keep goes with {white}: on black there are no shadows to keep",
                       spelling);
    }
    if (refine.regions.holeArea > 0 && !refine.regions.connected) {
        return Invalid("{hole-area} goes with {connected}", spelling);
    }
    if (refine.hardEdges && !settings.Cutout()) {
        return Invalid("{hard-edges} goes with {cutout}", spelling);
    }
    if (const auto rule = FramingRule(settings)) {
        return Invalid(*rule, spelling);
    }
    if (settings.lossless && settings.quality) {
        return Invalid("{lossless} and {quality} exclude each other: lossless WebP has no quality",
                       spelling);
    }
    // Every destination is in the format given; a batch's, without one, are PNG or BMP.
    const bool batch = !settings.outDir.empty() || !settings.suffix.empty();
    if (settings.format || batch) {
        if (auto rule = FormatRule(settings, settings.format.value_or(PictureFormat::Png))) {
            return Invalid(*rule, spelling);
        }
    }
    if (settings.keepTree && settings.outDir.empty()) {
        return Invalid("{keep-tree} and {base} go with {out-dir}: the tree is kept below it",
                       spelling);
    }
    return {};
}

namespace {

// A destination as messages name it, quoted. (Appended piece by piece: GCC 12 at -O3
// warns falsely of overlapping copies in "'" + name + "': ".)
std::string Named(const std::filesystem::path& destination) {
    std::string named = "'";
    named.append(destination.string()).append("': ");
    return named;
}

}  // namespace

Result PlanOne(const MaskSettings& settings, const std::filesystem::path& source,
               std::filesystem::path destination, Spelling spelling, BatchJob& job) {
    // An empty name would fail only once the picture was read, naming nothing.
    if (source.empty() || destination.empty()) {
        return Invalid(
            source.empty() ? "the source's name is empty" : "the destination's name is empty",
            spelling);
    }
    std::error_code ignored;
    // A batch's destination is planned already, into its folder: a folder there is in the
    // way, as it is to zel7-mask's own batches.
    if (settings.outDir.empty() && destination != "-" &&
        std::filesystem::is_directory(destination, ignored)) {
        if (source == "-") {
            return Invalid(
                "a folder takes a mask under its source's name, and standard input "
                "has none: name the mask's file",
                spelling, Named(destination));
        }
        destination /= MaskFileName(source, "", settings.format, settings.Cutout());
        // A folder is no way to name the source: a source is replaced only when named so.
        if (std::filesystem::equivalent(source, destination, ignored)) {
            return Invalid(
                "the mask would replace its source; name the mask's file (the source's own "
                "name replaces it)",
                spelling, Named(destination));
        }
    }
    std::optional<PictureFormat> format =
        settings.format ? settings.format : FormatForName(destination);
    if (settings.Cutout() && destination == "-" && !settings.format) {
        format = PictureFormat::Png;
    }
    const std::string named = Named(destination);
    if (!format) {
        return Invalid(
            "masks are written as PNG (.png) or BMP (.bmp, .dib, or no extension), cut-outs "
            "as PNG, JPEG (.jpg, .jpeg) or WebP (.webp), soft masks as PNG, BMP or WebP; name the "
            "destination so, or say {format}",
            spelling, named);
    }
    if (const auto rule = FormatRule(settings, *format)) {
        return Invalid(*rule, spelling, named);
    }
    job = {0, source.string(), destination.string(), *format};
    return {};
}

}  // namespace zel7
