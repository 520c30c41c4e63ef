#include "refine/refine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <system_error>
#include <vector>

#include "engine/helper_thread.h"
#include "mask/kernels.h"
#include "refine/backdrop.h"
#include "refine/cut.h"
#include "refine/edges.h"
#include "refine/gaps.h"
#include "refine/holes.h"
#include "refine/outlines.h"
#include "refine/ringing.h"
#include "refine/shadows.h"
#include "refine/surface.h"

namespace zel7 {
namespace {

constexpr double kMostFitSamples = 250'000;
// The shadow rule compares neighbouring samples: they lie at least this many of the
// picture's outlines apart (OutlineWidth), so that a shadow fades over many of them where
// an object's outline steps from one to the next. (On the development photos enlarged
// twice and four times, white garments' outlines spread over three samples went as
// shadows, 0.94 and 0.27 of their IoU against 0.97 at their own size, and back to 0.97
// and 0.94 with the samples so spread.)
constexpr double kLeastApartPerOutline = 1.2;
// ...but no more than this many times as far apart as the picture's size asks: a contact
// shadow's fade is as wide as the scene makes it, whatever the lens, and samples further
// apart step across it (a white bowl's on a 600 x 450 picture blurred by 2 pixels was
// kept with the bowl, 0.91 to 0.82 of its IoU, with samples three times as far apart).
constexpr int32_t kMostOutlineSpread = 2;
// How far the next pass's decoding may run ahead while the surface is fitted. The
// labelling pass takes rows faster than a JPEG decodes, so a head start of this much
// (a 24-megapixel picture's first sixth) is as good as a longer one, which costs
// memory only (24 MiB measured the same).
constexpr std::size_t kMostDecodedAhead = std::size_t{12} << 20;
// The colours kept for a two-tone mask's edges, at most: a studio shot's outline keeps a
// few hundred kilobytes; a picture of many small changes of class is decoded again.
constexpr std::size_t kMostEdgeColourBytes = 16 << 20;
// The last pass unmixes the edges of a stripe of rows at a time, so that a spare core can
// take half of them (unmixing took most of a photo's last pass, on one core, the other
// decoding and writing for a quarter of it): a stripe's rows hold this many bytes at most
// (their colours and coverage; the window holds a reach of rows more either side, and the
// stripe's edge pixels are listed, 16 bytes each)...
constexpr std::size_t kStripeBytes = std::size_t{1} << 20;
// ...and are no more than this many.
constexpr int32_t kMostStripeRows = 64;
// The edge pixels each thread takes at a time (each reads up to 19 x 19 pixels around).
constexpr std::size_t kUnmixedAtATime = 64;
// An edge pixel with shadows kept is mixed of the object and a shadow where what it was
// unmixed from darkens the backdrop by this much (out of 255) or more: a level of noise
// on a light backdrop darkens it by one.
constexpr uint8_t kLeastShadeBehind = 4;

class Refined : public RowSource {
public:
    Refined(const SourceOpener& open, Background background, const RefineOptions& options)
        : open_(open), background_(background), options_(options) {}

    Result Open();

    const PictureShape& Shape() const override { return shape_; }
    int Orientation() const override { return orientation_; }
    std::span<const uint8_t> ColourProfile() const override { return profile_; }
    Result Read(uint8_t* into, std::size_t size) override;
    Confidence Judged() const {
        Confidence judged = counter_->Result(surface_ ? surface_->Unevenness() : 0);
        judged.offSide = offSide_;
        return judged;
    }

private:
    Result OpenDecoder(std::unique_ptr<RowSource>& decoder);
    template <class Each>
    Result ForEachRow(RowSource& decoder, Each each);
    Result Measure(std::unique_ptr<RowSource>& unread);
    Result Label(std::unique_ptr<RowSource>& unread);
    Result DecodeRow(int32_t y);
    void WriteRow(int32_t y, uint8_t* out);
    void UnmixStripe(int32_t top, int32_t bottom);
    // Calls work on [0, count), shared with the helper thread where a core is spare.
    void Share(std::size_t count, std::size_t grain, const HelperThread::Work& work);
    void WriteEdges(int32_t y, uint8_t* out, bool halved);
    void KeepShadows(int32_t y, uint8_t* out, uint8_t least);
    void Classify(int32_t y, const uint8_t* bgr, uint8_t mark, uint8_t shadowMark,
                  uint8_t* classes) const;

    const SourceOpener& open_;
    Background background_;
    RefineOptions options_;
    PictureShape decoded_{};
    PictureShape shape_{};
    int orientation_ = 1;
    std::vector<uint8_t> profile_;  // the decoders come and go
    Backdrop reference_;
    std::optional<Confidence::OffSide> offSide_;  // the backdrop measured off the side asked
    DrawnFrame frame_;  // painted over with the backdrop wherever the rows are read
    std::optional<PictureSamples> samples_;   // with options_.surface
    std::optional<BackdropSurface> surface_;  // the same
    std::optional<ShadowMap> shadows_;        // the same: where cast shadows lie
    std::unique_ptr<RegionLabeller> labels_;
    std::optional<ColourCut> cut_;            // with options_.surface: the outline settled
    std::future<void> cutOpened_;             // ColourCut::OpenAhead, as the first pass starts
    std::optional<EdgeColours> edgeColours_;  // the colours edges and shadows need, kept
    int32_t edgeBand_ = kEdge;                // how far from background edges lie
    std::unique_ptr<RowSource> decoder_;      // for the rows' colours, when none were kept
    std::unique_ptr<RowWindow> window_;       // the rows about the stripe written, with either
    std::vector<uint8_t> coverage_;           // the row written, without window_
    std::vector<uint8_t> edge_;               // per pixel of the row written: at the edge
    std::vector<uint8_t> sharpEdge_;          // the same, within kEdge where the band is wider
    std::optional<EdgeFinder> edges_;         // finds edge_, as the rows are written
    std::optional<EdgeFinder> sharpEdges_;    // the same, sharpEdge_
    std::vector<uint8_t> object_;             // the same: object, as written
    std::vector<uint8_t> shadowed_;  // the same: background in a shadow, as KeepShadows finds it
    // The window's stripe of rows: the rows from stripeTop_ to stripeEnd_ are written
    // from it, stripeRows_ at a time.
    int32_t stripeRows_ = 1, stripeTop_ = 0, stripeEnd_ = 0;
    struct EdgePixel {
        int32_t x, y;
        std::array<uint8_t, 3> rgb;  // unmixed, red first
        uint8_t alpha;
        bool counted;                   // in the confidence's edge pixels
        bool faint;                     // its object hardly off the backdrop (EdgeAlpha)
        std::array<uint8_t, 3> behind;  // the colour it was unmixed from, blue first
    };
    std::vector<EdgePixel> unmixed_;      // the stripe's, row by row...
    std::vector<std::size_t> rowEdges_;   // ...each row's from here, and one past the last
    std::optional<HelperThread> helper_;  // with options_.spareCore, as edges are unmixed
    std::optional<ConfidenceCounter> counter_;
    int32_t decodedRows_ = 0;
    RowHandOut rows_;
};

Result Refined::OpenDecoder(std::unique_ptr<RowSource>& decoder) {
    if (Result result = open_(decoder); !result.Ok()) {
        return result;
    }
    if (!AsDecodedRows(*decoder)) {
        // Every source reads top row first; only sizes past the limits of decoded rows
        // cannot be had as 24-bit pixels.
        return Fail(Status::TooManyPixels, "too large to read as 24-bit pixels");
    }
    const PictureShape& shape = decoder->Shape();
    if (decoded_.bitCount == 0) {
        decoded_ = shape;
        orientation_ = decoder->Orientation();
        profile_.assign(decoder->ColourProfile().begin(), decoder->ColourProfile().end());
    } else if (shape.width != decoded_.width || shape.height != decoded_.height) {
        return Fail(Status::ReadFailed, "the picture changed while it was read");
    }
    return {};
}

template <class Each>
Result Refined::ForEachRow(RowSource& decoder, Each each) {
    std::vector<uint8_t> row(std::size_t(decoded_.rowStride));
    for (int32_t y = 0; y < decoded_.height; ++y) {
        // Lent where the decoding runs ahead: a copy of the picture saved each pass.
        const uint8_t* bgr;
        Result result = decoder.Lend(row.size(), bgr);
        if (result.Ok() && bgr == nullptr) {
            result = decoder.Read(row.data(), row.size());
            bgr = row.data();
        }
        if (!result.Ok()) {
            return result;
        }
        if (frame_.Any()) {
            if (bgr != row.data()) {
                std::memcpy(row.data(), bgr, row.size());
                bgr = row.data();
            }
            frame_.Paint(y, decoded_.width, decoded_.height, reference_.colour, row.data());
        }
        if (result = each(y, bgr); !result.Ok()) {
            return result;
        }
    }
    return {};
}

// The first pass, with --auto-background: the backdrop measured on the frame, and
// as a surface over a sample of the whole picture when asked.
Result Refined::Measure(std::unique_ptr<RowSource>& unread) {
    BorderSample border(decoded_.width, decoded_.height);
    OutlineWidth outlines(decoded_.width, decoded_.height);
    if (options_.surface) {
        samples_.emplace(decoded_.width, decoded_.height);
    }
    if (Result result = ForEachRow(*unread,
                                   [&](int32_t y, const uint8_t* bgr) {
                                       border.AddRow(y, bgr);
                                       if (samples_) {
                                           samples_->AddRow(y, bgr);
                                           outlines.AddRow(y, bgr);
                                       }
                                       return Result{};
                                   });
        !result.Ok()) {
        return result;
    }
    unread.reset();
    // A frame drawn around the picture is no part of it, nor of the backdrop: from here
    // on it is painted over with the backdrop measured inside it.
    const std::optional<Background> side =
        options_.sideKnown ? std::optional(background_) : std::nullopt;
    frame_ = border.LookInsideFrame(side);
    bool offSide = false;
    reference_ = border.Estimate(side, &offSide);
    if (offSide) {
        offSide_ = {background_, reference_.colour};
    }
    if (samples_ && frame_.Any()) {
        samples_->Paint(frame_, reference_.colour);
    }
    if (samples_) {
        // The next pass's decoding starts now, and runs on while the surface is fitted.
        if (Result result = OpenDecoder(unread); !result.Ok()) {
            return result;
        }
        unread->AllowAhead(kMostDecodedAhead);
        const int tolerance = options_.tolerance.value_or(border.NoiseTolerance(background_));
        // The surface and the shadows are fitted to at most kMostFitSamples samples:
        // the surface's cells and a shadow's fade are many samples across even then.
        const auto fitted = double(samples_->Across()) * double(samples_->Down());
        const int32_t apart = std::max(1, int32_t(std::ceil(std::sqrt(fitted / kMostFitSamples))));
        const int32_t spread = std::clamp(
            int32_t(std::ceil(kLeastApartPerOutline * outlines.Width() / samples_->Step())), apart,
            kMostOutlineSpread * apart);
        const PictureSamples sparser = samples_->Sparser(spread);
        surface_.emplace(sparser, reference_, background_, tolerance);
        reference_.tolerance = tolerance;
        shadows_.emplace(sparser, *surface_, double(spread) / apart);
        edgeBand_ = EdgeBand(outlines.Width());
    }
    return {};
}

// Marks background in classes: the backdrop's pixels mark, those of its shadows shadowMark.
void Refined::Classify(int32_t y, const uint8_t* bgr, uint8_t mark, uint8_t shadowMark,
                       uint8_t* classes) const {
    if (surface_) {
        surface_->Classify(y, bgr, mark, classes);
        if (shadows_->Any()) {
            shadows_->Mark(y, decoded_.width, bgr, shadowMark, classes);
        }
    } else {
        ClassifyPixels(bgr, decoded_.width, reference_, mark, classes);
    }
}

// The second pass, for regions: every pixel classified and labelled, then the
// regions decided by the rules, holes told from labels by colour.
Result Refined::Label(std::unique_ptr<RowSource>& unread) {
    RegionRules rules = options_.regions;
    rules.despeckle = rules.SpeckArea(uint64_t(decoded_.width) * uint64_t(decoded_.height));
    if (!unread) {
        if (Result result = OpenDecoder(unread); !result.Ok()) {
            return result;
        }
    }
    const int32_t width = decoded_.width;
    labels_ = std::make_unique<RegionLabeller>(width, decoded_.height);
    std::vector<uint8_t> classes(static_cast<std::size_t>(width));
    // The surface's samples serve for holes too; otherwise they are taken now.
    std::optional<PictureSamples> taken;
    const bool holes = rules.connected && rules.holeArea == 0;
    if (holes && !samples_) {
        taken.emplace(width, decoded_.height);
    }
    if (options_.surface && rules.connected) {
        cut_.emplace(width, decoded_.height);
    }
    const PictureSamples* samples = samples_ ? &*samples_ : taken ? &*taken : nullptr;
    // The edges of a studio's two-tone mask and of any soft one need only the colours
    // near changes of class, and kept shadows those of their own pixels: kept now.
    if ((options_.product == Product::Mask && options_.surface) ||
        options_.product == Product::SoftMask) {
        edgeColours_.emplace(width, decoded_.height, kMostEdgeColourBytes, edgeBand_);
    }
    const bool keepShadows = options_.keepShadows && shadows_ && shadows_->Any();
    std::vector<uint8_t> shadowed(keepShadows ? std::size_t(width) : 0);
    // Against the surface, the ripples beside strong edges are settled as backdrop: each
    // row once the rows around it are in.
    std::optional<Ringing> ringing;
    // ...and the breaks of a pixel in outlines closed, the labels a row behind.
    std::optional<OutlineGaps> gaps;
    if (surface_ && width > 0) {  // (a picture no pixel wide has no ripples)
        ringing.emplace(width, decoded_.height, *surface_);
        gaps.emplace(width);
    }
    // Each row classified, then passed on (classes: its classes, settled).
    const auto pass = [&](int32_t y, const uint8_t* bgr, uint8_t* classes) {
        // The gaps are told by the classes as classified; the rest need only background's.
        const uint8_t* closed = nullptr;  // the row above, once there is one
        if (gaps) {
            closed = gaps->Add(classes);
            // (as a select, which compiles to vector code: std::replace's store on
            // condition does not, and cost as much as classifying the row)
            std::transform(classes, classes + width, classes,
                           [](uint8_t c) { return c == OutlineGaps::kShadow ? uint8_t{1} : c; });
        }
        if (keepShadows) {
            std::fill(shadowed.begin(), shadowed.end(), 0);
            shadows_->MarkCast(y, width, bgr, 1, shadowed.data());
        }
        if (edgeColours_) {
            edgeColours_->AddRow(y, bgr, classes, keepShadows ? shadowed.data() : nullptr);
        }
        if (taken) {
            taken->AddRow(y, bgr);
        }
        if (cut_) {
            cut_->AddRow(y, bgr, *surface_,
                         [this](int32_t x, int32_t row) { return shadows_->LikelyShadow(x, row); });
        }
        if (!gaps) {
            return labels_->AddRow(classes);
        }
        return closed != nullptr ? labels_->AddRow(closed) : Result{};
    };
    int32_t settled = 0;
    const auto label = [&](int32_t y, const uint8_t* bgr) {
        Classify(y, bgr, 1, gaps ? OutlineGaps::kShadow : 1, classes.data());
        if (!ringing) {
            return pass(y, bgr, classes.data());
        }
        ringing->AddRow(y, bgr, classes.data());
        for (; settled < ringing->Ready(); ++settled) {
            uint8_t* settledClasses = ringing->Settle(settled, 1);
            if (Result result = pass(settled, ringing->Colours(settled), settledClasses);
                !result.Ok()) {
                return result;
            }
        }
        return Result{};
    };
    if (Result result = ForEachRow(*unread, label); !result.Ok()) {
        return result;
    }
    if (gaps && decoded_.height > 0) {
        if (Result result = labels_->AddRow(gaps->Last()); !result.Ok()) {
            return result;
        }
    }
    // The rows held for the ripples and the gaps go before the cut, which takes its own
    // memory: 88 rows of a picture 65,500 pixels wide are 29 MB.
    ringing.reset();
    gaps.reset();
    unread.reset();
    labels_->Decide(rules);
    if (holes && FindHoles(*labels_, *samples, reference_, surface_ ? &*surface_ : nullptr) &&
        rules.despeckle > 0) {
        labels_->SettleSpecks(rules.despeckle);
    }
    if (cut_) {
        bool moved = false;
        if (Result result = cut_->Settle(*labels_, moved); !result.Ok()) {
            return result;
        }
        if (!moved) {
            cut_.reset();
        }
    }
    // Strays go after the cut, which settles the outline on what the rules found, strays
    // included (without them, it settled a few outlines differently, and worse).
    if (rules.connected && rules.strayShare > 0) {
        labels_->DropStrays(rules.strayShare);
    }
    return {};
}

Result Refined::Open() {
    std::unique_ptr<RowSource> unread;
    if (Result result = OpenDecoder(unread); !result.Ok()) {
        return result;
    }
    const int32_t width = decoded_.width, height = decoded_.height;
    if (options_.surface && options_.regions.connected) {
        cutOpened_ = ColourCut::OpenAhead();
    }
    reference_ = FixedBackdrop(background_);
    if (options_.autoBackground) {
        if (Result result = Measure(unread); !result.Ok()) {
            return result;
        }
    }
    if (options_.tolerance) {
        reference_.tolerance = *options_.tolerance;
    }
    if (options_.regions.connected || options_.regions.Despeckles()) {
        if (Result result = Label(unread); !result.Ok()) {
            return result;
        }
    }
    // The last pass writes the rows. A two-tone mask of labelled regions needs no
    // colours, but where its edges go by their coverage as a cut-out's do: those kept,
    // when they all could be and the cut moved no outline; everything else decodes the
    // picture again.
    if (edgeColours_ && (!edgeColours_->Complete() || cut_)) {
        edgeColours_.reset();
    }
    const std::size_t rowBytes = std::size_t(decoded_.rowStride) + std::size_t(width);
    stripeRows_ = int32_t(std::clamp<std::size_t>(kStripeBytes / std::max<std::size_t>(rowBytes, 1),
                                                  1, kMostStripeRows));
    if (edgeColours_) {
        window_ =
            std::make_unique<RowWindow>(width, height, decoded_.rowStride, edgeBand_, stripeRows_);
    } else if (!labels_ || options_.product != Product::Mask || options_.surface) {
        decoder_ = std::move(unread);
        if (!decoder_) {
            if (Result result = OpenDecoder(decoder_); !result.Ok()) {
                return result;
            }
        }
        window_ =
            std::make_unique<RowWindow>(width, height, decoded_.rowStride, edgeBand_, stripeRows_);
    } else {
        coverage_.resize(std::size_t(width));
    }
    if (window_) {
        // A stripe's edge pixels are every pixel at most: its list never grows mid-pass.
        unmixed_.reserve(std::size_t(stripeRows_) * std::size_t(width));
        rowEdges_.reserve(std::size_t(stripeRows_) + 1);
        if (options_.spareCore) {
            try {
                helper_.emplace();
            } catch (const std::system_error&) {
                // (a process that may start no more threads writes on one)
            }
        }
    }
    const int32_t bitCount = options_.product == Product::Cutout ? 32 : 24;
    const int32_t stride = RowStride(width, bitCount);
    if (int64_t(stride) * height > INT32_MAX) {
        return Fail(Status::TooManyPixels, "too large for a cut-out");
    }
    shape_ = {width, height, bitCount, stride, stride * height};
    counter_.emplace(width, height);
    rows_.Start(std::size_t(stride), height);
    return {};
}

Result Refined::DecodeRow(int32_t y) {
    uint8_t* colours = window_->Colours(y);
    if (edgeColours_) {
        edgeColours_->FillRow(y, colours);
    } else if (Result result = decoder_->Read(colours, std::size_t(decoded_.rowStride));
               !result.Ok()) {
        return result;
    } else if (frame_.Any()) {
        frame_.Paint(y, decoded_.width, decoded_.height, reference_.colour, colours);
    }
    uint8_t* coverage = window_->Coverage(y);
    if (labels_) {
        labels_->FillRow(y, coverage);  // (the cut applied by the caller)
        return {};
    }
    Classify(y, colours, 255, 255, coverage);
    for (int32_t x = 0; x < decoded_.width; ++x) {
        coverage[x] = uint8_t(~coverage[x]);
    }
    return {};
}

Result Refined::Read(uint8_t* into, std::size_t size) {
    return rows_.Read(into, size, [this](int32_t y, uint8_t* out) {
        if (window_ && y == stripeEnd_) {
            // The rows around the next stripe must be there for its edges.
            stripeTop_ = y;
            stripeEnd_ = std::min(y + stripeRows_, decoded_.height);
            const int32_t needed = std::min(stripeEnd_ + window_->Reach(), decoded_.height);
            const int32_t first = decodedRows_;
            for (; decodedRows_ < needed; ++decodedRows_) {
                if (Result result = DecodeRow(decodedRows_); !result.Ok()) {
                    return result;
                }
            }
            if (cut_) {
                // Each row moved by the cut alone: the models' verdicts on the pixels about
                // what it moved are most of the rest of this pass.
                Share(std::size_t(needed - first), 1, [&](std::size_t begin, std::size_t end) {
                    for (auto row = int32_t(first + begin); row < int32_t(first + end); ++row) {
                        cut_->Apply(row, window_->Colours(row), *surface_, window_->Coverage(row));
                    }
                });
            }
            unmixed_.clear();
            rowEdges_.clear();
        } else if (!window_) {
            labels_->FillRow(y, coverage_.data());
        }
        WriteRow(y, out);
        return Result{};
    });
}

void Refined::WriteRow(int32_t y, uint8_t* out) {
    const int32_t width = decoded_.width;
    const uint8_t* coverage = window_ ? window_->Coverage(y) : coverage_.data();
    const bool cutout = options_.product == Product::Cutout;
    const bool soft = options_.product == Product::SoftMask ||
                      (options_.product == Product::Cutout && !options_.hardEdges);
    // Two-tone masks of the backdrop's surface are object where an edge pixel is at
    // least half object, as a cut-out's alpha of 128 and more shows it, and so are
    // hard-edged cut-outs, in the edge's colour freed of the backdrop's share (taken as
    // labelled, every pixel off the backdrop by the tolerance went opaque, in its own
    // colour: a pale ring the mask had not).
    const bool halved =
        options_.surface && (options_.product == Product::Mask || (cutout && options_.hardEdges));
    const std::size_t pixelBytes = std::size_t(width) * (cutout ? 4 : 3);
    std::memset(out + pixelBytes, 0, std::size_t(shape_.rowStride) - pixelBytes);  // padding
    if (!cutout) {
        kernels::ExpandGrey(coverage, std::size_t(width), options_.invert ? 0 : 255, out);
    } else {
        // Every pixel as it is first, the background's zeroed; edges after.
        kernels::CutOut(window_->Colours(y), coverage, std::size_t(width),
                        options_.invert ? 255 : 0, out);
    }
    object_.assign(coverage, coverage + width);
    if (soft || halved) {
        WriteEdges(y, out, halved);
    }
    if (options_.keepShadows && shadows_->Any()) {
        KeepShadows(y, out, soft ? 0 : 128);
    }
    counter_->Row(y, object_.data());
}

// Background pixels in a shadow: black as opaque as they darken the backdrop in
// cut-outs, as grey in soft masks, and object in two-tone ones when that is half;
// inverted, the product's shadow is as transparent in a cut-out (its colours kept, as the
// background's are) and as light in a matte.
void Refined::KeepShadows(int32_t y, uint8_t* out, uint8_t least) {
    const bool cutout = options_.product == Product::Cutout;
    const uint8_t* colours = window_->Colours(y);
    // The background pixels in a shadow marked 1 among the object's 255, a sample's run
    // at a time, and found by memchr.
    const uint8_t* coverage = window_->Coverage(y);
    shadowed_.assign(coverage, coverage + decoded_.width);
    shadows_->MarkCast(y, decoded_.width, colours, 1, shadowed_.data());
    // What the colour cut took of a shadow the rules could not drop (a contact shadow's
    // core, too deep or tinted by the object's light, or a hard light's shadow) is kept as
    // the rest is, whatever its colour, with the backdrop about it, where the shadow fades
    // out. (Only the samples the rules thought likely shadow were: beside a lemon, a block
    // of them stood apart from it, the orange crescent between them gone.) A floor or a
    // mat the cut took stays dropped.
    if (cut_) {
        cut_->MarkTakenShadows(y, 1, shadowed_.data());
    }
    const uint8_t *begin = shadowed_.data(), *end = begin + shadowed_.size();
    for (const uint8_t* at = begin;
         (at = static_cast<const uint8_t*>(std::memchr(at, 1, std::size_t(end - at)))) != nullptr;
         ++at) {
        const auto x = int32_t(at - begin);
        const uint8_t* bgr = colours + 3 * x;
        uint8_t alpha = shadows_->Darkening(x, y, bgr);
        if (alpha < least) {
            continue;
        }
        alpha = least > 0 ? 255 : alpha;
        object_[std::size_t(x)] = alpha >= 128;
        if (options_.invert) {
            alpha = uint8_t(255 - alpha);
        }
        if (cutout) {
            out[4 * x + 3] = alpha;
        } else {
            std::memset(out + 3 * x, 255 - alpha, 3);
        }
    }
}

// The stripe's edge pixels found, row by row, and unmixed: each alone, so on two threads
// where a core is spare.
void Refined::UnmixStripe(int32_t top, int32_t bottom) {
    const int32_t width = decoded_.width;
    if (!edges_) {
        edges_.emplace(width, window_->Band());
    }
    // The confidence counts the edge pixels a sharp picture has, whatever the band, so that
    // a lens's blur does not weigh its share.
    const bool wide = window_->Band() > kEdge;
    if (wide && !sharpEdges_) {
        sharpEdges_.emplace(width, kEdge);
    }
    for (int32_t y = top; y < bottom; ++y) {
        rowEdges_.push_back(unmixed_.size());
        edges_->Find(*window_, y, edge_);
        if (wide) {
            sharpEdges_->Find(*window_, y, sharpEdge_);
        }
        const uint8_t* coverage = window_->Coverage(y);
        for (int32_t x = 0; x < width; ++x) {
            // Most of a row is backdrop or the object's inside: eight pixels of it are
            // passed over at a time where none is both object (255) and near background (1).
            uint64_t near = 0, object = 0;
            if (x + 8 <= width) {
                std::memcpy(&near, &edge_[std::size_t(x)], 8);
                std::memcpy(&object, coverage + x, 8);
                if ((near & object) == 0) {
                    x += 7;
                    continue;
                }
            }
            if (edge_[std::size_t(x)] && coverage[x] != 0) {
                unmixed_.push_back(
                    {x, y, {}, 0, !wide || sharpEdge_[std::size_t(x)] != 0, false, {}});
            }
        }
    }
    rowEdges_.push_back(unmixed_.size());
    const auto unmix = [this](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            EdgePixel& pixel = unmixed_[i];
            const uint8_t* bgr = window_->Colours(pixel.y) + 3 * pixel.x;
            pixel.rgb = {bgr[2], bgr[1], bgr[0]};
            pixel.alpha = EdgeAlpha(*window_, pixel.x, pixel.y,
                                    surface_ ? surface_->Local(pixel.x, pixel.y) : reference_,
                                    pixel.rgb.data(), surface_.has_value(), &pixel.faint,
                                    pixel.behind.data());
        }
    };
    Share(unmixed_.size(), kUnmixedAtATime, unmix);
}

void Refined::Share(std::size_t count, std::size_t grain, const HelperThread::Work& work) {
    if (helper_) {
        helper_->Share(count, grain, work);
    } else {
        work(0, count);
    }
}

void Refined::WriteEdges(int32_t y, uint8_t* out, bool halved) {
    const bool cutout = options_.product == Product::Cutout;
    const bool keepShadows = options_.keepShadows && shadows_->Any();
    if (rowEdges_.empty()) {
        UnmixStripe(stripeTop_, stripeEnd_);
    }
    const std::size_t row = std::size_t(y - stripeTop_);
    for (std::size_t i = rowEdges_[row]; i < rowEdges_[row + 1]; ++i) {
        const EdgePixel& pixel = unmixed_[i];
        const int32_t x = pixel.x;
        const int object = pixel.alpha;
        if (pixel.counted) {
            counter_->Edge(pixel.faint);
        }
        // With shadows kept, an edge pixel where the product meets its shadow is mixed of
        // the two: its share not object is the shadow's, black as opaque as what it was
        // unmixed from darkens the backdrop, under the object's share (left transparent, a
        // pale seam ran along a product's foot, flattened over the backdrop). Halved, a
        // shadow counts only where it is kept, darkening the backdrop by half or more.
        int both = object;
        if (keepShadows) {
            if (const uint8_t shade = shadows_->Darkening(x, y, pixel.behind.data());
                shade >= (halved ? 128 : kLeastShadeBehind)) {
                both = object + ((255 - object) * shade + 127) / 255;
            }
        }
        object_[std::size_t(x)] = both >= 128;
        auto alpha = uint8_t(halved ? (both >= 128 ? 255 : 0) : both);
        if (options_.invert) {
            alpha = uint8_t(255 - alpha);
        }
        if (!cutout) {
            std::memset(out + 3 * x, 255 - alpha, 3);
        } else if (options_.invert) {
            out[4 * x + 3] = alpha;
        } else if (alpha == 0) {
            std::memset(out + 4 * x, 0, 4);
        } else {
            // (halved, the object's colour where the object has most of the pixel, else the
            // shadow's black; soft, the object's as much as it covers of the two)
            for (std::size_t c = 0; c < 3; ++c) {
                out[4 * x + c] = uint8_t(halved ? (object >= 128 ? pixel.rgb[c] : 0)
                                                : (pixel.rgb[c] * object + both / 2) / both);
            }
            out[4 * x + 3] = alpha;
        }
    }
}

}  // namespace

std::optional<Confidence> ConfidenceOf(const RowSource& source) {
    const auto* refined = dynamic_cast<const Refined*>(&source);
    return refined != nullptr ? std::optional(refined->Judged()) : std::nullopt;
}

Result OpenRefinedSource(const SourceOpener& open, Background background,
                         const RefineOptions& options, std::unique_ptr<RowSource>& source) {
    auto refined = std::make_unique<Refined>(open, background, options);
    if (Result result = refined->Open(); !result.Ok()) {
        return result;
    }
    source = std::move(refined);
    return {};
}

}  // namespace zel7
