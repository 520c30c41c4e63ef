// ICC profiles for the tests, made with lcms2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "test_pictures.h"

namespace zel7::test_support {

// Chromaticities x, y of red, green and blue; the white is D65's in every profile here.
struct Primaries {
    double red[2], green[2], blue[2];
};
inline constexpr Primaries kSrgbPrimaries{{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};
inline constexpr Primaries kAdobeRgbPrimaries{{0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}};
inline constexpr Primaries kDisplayP3Primaries{{0.68, 0.32}, {0.265, 0.69}, {0.15, 0.06}};

struct RgbProfile {
    Primaries primaries = kAdobeRgbPrimaries;
    double gamma = 2.2;  // one power curve for all three channels
    // The curves as tables of this many entries (two bytes each, three tables; lcms2
    // reads up to some 30,000 of them), or 0 for a power law in a few bytes.
    std::size_t curveEntries = 0;
    std::string description = "Test RGB";
    std::size_t paddingBytes = 0;  // a private tag of this many bytes, to make it large
};

Bytes MakeProfile(const RgbProfile& profile);
// lcms2's own sRGB profile.
Bytes SrgbProfile();
// A grey profile of a power curve.
Bytes GreyProfile(double gamma);

}  // namespace zel7::test_support
