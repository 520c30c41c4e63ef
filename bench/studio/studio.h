// Studio-like test pictures whose true object coverage is known, and the scoring of masks
// and cut-outs against that truth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zel7::studio {

enum class Backdrop { White, Black };
// What each family of shots puts to the test: labels nearly the backdrop's colour,
// holes, wires, faint shadows, objects cut by the frame; a sweep whose corners fall 20
// to 40 levels; a pale object a few levels off a clean, clipped backdrop, its outline a
// faint shading; a deep cast shadow; glossy highlights clipped on the object's rim.
enum class Family { Label, Ring, Wire, Shadow, Border, Sweep, Pale, Cast, Gloss, Light };

const char* Name(Family family);
const char* Name(Backdrop backdrop);

struct Shot {
    std::string name;  // family-backdrop-seed; zel7-studio numbers its files instead
    Family family = Family::Label;
    Backdrop backdrop = Backdrop::White;
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;    // top row first, R, G, B
    std::vector<uint8_t> alpha;  // true object coverage per pixel, 255 = object
};

// The same arguments give the same shot on every platform.
Shot MakeShot(Family family, Backdrop backdrop, int width, int height, uint32_t seed);

std::vector<uint8_t> EncodeJpeg(const Shot& shot, int quality);  // 4:2:0, as cameras write
std::vector<uint8_t> EncodePngRgb(const Shot& shot);
std::vector<uint8_t> EncodePngGrey(int width, int height, const std::vector<uint8_t>& grey);

struct Score {
    double iou = 0;                 // object: alpha >= 128
    double alphaErrorPerMille = 0;  // mean |result - truth| / 255 * 1000
};

Score Compare(const std::vector<uint8_t>& truthAlpha, const std::vector<uint8_t>& resultAlpha);

// A PNG mask (alpha = 255 - grey) or cut-out (its alpha channel), or a BMP mask (alpha =
// 255 - blue). Inverted masks have the object white (alpha = grey).
bool ReadResultAlpha(const std::string& path, bool inverted, int& width, int& height,
                     std::vector<uint8_t>& alpha, std::string& error);

}  // namespace zel7::studio
