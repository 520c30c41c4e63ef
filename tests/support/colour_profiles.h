// ICC profiles for the tests, made with lcms2, and what converting a colour from one to
// sRGB should give, worked out from the profile's primaries without it.
#pragma once

#include <array>
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

// The sRGB pixel (red, green, blue) that rgb in the profile's colours is, clipped to
// sRGB's gamut, from the primaries' matrices and the curves' formulas.
std::array<uint8_t, 3> ExpectedSrgb(const RgbProfile& profile, std::array<uint8_t, 3> rgb);

// The sRGB level of a grey level under a power curve.
uint8_t ExpectedSrgbGrey(double gamma, uint8_t level);

}  // namespace zel7::test_support
