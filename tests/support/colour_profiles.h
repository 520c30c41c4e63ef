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
inline constexpr Primaries kAdobeRgbPrimaries{{0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}};

struct TestProfile {
    Primaries primaries = kAdobeRgbPrimaries;
    double gamma = 2.2;  // one power curve for all three channels
    // The curves as tables of this many entries (two bytes each, three tables; lcms2
    // reads up to some 30,000 of them), or 0 for a power law in a few bytes.
    std::size_t curveEntries = 0;
    std::string description = "Test RGB";
    bool grey = false;  // a grey profile of the curve instead, without primaries
};

Bytes MakeProfile(const TestProfile& profile);

}  // namespace zel7::test_support
