// The edges of refined masks and cut-outs: which object pixels lie at the edge, and
// how much of each is object, its colour freed of the backdrop's share.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "refine/backdrop.h"
#include "system/pixel_memory.h"

namespace zel7 {

// Pixels this close to background are edge pixels: JPEG's halved colour resolution
// spreads an edge over two or three, a soft lens over more (EdgeBand).
inline constexpr int32_t kEdge = 2;
// ...at most this close: unmixing an edge pixel reads (2 kMostEdge + 3)² pixels.
inline constexpr int32_t kMostEdge = 8;

// How close to background edge pixels lie in a picture whose outlines are width pixels
// wide (OutlineWidth; 0 when not measured): a soft outline leaves the backdrop and
// reaches the object's colour over some 1.2 widths (a Gaussian's three deviations: the
// width is 2.5 of them), and past the band a pixel is opaque, its blend with the backdrop
// kept (a red disc blurred by 2 pixels had 700 opaque pixels less than 70% object).
int32_t EdgeBand(double width);

// The rows around those being written, a ring of them: each row's colours (24-bit
// pixels) and coverage (255 object, 0 background; grey between for none here), for edge
// pixels band pixels from background, of stripes of stripeRows rows written at a time.
class RowWindow {
public:
    // band: 1 to kMostEdge, a wider one narrowed (EdgeAlpha's room holds its window).
    RowWindow(int32_t width, int32_t height, int32_t rowStride, int32_t band = kEdge,
              int32_t stripeRows = 1);
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t Band() const { return band_; }
    // An edge pixel's object colour is looked for this far away.
    int32_t Reach() const { return band_ + 1; }
    uint8_t* Colours(int32_t y) { return colours_[Slot(y)].data(); }
    uint8_t* Coverage(int32_t y) { return coverage_[Slot(y)].data(); }
    const uint8_t* Colours(int32_t y) const { return colours_[Slot(y)].data(); }
    const uint8_t* Coverage(int32_t y) const { return coverage_[Slot(y)].data(); }

private:
    std::size_t Slot(int32_t y) const { return std::size_t(y) % colours_.size(); }

    int32_t width_, height_, band_;
    std::vector<std::vector<uint8_t>> colours_, coverage_;  // 2 Reach() + stripeRows rows
};

// The colours that the edges of a two-tone mask of labelled regions can need, kept while
// the labelling pass reads the picture, so that the last pass need not decode it again.
// Two neighbours of one class always lie in one region, so every edge of the labelled
// mask lies at a change of class: the pixels kept are those within kNear of one. Past
// mostBytes of them, nothing more is kept and Complete() says so: the caller decodes.
class EdgeColours {
public:
    // An edge pixel lies within band of background, so both pixels of a change (on the
    // way there, one marked) lie within band of it, and the pixels its unmixing reads
    // band + 1 beyond it: those within near_ = 2 band + 1 of a change are kept.
    // The colours are kept in chunks of chunkBytes, or of a row's where a row is more:
    // by default chunks of huge pages (see pixel_memory.h).
    static constexpr std::size_t kChunkBytes = std::size_t{4} << 20;
    EdgeColours(int32_t width, int32_t height, std::size_t mostBytes, int32_t band = kEdge,
                std::size_t chunkBytes = kChunkBytes);
    // Row y's colours (24-bit pixels) and classes, as the labeller takes them, rows in
    // order from the top; the pixels where also is not 0 are kept too.
    void AddRow(int32_t y, const uint8_t* bgr, const uint8_t* classes,
                const uint8_t* also = nullptr);
    // Whether every row has come and all that was needed was kept.
    bool Complete() const { return !over_ && done_ == height_; }
    // Row y's colours as far as kept; the other pixels black.
    void FillRow(int32_t y, uint8_t* bgr) const;

private:
    void Keep(int32_t y);

    struct Extent {  // of columns, stop past the last
        int32_t start, stop;
    };
    int32_t width_, height_, near_;
    std::size_t mostBytes_;
    bool over_ = false;
    int32_t done_ = 0;                             // rows kept so far
    std::vector<std::vector<uint8_t>> rows_;       // the last near_ + 1 rows' colours
    std::vector<Extent> extents_;                  // of the last 2 near_ + 1 rows' marks
    std::vector<std::vector<uint8_t>> askedRows_;  // the last near_ + 1 rows' also
    std::vector<Extent> askedExtents_;             // and where each was not 0
    std::vector<uint8_t> previous_;                // the classes of the row before
    std::vector<int32_t> lastNear_;                // per column: the last row near a change
    std::vector<std::size_t> firstSpan_;           // of each kept row, and one past the last
    std::vector<Extent> spans_;
    // The spans' pixels, one after another, each row's whole within a chunk of
    // chunkBytes_: kept in chunks rather than one vector, whose growth copied them over
    // and over and faulted in twice the pages they take. firstColour_ is where each kept
    // row's begin, as a chunk's number times chunkBytes_ and the place in it.
    std::size_t chunkBytes_;
    std::vector<PixelBuffer> chunks_;
    std::size_t used_ = 0;  // of the last chunk
    std::vector<std::size_t> firstColour_;
    std::size_t keptBytes_ = 0;  // of colours, in all chunks
};

// The pixels of each row within band rows and columns of background (band at most the
// window's): the background in each column counted over the rows band above and below,
// a row in and a row out as the rows go by, then spread sideways. (Or-ing the 2 band + 1
// rows for every row, and spreading a column at a time, took 6% of a studio mask's time
// where a soft outline's band is 8.)
class EdgeFinder {
public:
    EdgeFinder(int32_t width, int32_t band);
    // Marks in edge (one byte a pixel) the edge pixels of row y. Rows are taken in order
    // from the top, the rows band + 1 above y to band below it in the window; any other
    // row is counted afresh.
    void Find(const RowWindow& window, int32_t y, std::vector<uint8_t>& edge);

private:
    // Counts (add 1) or uncounts (add -1) row y's background, if the picture has a row y.
    void Count(const RowWindow& window, int32_t y, int add);

    int32_t width_, band_;
    int32_t next_ = -1;            // the row Find takes next without counting afresh
    std::vector<uint8_t> counts_;  // per column: background pixels in the rows counted
    std::vector<uint8_t> spare_;   // a row's marks, as they were before a step sideways
};

// How much of the edge pixel at x, y is object, 0 to 255, and its colour freed of the
// backdrop's share, red first, in rgb (left alone where alpha is 0). The rows Reach()
// around y must be in the window. The backdrop the pixel is mixed with is the background
// around of the reference's colour, or with everyBackground all of it: where shadows are
// background, an object's foot is mixed with its shadow. faint, where given, says whether
// no object colour nearby stood clearly off the backdrop (a pale object's rim, a shadow's
// fringe): the alpha then says only how far the pixel stands out beyond the tolerance.
// behind, where given, takes the colour the pixel was unmixed from (blue first).
uint8_t EdgeAlpha(const RowWindow& window, int32_t x, int32_t y, const Backdrop& reference,
                  uint8_t* rgb, bool everyBackground = false, bool* faint = nullptr,
                  uint8_t* behind = nullptr);

}  // namespace zel7
