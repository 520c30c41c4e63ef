// Colour profiles: what one says of itself, and rows converted from it to sRGB. The one
// place that knows lcms2.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "engine/row_stream.h"
#include "system/result.h"

namespace zel7 {

enum class ProfileColours { Grey, Rgb, Other };

struct ProfileSummary {
    ProfileColours colours = ProfileColours::Other;
    std::string description;  // the profile's own name for itself, in ASCII; may be ""
};

// What lcms2 reads of an ICC profile: nothing when its header is cut short, claims
// more bytes than there are, or the library cannot open it or convert from it. A writer
// carries only profiles read so, those ConvertToSrgb converts from, and names them by
// their description.
std::optional<ProfileSummary> ReadColourProfile(std::span<const uint8_t> profile);

// Has source's rows come in sRGB: converted from its colour profile (relative
// colorimetric, as browsers show tagged pictures: colours within sRGB kept, others
// clipped), or left as they are when it has none. The converted source has no profile
// of its own, for sRGB is what untagged pictures are taken to be. A profile lcms2
// cannot read, or that does not describe RGB or grey colours, is refused before any
// row is read. Transforms are kept for the profiles last seen, so that a batch of one
// camera's pictures builds one.
Result ConvertToSrgb(std::unique_ptr<RowSource>& source);

// An sRGB colour (red, green, blue) in an RGB profile's colours, relative colorimetric,
// so that a colour asked for in sRGB is that colour in a picture tagged with the profile;
// as it is when the profile is empty, unreadable or not RGB (the picture is then sRGB's).
std::array<uint8_t, 3> FromSrgb(std::span<const uint8_t> profile, std::array<uint8_t, 3> rgb);

}  // namespace zel7
