// The ripples beside a strong edge: JPEG quantises each block's frequencies, and a sharp
// step in a block rings across all of it (in colour across 16 pixels, whose resolution
// is halved), as a camera's sharpening leaves a halo. On a clean white backdrop, whose
// tolerance is a level or two, a red product's ripples of 3 to 15 levels read as object:
// a band six to eight pixels wide around it, opaque and nearly white in a cut-out.
//
// Ripples are faint beside the step that makes them (at most an eighth of it at JPEG's
// quality 75) and lie within two blocks of it. A pale product (a white garment a few
// levels off the backdrop) is as faint beside its print or its seams, but its body goes on
// beyond any such reach: faint pixels joined to such a body by faint pixels are that body,
// and stay (a pale strip between a dark print and the outline, joined to the rest of the
// garment at the print's ends).
#pragma once

#include <cstdint>
#include <vector>

#include "refine/surface.h"

namespace zel7 {

class Ringing {
public:
    // For a picture of width by height pixels (at least one wide), against the backdrop's
    // surface.
    Ringing(int32_t width, int32_t height, const BackdropSurface& surface);

    // Row y's pixels, blue, green, red, and their classes (backdrop not 0), rows in
    // order from the top: kept until settled.
    void AddRow(int32_t y, const uint8_t* bgr, const uint8_t* classes);
    // The rows before this one have all their neighbours in and can be settled.
    int32_t Ready() const { return ready_; }
    // Makes backdrop (mark) row y's ripples, a row not yet settled that is ready, and
    // returns its classes; Colours(y) are its pixels.
    uint8_t* Settle(int32_t y, uint8_t mark);
    const uint8_t* Colours(int32_t y) const;

    // Cells of kCell x kCell pixels (JPEG's blocks are 8 pixels, colour's 16).
    static constexpr int32_t kCell = 8;
    // A ripple lies at most this many levels from the backdrop (on its object's side)...
    static constexpr int kMostRipple = 20;
    // ...and at most this share of the strongest pixel within kRippleReach cells of its
    // own (at least 16 pixels away)...
    static constexpr int kRippleShare = 8;  // an eighth
    static constexpr int32_t kRippleReach = 2;
    // ...and not joined, by cells with faint object pixels, to a faint object pixel that is
    // no such ripple: a pale body. Joins are followed up to kBodyReach cell rows up or down
    // (a print up to that high is passed round).
    static constexpr int32_t kBodyReach = 8;

private:
    // Works out which cells of cell row j hold a pale body (body_) and how strong the
    // pixels around each are (around_), once the cell rows kRippleReach below are whole.
    void Judge(int32_t j);
    // Which cells of the cell rows within kBodyReach of j are joined to a body (joined_).
    void Join(int32_t j);

    const BackdropSurface& surface_;
    int32_t width_, height_, cellsAcross_, cellsDown_;
    int32_t ready_ = 0, judged_ = 0;  // rows settleable; cell rows judged
    std::vector<uint8_t> colours_;    // kRows rows, 3 bytes a pixel
    std::vector<uint8_t> classes_;    // the same, a byte a pixel
    std::vector<uint8_t> apart_;      // the same: how far from the backdrop, the object's way
    // Per cell: its most apart pixel, its most apart faint object pixel, the most apart
    // around it (kRippleReach), and whether a pale body's pixel lies in it.
    std::vector<uint8_t> strongest_, faintest_, around_, body_;
    // Per cell of the cell rows within kBodyReach of joinedRow_'s: joined to a body; and
    // Join's cells to visit.
    std::vector<uint8_t> joined_;
    std::vector<std::size_t> next_;
    int32_t joinedRow_ = -1;
    static constexpr int32_t kRows = (kRippleReach + kBodyReach + 1) * kCell;
};

}  // namespace zel7
