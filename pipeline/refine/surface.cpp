#include "refine/surface.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>

namespace zel7 {
namespace {

// Every this many rows and pixels are kept: a ninth of the picture...
constexpr int32_t kLeastSampleStep = 3;
// ...or more sparsely on very large pictures, to keep them within this many bytes.
constexpr double kMostSampleBytes = 8 << 20;

// The surface is fitted in cells of about this many samples a side, at most kMostCells
// across or down: a sweep's fall-off spans the frame, so a few dozen cells follow it,
// and cells of enough samples are not swayed by a speck.
constexpr int32_t kSamplesPerCell = 4;
constexpr int32_t kMostCells = 24;
// A cell's colour is measured from at least this many samples of backdrop in it, and
// this share of its samples; cells with fewer are carried over from their neighbours.
// The share leaves out cells an object mostly covers, where the samples reached may be
// the object's own, brought within the tolerance by its noise.
constexpr std::size_t kLeastCellSamples = 6;
constexpr double kLeastCellShare = 0.5;
// The backdrop is what the frame reaches over samples within the tolerance of the
// surface as first fitted (the frame's measure: the border's colour, or the plane of a
// frame that falls off, see kLeastTrend), then as fitted again: each fit follows a
// fall-off further.
constexpr int kFits = 3;
// A sweep lit as in a studio falls off 20 to 40 levels towards the frame, and a white
// product lies a few levels below the sweep behind it, but above the frame's level:
// against the border's colour the first fit reaches it, takes it into the surface as
// backdrop, and the rest of the product goes with it. So on white the surface is fitted
// again from a quadratic through the frame's backdrop (the frame determines one, which
// follows such a fall-off inside it), and that fit stands where the first measured as
// backdrop, over at least kLeastPlateauCells cells, levels more than kLeastPlateauDepth
// below it: a product, not the few levels a sweep's shape parts from a quadratic. (A white
// mug on a sweep falling 30 levels: 0.47 of its IoU, 0.98 so; 48 white bowls 0.76 to 0.92;
// a white T-shirt 0.14 to 0.79. Fitted from the quadratic wherever it rises above the
// border's colour, light grey products on sweeps that fit moved by a level or two were
// taken whole for shadows, as often as others were won: 45 of 3,078 review scenes lost a
// fifth of their IoU and more, against 14 so.)
constexpr float kLeastPlateauDepth = 8;
constexpr std::size_t kLeastPlateauCells = 4;
// ...where the quadratic rises at least this far above the frame's measure somewhere.
constexpr float kLeastSweepRise = 4;
// At least this many samples of the frame's backdrop for the quadratic, four a term (and
// for the plane below).
constexpr std::size_t kLeastFrameSamples = 24;
// A sweep lit from one side, or a floor lit unlike the wall it curves up into, falls off
// from one edge of the frame to the other, 10 to 40 levels. Fitted from one colour, the
// surface reaches in from the frame's dim side no further than the noise allows past that
// colour (an opaque slab of object along it), and carried flat under the object from the
// cells measured, it lies as far off the backdrop as a white product does: white garments,
// 0.97 of their IoU on their own backdrops, kept 0.71 on the same falling 20 levels across.
// So the frame's backdrop is fitted a plane, trimmed round after round of samples further
// off it than kTrendSlack times the noise's tolerance and kTrendMargin levels (an object at
// the edge, a shadow reaching it, the few levels a sweep's curve parts from a plane), and
// where the plane falls off by kLeastTrend levels or more from corner to corner and the
// frame's samples spread less about it than about one colour (as their tolerances say,
// which are at least a soft shadow's: a fall of some 12 levels or less keeps one colour),
// the surface starts from it and the cells the object covers carry it on. Another frame
// keeps its one colour: a vignette or a lit centre rises inside a frame even all round,
// and a black cloth lit in patches lies no closer to a plane (a pepper on such a cloth, lit
// 11 levels more at the bottom than the black above, 0.969 of its IoU, 0.956 from a plane).
constexpr int kTrendRounds = 3;
constexpr int kTrendSlack = 2;
constexpr int kTrendMargin = 4;
constexpr double kLeastTrend = 6;
// A textured cloth asks more tolerance where it lies: each cell's is four deviations of
// its texture (measured as the frame's noise is, by second differences, here of
// samples a few pixels apart and no further than kTextureReach off the backdrop, so
// that an object's own texture does not count), and one level, at most
// kMostTextureTolerance.
constexpr int kTextureReach = 24;
constexpr double kSecondPerDeviation = 1.954;
constexpr double kTextureDeviations = 4;
constexpr int kMostTextureTolerance = 40;
// Carrying colours over the cells the object covers: each such cell becomes the mean
// of its neighbours, round after round, until no cell moves by more than kSettled of a
// level (far below the rounding to whole levels), or at most this many rounds, which
// settle a grid of kMostCells.
constexpr int kSmoothings = 4 * kMostCells * kMostCells;
constexpr float kSettled = 1.0f / 256;
// Rows are classified in pieces of about this many pixels, each against the surface's
// colour and tolerance at the middle of its block of as many rows: a few levels of
// fall-off per cell are then a fraction of a level per block. A piece is a whole number
// of 16 pixels, which the classifying kernel's vectors take whole on every target, so
// that none ends in its portable loop.
constexpr int32_t kPiecesPerCell = 8;
constexpr int32_t kPieceStep = 16;

// Where pixel at lies among the middles of cells cells across size pixels: the cell
// before it and its share of the way to the next, going on along the same slope beyond
// the outer ones, as a sweep falls off on towards the corners.
void Place(int32_t at, int32_t size, int32_t cells, int32_t& first, float& share) {
    const float middle = (float(at) + 0.5f) * float(cells) / float(size) - 0.5f;
    first = std::clamp(int32_t(std::floor(middle)), 0, std::max(cells - 2, 0));
    share = cells == 1 ? 0.0f : middle - float(first);
}

// The commonest level of a histogram, three levels at a time, as their mean: the peak
// of a noisy backdrop's levels to a fraction of a level.
float Commonest(const std::array<uint32_t, 256>& histogram) {
    const auto at = [&](int level) {
        return level < 0 || level > 255 ? 0u : histogram[std::size_t(level)];
    };
    int peak = 0;
    uint32_t most = 0;
    for (int level = 0; level < 256; ++level) {
        const uint32_t around = at(level - 1) + at(level) + at(level + 1);
        if (around > most) {
            most = around, peak = level;
        }
    }
    const double sum =
        double(peak - 1) * at(peak - 1) + double(peak) * at(peak) + double(peak + 1) * at(peak + 1);
    return float(sum / std::max(most, 1u));
}

// Least squares of N terms in u and v to three channels at once, by its normal equations.
template <std::size_t N>
class LeastSquares {
public:
    static constexpr std::size_t kTerms = N;
    using Terms = std::array<double, kTerms>;
    using Coefficients = std::array<Terms, 3>;

    // Channel c of the fit at the point whose terms are given.
    static double Value(const Coefficients& coefficients, std::size_t c, const Terms& terms) {
        double value = 0;
        for (std::size_t a = 0; a < kTerms; ++a) {
            value += coefficients[c][a] * terms[a];
        }
        return value;
    }

    void Add(const Terms& terms, const std::array<double, 3>& values, double weight = 1) {
        for (std::size_t a = 0; a < kTerms; ++a) {
            for (std::size_t b = 0; b < kTerms; ++b) {
                system_[a][b] += weight * terms[a] * terms[b];
            }
            for (std::size_t c = 0; c < 3; ++c) {
                system_[a][kTerms + c] += weight * terms[a] * values[c];
            }
        }
    }

    // Gaussian elimination with partial pivoting: none where the points do not determine
    // the terms (too few, or all in a line).
    std::optional<Coefficients> Solve() const {
        auto system = system_;
        for (std::size_t col = 0; col < kTerms; ++col) {
            std::size_t pivot = col;
            for (std::size_t row = col + 1; row < kTerms; ++row) {
                if (std::abs(system[row][col]) > std::abs(system[pivot][col])) {
                    pivot = row;
                }
            }
            if (std::abs(system[pivot][col]) < 1e-9 * std::max(system[0][0], 1e-9)) {
                return std::nullopt;
            }
            std::swap(system[col], system[pivot]);
            for (std::size_t row = 0; row < kTerms; ++row) {
                const double factor = row == col ? 0 : system[row][col] / system[col][col];
                for (std::size_t at = col; row != col && at < kTerms + 3; ++at) {
                    system[row][at] -= factor * system[col][at];
                }
            }
        }
        Coefficients coefficients{};
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t a = 0; a < kTerms; ++a) {
                coefficients[c][a] = system[a][kTerms + c] / system[a][a];
            }
        }
        return coefficients;
    }

private:
    std::array<std::array<double, kTerms + 3>, kTerms> system_{};  // 3 sides
};

// A quadratic: 1, u, v, u * u, u * v, v * v.
struct QuadraticFit : LeastSquares<6> {
    static Terms At(double u, double v) { return {1, u, v, u * u, u * v, v * v}; }
};

// A plane: 1, u, v.
struct PlaneFit : LeastSquares<3> {
    static Terms At(double u, double v) { return {1, u, v}; }
};

// Calls each(i, j) for the samples of the frame of samples across x down: the top and
// bottom rows, then the left and right columns between them.
template <class Each>
void ForEachFrameSample(int32_t across, int32_t down, Each each) {
    for (int32_t i = 0; i < across; ++i) {
        each(i, 0);
        if (down > 1) {
            each(i, down - 1);
        }
    }
    for (int32_t j = 1; j + 1 < down; ++j) {
        each(0, j);
        if (across > 1) {
            each(across - 1, j);
        }
    }
}

}  // namespace

PictureSamples::PictureSamples(int32_t width, int32_t height)
    : PictureSamples(
          width, height,
          std::max(kLeastSampleStep,
                   int32_t(std::ceil(std::sqrt(double(width) * height * 3 / kMostSampleBytes))))) {}

PictureSamples::PictureSamples(int32_t width, int32_t height, int32_t step)
    : width_(width),
      height_(height),
      step_(step),
      sampledWidth_(std::size_t(width + step_ - 1) / std::size_t(step_)) {
    colours_.reserve(sampledWidth_ * 3 * std::size_t(Down()));
}

PictureSamples PictureSamples::Sparser(int32_t factor) const {
    PictureSamples sparser(width_, height_, step_ * factor);
    for (int32_t y = 0; y < height_; y += sparser.step_) {
        const uint8_t* row = Row(y);
        for (std::size_t i = 0; i < sampledWidth_; i += std::size_t(factor)) {
            sparser.colours_.insert(sparser.colours_.end(), row + 3 * i, row + 3 * i + 3);
        }
    }
    return sparser;
}

void PictureSamples::AddRow(int32_t y, const uint8_t* bgr) {
    if (y % step_ != 0) {
        return;
    }
    const std::size_t at = colours_.size();
    colours_.resize(at + 3 * sampledWidth_);
    uint8_t* sample = colours_.data() + at;
    for (int32_t x = 0; x < width_; x += step_, sample += 3) {
        std::memcpy(sample, bgr + 3 * std::size_t(x), 3);
    }
}

void PictureSamples::Paint(const DrawnFrame& frame, const std::array<uint8_t, 3>& colour) {
    for (int32_t y = 0; y < height_; y += step_) {
        uint8_t* sample = colours_.data() + std::size_t(y / step_) * sampledWidth_ * 3;
        for (int32_t x = 0; x < width_; x += step_, sample += 3) {
            if (frame.Holds(x, y, width_, height_)) {
                std::memcpy(sample, colour.data(), 3);
            }
        }
    }
}

const uint8_t* PictureSamples::Row(int32_t y) const {
    return colours_.data() + std::size_t(y / step_) * sampledWidth_ * 3;
}

BackdropSurface::BackdropSurface(const PictureSamples& samples, const Backdrop& border,
                                 Background side, int tolerance)
    : width_(samples.Width()),
      height_(samples.Height()),
      side_(side),
      tolerance_(tolerance),
      border_(border) {
    across_ = std::clamp(samples.Across() / kSamplesPerCell, 1, kMostCells);
    down_ = std::clamp(samples.Down() / kSamplesPerCell, 1, kMostCells);
    // A picture of no pixels has no samples: the border's colour stands.
    const bool empty = samples.Across() == 0 || samples.Down() == 0;
    if (!empty) {
        FitTrend(samples);
    }
    frameCells_ = FrameCells();
    cells_ = frameCells_;
    FindHighlights(kHighlightFloor);
    const bool clipped = BackdropAsLight(samples, kLeastHotSpot);
    const auto fit = [&] {
        for (int round = 0; round < kFits && !empty; ++round) {
            std::vector<uint8_t> tolerances;
            const std::vector<std::array<uint8_t, 3>> colours = AtSamples(samples, &tolerances);
            FitCells(samples, Reached(samples, colours, tolerances));
            FindHighlights(kHighlightFloor);
        }
    };
    fit();
    if (!empty && side_ == Background::NearWhite) {
        const std::vector<Cell> fromFrame = cells_;
        const std::vector<bool> measured = known_;
        const std::array<int, 3> highlight = highlight_;
        cells_ = frameCells_;
        known_.clear();
        FindHighlights(kHighlightFloor);
        bool taken = false;
        if (StartFromFrame(samples)) {
            fit();
            taken = Plateau(fromFrame, measured);
        }
        if (!taken) {
            cells_ = fromFrame;
            known_ = measured;
            highlight_ = highlight;
        }
    }
    // Fitted, the surface has measured the backdrop wherever it lies, its lightest too: a
    // lit lip a few levels above that, short of clipping, is a highlight as well (a white
    // bowl's on a backdrop of 240). But where the backdrop is itself that light somewhere,
    // at the frame or ringed by the backdrop over a thousandth of the frame (a lit corner
    // narrower than a cell, a strip light's reflection on a glossy sweep), only what nears
    // clipping is.
    FindHighlights(0);
    if (clipped) {
        highlight_ = {256, 256, 256};
    } else if (BackdropAsLight(samples, kLeastLitSpot)) {
        FindHighlights(kHighlightFloor);
    }
    // The surface, as fitted, at the middle of every block of piece_ x piece_ pixels:
    // what rows are classified against, looked up rather than worked out each time.
    const double pieceSteps = double(width_) / double(across_ * kPiecesPerCell * kPieceStep);
    piece_ = kPieceStep * std::max(1, int32_t(std::lround(pieceSteps)));
    blocksAcross_ = (width_ + piece_ - 1) / piece_;
    const int32_t blocksDown = (height_ + piece_ - 1) / piece_;
    blocks_.resize(std::size_t(blocksAcross_) * std::size_t(blocksDown));
    for (int32_t j = 0; j < blocksDown; ++j) {
        for (int32_t i = 0; i < blocksAcross_; ++i) {
            const Cell exactly = Exactly(std::min(i * piece_ + piece_ / 2, width_ - 1),
                                         std::min(j * piece_ + piece_ / 2, height_ - 1));
            Backdrop& block = blocks_[std::size_t(j) * std::size_t(blocksAcross_) + std::size_t(i)];
            for (std::size_t c = 0; c < 3; ++c) {
                block.colour[c] = uint8_t(std::clamp(exactly[c] + 0.5f, 0.0f, 255.0f));
            }
            block.tolerance = int(exactly[3] + 0.5f);
        }
    }
}

bool BackdropSurface::StartFromFrame(const PictureSamples& samples) {
    const int32_t step = samples.Step();
    QuadraticFit fit;
    std::size_t count = 0;
    ForEachFrameSample(samples.Across(), samples.Down(), [&](int32_t i, int32_t j) {
        if (!FrameHolds(samples, i, j)) {
            return;  // as the first fit's reach starts from the frame
        }
        const uint8_t* pixel = samples.Row(j * step) + 3 * i;
        fit.Add(QuadraticFit::At((i * step + 0.5) / width_ - 0.5, (j * step + 0.5) / height_ - 0.5),
                {double(pixel[0]), double(pixel[1]), double(pixel[2])});
        ++count;
    });
    const std::optional<QuadraticFit::Coefficients> quadratic =
        count >= kLeastFrameSamples ? fit.Solve() : std::nullopt;
    if (!quadratic) {
        return false;
    }
    float rise = 0;
    for (int32_t j = 0; j < down_; ++j) {
        for (int32_t i = 0; i < across_; ++i) {
            const QuadraticFit::Terms terms =
                QuadraticFit::At((i + 0.5) / across_ - 0.5, (j + 0.5) / down_ - 0.5);
            const std::size_t k = std::size_t(j) * std::size_t(across_) + std::size_t(i);
            Cell& cell = cells_[k];
            for (std::size_t c = 0; c < 3; ++c) {
                const double level = QuadraticFit::Value(*quadratic, c, terms);
                // Never below the frame's measure, where the first fit starts.
                const float frame = frameCells_[k][c];
                cell[c] = float(std::clamp(level, double(frame), 255.0));
                rise = std::max(rise, cell[c] - frame);
            }
        }
    }
    // A product the first fit took in lies no more than the tolerance below the border's
    // colour: only a sweep rising further above it than kLeastPlateauDepth less that can
    // show it, and a flat backdrop, vignetted by a few levels, is not fitted twice.
    return rise > std::max(kLeastPlateauDepth - float(tolerance_), kLeastSweepRise);
}

void BackdropSurface::FitTrend(const PictureSamples& samples) {
    const int32_t step = samples.Step();
    struct FrameSample {
        PlaneFit::Terms terms;
        const uint8_t* pixel;
        bool backdrop;
    };
    std::vector<FrameSample> frame;
    ForEachFrameSample(samples.Across(), samples.Down(), [&](int32_t i, int32_t j) {
        frame.push_back(
            {PlaneFit::At((i * step + 0.5) / width_ - 0.5, (j * step + 0.5) / height_ - 0.5),
             samples.Row(j * step) + 3 * i, FrameHolds(samples, i, j)});
    });
    std::optional<PlaneFit::Coefficients> plane;
    // The largest difference of any channel of a sample from the plane.
    const auto off = [&](const FrameSample& sample) {
        double most = 0;
        for (std::size_t c = 0; c < 3; ++c) {
            most = std::max(
                most, std::abs(double(sample.pixel[c]) - PlaneFit::Value(*plane, c, sample.terms)));
        }
        return most;
    };
    for (int round = 0; round < kTrendRounds; ++round) {
        PlaneFit fit;
        std::size_t count = 0;
        for (const FrameSample& sample : frame) {
            if (sample.backdrop) {
                fit.Add(sample.terms, {double(sample.pixel[0]), double(sample.pixel[1]),
                                       double(sample.pixel[2])});
                ++count;
            }
        }
        plane = count >= kLeastFrameSamples ? fit.Solve() : std::nullopt;
        if (!plane) {
            return;
        }
        for (FrameSample& sample : frame) {
            sample.backdrop = off(sample) <= double(kTrendSlack * tolerance_ + kTrendMargin);
        }
    }
    // Across the frame, u and v each run through 1.
    double fall = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        fall = std::max(fall, std::abs((*plane)[c][1]) + std::abs((*plane)[c][2]));
    }
    if (fall < kLeastTrend) {
        return;
    }
    std::vector<int> differences;
    for (const FrameSample& sample : frame) {
        if (sample.backdrop) {
            differences.push_back(int(std::lround(off(sample))));
        }
    }
    if (differences.empty()) {
        return;
    }
    std::nth_element(differences.begin(), differences.begin() + differences.size() / 2,
                     differences.end());
    // (a frame as close to one colour, as a black cloth lit in patches is, keeps it)
    const int tolerance = SpreadTolerance(differences[differences.size() / 2]);
    if (tolerance >= border_.tolerance) {
        return;
    }
    trend_ = plane;
}

bool BackdropSurface::FrameHolds(const PictureSamples& samples, int32_t i, int32_t j) const {
    return ColourRange::Around(border_.colour, border_.tolerance)
        .Holds(samples.Row(j * samples.Step()) + 3 * i);
}

std::vector<BackdropSurface::Cell> BackdropSurface::FrameCells() const {
    std::vector<Cell> cells(std::size_t(across_) * std::size_t(down_));
    for (std::size_t k = 0; k < cells.size(); ++k) {
        const double u = (double(k % std::size_t(across_)) + 0.5) / across_ - 0.5;
        const double v = (double(k / std::size_t(across_)) + 0.5) / down_ - 0.5;
        for (std::size_t c = 0; c < 3; ++c) {
            cells[k][c] =
                trend_
                    ? float(std::clamp(PlaneFit::Value(*trend_, c, PlaneFit::At(u, v)), 0.0, 255.0))
                    : float(border_.colour[c]);
        }
        cells[k][3] = float(tolerance_);
    }
    return cells;
}

bool BackdropSurface::Plateau(const std::vector<Cell>& other,
                              const std::vector<bool>& measured) const {
    std::size_t below = 0;
    for (std::size_t k = 0; k < measured.size() && k < cells_.size(); ++k) {
        for (std::size_t c = 0; measured[k] && c < 3; ++c) {
            if (cells_[k][c] - other[k][c] > kLeastPlateauDepth) {
                ++below;
                break;
            }
        }
    }
    return below >= kLeastPlateauCells;
}

void BackdropSurface::FindHighlights(int floor) {
    if (side_ != Background::NearWhite) {
        return;
    }
    std::array<float, 3> lightest{};
    for (const Cell& cell : frameCells_) {
        for (std::size_t c = 0; c < 3; ++c) {
            lightest[c] = std::max(lightest[c], cell[c]);
        }
    }
    for (std::size_t k = 0; k < known_.size(); ++k) {
        for (std::size_t c = 0; known_[k] && c < 3; ++c) {
            lightest[c] = std::max(lightest[c], cells_[k][c]);
        }
    }
    for (std::size_t c = 0; c < 3; ++c) {
        highlight_[c] =
            std::max(int(std::ceil(lightest[c])) + tolerance_ + kHighlightAbove + 1, floor);
    }
}

bool BackdropSurface::BackdropAsLight(const PictureSamples& samples, double leastSpot) {
    if (side_ != Background::NearWhite) {
        return false;
    }
    const int32_t across = samples.Across(), down = samples.Down();
    const auto lit = [&](std::size_t k) {
        const uint8_t* pixel = samples.At(k);
        return pixel[0] >= highlight_[0] && pixel[1] >= highlight_[1] && pixel[2] >= highlight_[2];
    };
    const std::size_t count = std::size_t(across) * std::size_t(down);
    std::vector<uint8_t> seen(count);
    std::vector<std::size_t> patch;
    for (std::size_t first = 0; first < count; ++first) {
        if (seen[first] || !lit(first)) {
            continue;
        }
        // Each patch of samples as light as a highlight, and what lies around it.
        patch.assign(1, first);
        seen[first] = 1;
        bool frame = false;
        uint64_t aroundBackdrop = 0, around = 0;
        for (std::size_t at = 0; at < patch.size(); ++at) {
            const std::size_t k = patch[at];
            const std::size_t i = k % std::size_t(across), j = k / std::size_t(across);
            frame = frame || i == 0 || j == 0 || i + 1 == std::size_t(across) ||
                    j + 1 == std::size_t(down);
            const auto visit = [&](std::size_t n) {
                if (lit(n)) {
                    if (!seen[n]) {
                        seen[n] = 1;
                        patch.push_back(n);
                    }
                } else {
                    ++around;
                    aroundBackdrop += Holds(samples.At(n), border_.colour, border_.tolerance);
                }
            };
            if (i > 0)
                visit(k - 1);
            if (i + 1 < std::size_t(across))
                visit(k + 1);
            if (j > 0)
                visit(k - std::size_t(across));
            if (j + 1 < std::size_t(down))
                visit(k + std::size_t(across));
        }
        if (frame ? patch.size() >= kLeastBackdropLight
                  : double(patch.size()) >= leastSpot * double(count) &&
                        double(aroundBackdrop) > kMostBackdropAroundHighlight * double(around)) {
            return true;
        }
    }
    return false;
}

ColourRange BackdropSurface::RangeAt(const std::array<uint8_t, 3>& colour, int tolerance) const {
    ColourRange range = ColourRange::Around(colour, tolerance);
    if (side_ == Background::NearWhite) {
        range.high = {255, 255, 255};
    } else {
        range.low = {0, 0, 0};
    }
    return range;
}

const Backdrop& BackdropSurface::Local(int32_t x, int32_t y) const {
    return blocks_[std::size_t(y / piece_) * std::size_t(blocksAcross_) + std::size_t(x / piece_)];
}

BackdropSurface::Cell BackdropSurface::Exactly(int32_t x, int32_t y) const {
    int32_t left = 0, top = 0;
    float right = 0, below = 0;
    Place(x, width_, across_, left, right);
    Place(y, height_, down_, top, below);
    const auto cell = [&](int32_t i, int32_t j) {
        return cells_[std::size_t(std::min(j, down_ - 1) * across_ + std::min(i, across_ - 1))];
    };
    Cell colour{};
    for (std::size_t c = 0; c < 4; ++c) {
        const float upper = cell(left, top)[c] * (1 - right) + cell(left + 1, top)[c] * right;
        const float lower =
            cell(left, top + 1)[c] * (1 - right) + cell(left + 1, top + 1)[c] * right;
        colour[c] = upper * (1 - below) + lower * below;
    }
    return colour;
}

std::vector<std::array<uint8_t, 3>> BackdropSurface::AtSamples(
    const PictureSamples& samples, std::vector<uint8_t>* tolerances) const {
    const int32_t across = samples.Across(), down = samples.Down(), step = samples.Step();
    // Each sample's column placed once; each row's cells blended down once.
    std::vector<std::pair<int32_t, float>> columns(static_cast<std::size_t>(across));
    for (int32_t i = 0; i < across; ++i) {
        Place(i * step, width_, across_, columns[std::size_t(i)].first,
              columns[std::size_t(i)].second);
    }
    std::vector<std::array<uint8_t, 3>> colours(std::size_t(across) * std::size_t(down));
    if (tolerances != nullptr) {
        tolerances->resize(colours.size());
    }
    std::vector<Cell> blended(std::size_t(across_) + 1);
    for (int32_t j = 0; j < down; ++j) {
        int32_t top = 0;
        float below = 0;
        Place(j * step, height_, down_, top, below);
        const int32_t next = std::min(top + 1, down_ - 1);
        for (int32_t i = 0; i < across_; ++i) {
            for (std::size_t c = 0; c < 4; ++c) {
                blended[std::size_t(i)][c] =
                    cells_[std::size_t(top * across_ + i)][c] * (1 - below) +
                    cells_[std::size_t(next * across_ + i)][c] * below;
            }
        }
        blended[std::size_t(across_)] = blended[std::size_t(across_ - 1)];
        for (int32_t i = 0; i < across; ++i) {
            const auto [left, right] = columns[std::size_t(i)];
            const auto& a = blended[std::size_t(left)];
            const auto& b = blended[std::size_t(std::min(left + 1, across_ - 1))];
            auto& colour = colours[std::size_t(j) * std::size_t(across) + std::size_t(i)];
            for (std::size_t c = 0; c < 3; ++c) {
                colour[c] =
                    uint8_t(std::clamp(a[c] * (1 - right) + b[c] * right + 0.5f, 0.0f, 255.0f));
            }
            if (tolerances != nullptr) {
                (*tolerances)[std::size_t(j) * std::size_t(across) + std::size_t(i)] =
                    uint8_t(std::clamp(a[3] * (1 - right) + b[3] * right + 0.5f, 0.0f, 255.0f));
            }
        }
    }
    return colours;
}

double BackdropSurface::Unevenness() const {
    const auto level = [](const Cell& cell) { return (cell[0] + cell[1] + cell[2]) / 3; };
    const auto [least, most] =
        std::minmax_element(cells_.begin(), cells_.end(),
                            [&](const auto& a, const auto& b) { return level(a) < level(b); });
    return double(level(*most) - level(*least));
}

void BackdropSurface::Classify(int32_t y, const uint8_t* bgr, uint8_t mark,
                               uint8_t* classes) const {
    ForEachRun(y, 0, width_, std::equal_to<Backdrop>(),
               [&](int32_t x, int32_t end, const Backdrop& local) {
                   kernels::Classify(bgr + 3 * x, std::size_t(end - x),
                                     RangeAt(local.colour, local.tolerance), mark, classes + x);
               });
    // Highlights lie within those ranges, lighter than the backdrop: taken out again.
    if (*std::max_element(highlight_.begin(), highlight_.end()) > 255) {
        return;
    }
    ColourRange highlight;
    highlight.high = {255, 255, 255};
    for (std::size_t c = 0; c < 3; ++c) {
        highlight.low[c] = uint8_t(highlight_[c]);
    }
    std::array<uint8_t, 256> found;
    for (int32_t from = 0; from < width_; from += int32_t(found.size())) {
        const auto count = std::min<std::size_t>(found.size(), std::size_t(width_ - from));
        kernels::Classify(bgr + 3 * from, count, highlight, 1, found.data());
        for (std::size_t i = 0; i < count; ++i) {
            if (found[i] != 0) {
                classes[std::size_t(from) + i] = 0;
            }
        }
    }
}

void BackdropSurface::Apart(int32_t y, const uint8_t* bgr, int32_t from, int32_t to,
                            uint8_t* apart) const {
    const auto sameColour = [](const Backdrop& a, const Backdrop& b) {
        return a.colour == b.colour;
    };
    ForEachRun(y, from, to, sameColour, [&](int32_t x, int32_t end, const Backdrop& local) {
        kernels::Apart(bgr + 3 * x, std::size_t(end - x), local.colour,
                       side_ == Background::NearWhite, apart + x);
    });
}

std::vector<uint8_t> BackdropSurface::Reached(const PictureSamples& samples,
                                              const std::vector<std::array<uint8_t, 3>>& surface,
                                              const std::vector<uint8_t>& tolerances) const {
    const int32_t across = samples.Across(), down = samples.Down(), step = samples.Step();
    std::vector<uint8_t> reached(std::size_t(across) * std::size_t(down));
    std::deque<std::pair<int32_t, int32_t>> next;
    // The frame's samples are backdrop as the border's measure says; those inside
    // must lie within the tolerance of the surface.
    const auto visit = [&](int32_t i, int32_t j, const uint8_t* from = nullptr) {
        const std::size_t k = std::size_t(j) * std::size_t(across) + std::size_t(i);
        if (reached[k] != 0) {
            return;
        }
        const uint8_t* pixel = samples.Row(j * step) + 3 * i;
        if (from != nullptr && Steps(from, pixel, tolerances[k])) {
            return;  // an outline, not the backdrop's fall-off: perhaps reached round it
        }
        reached[k] = 2;  // looked at; 1 when backdrop
        if (from == nullptr ? FrameHolds(samples, i, j) : Holds(pixel, surface[k], tolerances[k])) {
            reached[k] = 1;
            next.emplace_back(i, j);
        }
    };
    for (int32_t i = 0; i < across; ++i) {
        visit(i, 0);
        visit(i, down - 1);
    }
    for (int32_t j = 0; j < down; ++j) {
        visit(0, j);
        visit(across - 1, j);
    }
    while (!next.empty()) {
        const auto [i, j] = next.front();
        next.pop_front();
        const uint8_t* from = samples.Row(j * step) + 3 * i;
        if (i > 0)
            visit(i - 1, j, from);
        if (i + 1 < across)
            visit(i + 1, j, from);
        if (j > 0)
            visit(i, j - 1, from);
        if (j + 1 < down)
            visit(i, j + 1, from);
    }
    return reached;
}

void BackdropSurface::FitCells(const PictureSamples& samples, const std::vector<uint8_t>& reached) {
    const int32_t across = samples.Across(), down = samples.Down(), step = samples.Step();
    // Each cell's commonest level in each channel: the backdrop's, even where the
    // object's noise has put some of its own within the tolerance (a median of a cell
    // the object half covers would lean their way, and the next fit take in more). The
    // histograms are counted a row of cells at a time (72 KB at most): the whole grid's,
    // 1.8 MB, faulted its pages in for every picture (260 of a small photo's 4,280).
    std::vector<std::array<std::array<uint32_t, 256>, 3>> histograms(
        static_cast<std::size_t>(across_));
    std::vector<uint32_t> counts(cells_.size()), all(cells_.size());
    // And each cell's texture: second differences along rows of samples near the
    // backdrop, each channel's summed, and how many.
    std::vector<std::array<double, 3>> texture(cells_.size());
    std::vector<uint32_t> textured(cells_.size());
    std::vector<bool> known(cells_.size());
    // Measures the cells of the row of cells counted.
    const auto measure = [&](int32_t cellRow) {
        for (int32_t i = 0; i < across_; ++i) {
            const std::size_t k = std::size_t(cellRow) * std::size_t(across_) + std::size_t(i);
            auto& histogram = histograms[std::size_t(i)];
            known[k] = counts[k] >= kLeastCellSamples && counts[k] >= kLeastCellShare * all[k];
            for (std::size_t c = 0; known[k] && c < 3; ++c) {
                cells_[k][c] = Commonest(histogram[c]);
            }
            if (known[k]) {
                double deviation = 0;
                for (std::size_t c = 0; c < 3 && textured[k] > 0; ++c) {
                    deviation =
                        std::max(deviation, texture[k][c] / textured[k] / kSecondPerDeviation);
                }
                cells_[k][3] =
                    float(std::clamp(int(std::lround(kTextureDeviations * deviation)) + 1,
                                     tolerance_, kMostTextureTolerance));
            }
            histogram = {};
        }
    };
    std::vector<std::size_t> cellOfColumn(static_cast<std::size_t>(across));
    for (int32_t i = 0; i < across; ++i) {
        cellOfColumn[std::size_t(i)] = std::size_t(int64_t(i) * across_ / across);
    }
    int32_t measured = 0;  // rows of cells
    for (int32_t j = 0; j < down; ++j) {
        const uint8_t* row = samples.Row(j * step);
        const auto cellRowIndex = int32_t(int64_t(j) * down_ / down);
        for (; measured < cellRowIndex; ++measured) {
            measure(measured);
        }
        const auto cellRow = std::size_t(cellRowIndex) * std::size_t(across_);
        for (int32_t i = 0; i < across; ++i) {
            const std::size_t k = cellRow + cellOfColumn[std::size_t(i)];
            ++all[k];
            if (reached[std::size_t(j) * std::size_t(across) + std::size_t(i)] != 1) {
                continue;
            }
            ++counts[k];
            for (std::size_t c = 0; c < 3; ++c) {
                ++histograms[cellOfColumn[std::size_t(i)]][c][row[3 * i + int32_t(c)]];
            }
            const std::size_t at = std::size_t(j) * std::size_t(across) + std::size_t(i);
            if (i > 0 && i + 1 < across && reached[at - 1] == 1 && reached[at + 1] == 1) {
                for (std::size_t c = 0; c < 3; ++c) {
                    const int32_t m = 3 * i + int32_t(c);
                    texture[k][c] += std::abs(row[m - 3] - 2 * row[m] + row[m + 3]);
                }
                ++textured[k];
            }
        }
    }
    for (; measured < down_; ++measured) {
        measure(measured);
    }
    if (std::find(known.begin(), known.end(), true) == known.end()) {
        return;  // nothing reached: the frame's measure stands
    }
    if (side_ == Background::NearWhite) {
        // Light falls off towards a white backdrop's frame, never into a pit inside it:
        // no cell is darker than the darkest measured along the frame. A white object
        // a few levels off a clean backdrop, which its noise lets the backdrop reach in
        // places, does not pull the surface down to itself.
        // Where the frame falls off, as far below its trend as measured along the frame (and
        // not at all where no cell of the frame is measured).
        const auto trend = [&](std::size_t k, std::size_t c) {
            return trend_ ? frameCells_[k][c] : 0.0f;
        };
        Cell floor{255, 255, 255, 0};
        bool framed = false;
        for (std::size_t k = 0; k < cells_.size(); ++k) {
            const std::size_t i = k % std::size_t(across_), j = k / std::size_t(across_);
            const bool frame =
                i == 0 || j == 0 || i + 1 == std::size_t(across_) || j + 1 == std::size_t(down_);
            framed = framed || (frame && known[k]);
            for (std::size_t c = 0; frame && known[k] && c < 3; ++c) {
                floor[c] = std::min(floor[c], cells_[k][c] - trend(k, c));
            }
        }
        for (std::size_t k = 0; (framed || !trend_) && k < cells_.size(); ++k) {
            for (std::size_t c = 0; known[k] && c < 3; ++c) {
                cells_[k][c] = std::max(cells_[k][c], floor[c] + trend(k, c));
            }
        }
    }
    std::vector<std::size_t> carried;  // the cells without a measure of their own
    for (std::size_t k = 0; k < cells_.size(); ++k) {
        if (!known[k]) {
            carried.push_back(k);
        }
    }
    // Where the frame falls off, what is carried over is how far the backdrop lies from
    // the trend, which goes on under the object as a sweep's fall-off does.
    const auto trend = [&](float sign) {
        for (std::size_t k = 0; trend_ && k < cells_.size(); ++k) {
            for (std::size_t c = 0; c < 3; ++c) {
                cells_[k][c] += sign * frameCells_[k][c];
            }
        }
    };
    trend(-1);
    float moved = kSettled;
    for (int round = 0; round < kSmoothings && moved >= kSettled; ++round) {
        moved = 0;
        for (const std::size_t k : carried) {
            const int32_t i = int32_t(k % std::size_t(across_)),
                          j = int32_t(k / std::size_t(across_));
            Cell sum{};
            float count = 0;
            for (const auto& [di, dj] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
                if (i + di < 0 || i + di >= across_ || j + dj < 0 || j + dj >= down_) {
                    continue;
                }
                const auto& other = cells_[std::size_t((j + dj) * across_ + i + di)];
                for (std::size_t c = 0; c < 4; ++c) {
                    sum[c] += other[c];
                }
                count += 1;
            }
            for (std::size_t c = 0; c < 4; ++c) {
                const float mean = sum[c] / count;
                moved = std::max(moved, std::abs(mean - cells_[k][c]));
                cells_[k][c] = mean;
            }
        }
    }
    trend(1);
    known_ = std::move(known);
}

// The cells the object covers are carried over as means of their neighbours, and a mean
// never rises above them: where a sweep peaks under the object, a hole there shows the
// backdrop levels lighter than the cells say, and was taken for a label.
BackdropSurface::Cell BackdropSurface::Behind(int32_t x, int32_t y) const {
    const Cell plain = Exactly(x, y);
    // A flat backdrop has no trend to follow: a level of a model's error would take a
    // label for a hole.
    if (known_.empty() || Unevenness() <= double(tolerance_)) {
        return plain;
    }
    // Least squares of the quadratic (u and v across and down the frame, -0.5 to 0.5,
    // from x, y) over the measured cells, weighted by their nearness to x, y.
    constexpr double kNearness = 0.25;  // a Gaussian's deviation, in frames
    const double atU = (x + 0.5) / width_ - 0.5, atV = (y + 0.5) / height_ - 0.5;
    QuadraticFit fit;
    for (std::size_t k = 0; k < cells_.size(); ++k) {
        if (!known_[k]) {
            continue;
        }
        const double u = (double(k % std::size_t(across_)) + 0.5) / across_ - 0.5;
        const double v = (double(k / std::size_t(across_)) + 0.5) / down_ - 0.5;
        const QuadraticFit::Terms t = QuadraticFit::At(u - atU, v - atV);
        const double weight =
            std::exp(-(t[3] + t[5]) / (2 * kNearness * kNearness));  // t[3] + t[5]: distance²
        fit.Add(t, {cells_[k][0], cells_[k][1], cells_[k][2]}, weight);
    }
    // Cells that do not determine a quadratic (too few, or all in a line) leave the plain
    // surface; the fit's value at x, y is its constant term.
    const std::optional<QuadraticFit::Coefficients> quadratic = fit.Solve();
    if (!quadratic) {
        return plain;
    }
    Cell colour = plain;
    for (std::size_t c = 0; c < 3; ++c) {
        colour[c] = float(std::clamp((*quadratic)[c][0], 0.0, 255.0));
    }
    return colour;
}

}  // namespace zel7
