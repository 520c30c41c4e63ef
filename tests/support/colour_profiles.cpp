#include "colour_profiles.h"

#include <lcms2.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

namespace zel7::test_support {
namespace {

constexpr cmsCIExyY kD65{0.3127, 0.3290, 1.0};

}  // namespace

Bytes MakeProfile(const TestProfile& wanted) {
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
    const std::unique_ptr<void, decltype(&cmsCloseProfile)> profile(
        wanted.grey ? cmsCreateGrayProfile(&kD65, curves[0])
                    : cmsCreateRGBProfile(&kD65, &primaries, curves),
        cmsCloseProfile);
    cmsFreeToneCurveTriple(curves);
    cmsMLU* description = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(description, "en", "US", wanted.description.c_str());
    cmsWriteTag(profile.get(), cmsSigProfileDescriptionTag, description);
    cmsMLUfree(description);
    cmsUInt32Number size = 0;
    if (!profile || !cmsSaveProfileToMem(profile.get(), nullptr, &size)) {
        throw std::runtime_error("lcms2 could not save the profile");
    }
    Bytes bytes(size);
    cmsSaveProfileToMem(profile.get(), bytes.data(), &size);
    return bytes;
}

}  // namespace zel7::test_support
