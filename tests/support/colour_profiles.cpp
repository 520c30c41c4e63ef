#include "colour_profiles.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

namespace zel7::test_support {
namespace {

constexpr cmsCIExyY kD65{0.3127, 0.3290, 1.0};

using Profile = std::unique_ptr<void, decltype(&cmsCloseProfile)>;

Bytes Saved(const Profile& profile) {
    cmsUInt32Number size = 0;
    if (!profile || !cmsSaveProfileToMem(profile.get(), nullptr, &size)) {
        throw std::runtime_error("lcms2 could not save the profile");
    }
    Bytes bytes(size);
    cmsSaveProfileToMem(profile.get(), bytes.data(), &size);
    return bytes;
}

using Matrix = std::array<std::array<double, 3>, 3>;

Matrix Inverse(const Matrix& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Matrix inverse{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            // The cofactor of (c, r), over the determinant.
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inverse[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    }
    return inverse;
}

std::array<double, 3> Times(const Matrix& m, const std::array<double, 3>& v) {
    std::array<double, 3> out{};
    for (int r = 0; r < 3; ++r) {
        out[r] = m[r][0] * v[0] + m[r][1] * v[1] + m[r][2] * v[2];
    }
    return out;
}

// RGB to XYZ: each primary's XYZ, scaled so that full red, green and blue make D65.
Matrix ToXyz(const Primaries& p) {
    const double* xy[3] = {p.red, p.green, p.blue};
    Matrix m{};
    for (int c = 0; c < 3; ++c) {
        m[0][c] = xy[c][0] / xy[c][1];
        m[1][c] = 1;
        m[2][c] = (1 - xy[c][0] - xy[c][1]) / xy[c][1];
    }
    const std::array<double, 3> white{kD65.x / kD65.y, 1, (1 - kD65.x - kD65.y) / kD65.y};
    const std::array<double, 3> scale = Times(Inverse(m), white);
    for (auto& row : m) {
        for (int c = 0; c < 3; ++c) {
            row[c] *= scale[c];
        }
    }
    return m;
}

uint8_t SrgbEncoded(double linear) {
    linear = std::clamp(linear, 0.0, 1.0);
    const double v =
        linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
    return uint8_t(std::lround(255 * v));
}

}  // namespace

Bytes MakeProfile(const RgbProfile& wanted) {
    const auto& p = wanted.primaries;
    const cmsCIExyYTRIPLE primaries{
        {p.red[0], p.red[1], 1}, {p.green[0], p.green[1], 1}, {p.blue[0], p.blue[1], 1}};
    // Three curves, not one: lcms2 stores one curve given thrice once.
    cmsToneCurve* curves[3] = {};
    std::vector<cmsUInt16Number> table(wanted.curveEntries);
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = cmsUInt16Number(
            std::lround(65535 * std::pow(double(i) / double(table.size() - 1), wanted.gamma)));
    }
    for (cmsToneCurve*& curve : curves) {
        curve = table.empty() ? cmsBuildGamma(nullptr, wanted.gamma)
                              : cmsBuildTabulatedToneCurve16(nullptr, cmsUInt32Number(table.size()),
                                                             table.data());
    }
    const Profile profile(cmsCreateRGBProfile(&kD65, &primaries, curves), cmsCloseProfile);
    cmsFreeToneCurveTriple(curves);
    cmsMLU* description = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(description, "en", "US", wanted.description.c_str());
    cmsWriteTag(profile.get(), cmsSigProfileDescriptionTag, description);
    cmsMLUfree(description);
    if (wanted.paddingBytes > 0) {
        const Bytes padding(wanted.paddingBytes, 0x5A);
        cmsWriteRawTag(profile.get(), cmsTagSignature(0x7A656C37), padding.data(),
                       cmsUInt32Number(padding.size()));
    }
    return Saved(profile);
}

Bytes SrgbProfile() {
    return Saved(Profile(cmsCreate_sRGBProfile(), cmsCloseProfile));
}

Bytes GreyProfile(double gamma) {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
    const Profile profile(cmsCreateGrayProfile(cmsD50_xyY(), curve), cmsCloseProfile);
    cmsFreeToneCurve(curve);
    return Saved(profile);
}

std::array<uint8_t, 3> ExpectedSrgb(const RgbProfile& profile, std::array<uint8_t, 3> rgb) {
    std::array<double, 3> linear{};
    for (int c = 0; c < 3; ++c) {
        linear[c] = std::pow(rgb[c] / 255.0, profile.gamma);
    }
    const std::array<double, 3> srgb =
        Times(Inverse(ToXyz(kSrgbPrimaries)), Times(ToXyz(profile.primaries), linear));
    return {SrgbEncoded(srgb[0]), SrgbEncoded(srgb[1]), SrgbEncoded(srgb[2])};
}

uint8_t ExpectedSrgbGrey(double gamma, uint8_t level) {
    return SrgbEncoded(std::pow(level / 255.0, gamma));
}

}  // namespace zel7::test_support
