#include "engine/colour.h"

#include <lcms2.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "formats/decoded_rows.h"

namespace zel7 {
namespace {

// The header's 128 bytes and the count of tags after it.
constexpr std::size_t kLeastProfileBytes = 132;

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using OpenProfile = std::unique_ptr<void, ProfileCloser>;

// The profile opened where it lies, its own size taken from its header: files pad
// profiles, but one that claims more than there is has lost its end.
OpenProfile Open(std::span<const uint8_t> profile) {
    if (profile.size() < kLeastProfileBytes) {
        return nullptr;
    }
    const std::size_t declared = DeclaredProfileBytes(profile);
    if (declared < kLeastProfileBytes || declared > profile.size()) {
        return nullptr;
    }
    return OpenProfile(cmsOpenProfileFromMem(profile.data(), declared));
}

ProfileColours ColoursOf(cmsHPROFILE profile) {
    switch (cmsGetColorSpace(profile)) {
        case cmsSigRgbData:
            return ProfileColours::Rgb;
        case cmsSigGrayData:
            return ProfileColours::Grey;
        default:
            return ProfileColours::Other;
    }
}

class Transform {
public:
    explicit Transform(cmsHTRANSFORM handle) : handle_(handle) {}
    ~Transform() { cmsDeleteTransform(handle_); }
    Transform(const Transform&) = delete;
    Transform& operator=(const Transform&) = delete;

    // Rows of 24-bit pixels in place: lcms2 reads each pixel before it writes it, and
    // both are 3 bytes.
    void Rows(uint8_t* rows, int32_t width, std::size_t count, std::size_t stride) const {
        cmsDoTransformLineStride(handle_, rows, rows, cmsUInt32Number(width),
                                 cmsUInt32Number(count), cmsUInt32Number(stride),
                                 cmsUInt32Number(stride), 0, 0);
    }

private:
    cmsHTRANSFORM handle_;
};

Result Unreadable() {
    return Fail(Status::DamagedPicture, "the colour profile cannot be read");
}

// From the profile's colours, as decoded rows hold them (blue, green, red; grey as three
// equal bytes, the first read), to sRGB's. No cache in the transform: it is shared
// between threads.
Result MakeTransform(std::span<const uint8_t> bytes, std::shared_ptr<const Transform>& made) {
    // Of a profile past the size bound, readers keep the header alone (ProfileBytesKept),
    // which says how large it is.
    if (HasIccHeader(bytes) && DeclaredProfileBytes(bytes) > kMaxColourProfileBytes) {
        return Fail(Status::UnsupportedPicture,
                    "its colour profile claims " + MiB(DeclaredProfileBytes(bytes)) +
                        ", more than the " + MiB(kMaxColourProfileBytes) + " read");
    }
    const OpenProfile profile = Open(bytes);
    if (!profile) {
        return Unreadable();
    }
    const ProfileColours colours = ColoursOf(profile.get());
    if (colours == ProfileColours::Other) {
        return Unreadable();
    }
    const cmsUInt32Number input =
        colours == ProfileColours::Rgb ? TYPE_BGR_8 : TYPE_GRAY_8 | EXTRA_SH(2);
    const OpenProfile srgb(cmsCreate_sRGBProfile());
    cmsHTRANSFORM handle = srgb ? cmsCreateTransform(profile.get(), input, srgb.get(), TYPE_BGR_8,
                                                     INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE)
                                : nullptr;
    if (handle == nullptr) {
        return Unreadable();
    }
    made = std::make_shared<const Transform>(handle);
    return {};
}

// A batch mostly holds one camera's pictures, or a few cameras': building a transform
// costs about as much as converting a small picture.
class TransformCache {
public:
    Result Get(std::span<const uint8_t> profile, std::shared_ptr<const Transform>& transform) {
        {
            const std::lock_guard lock(mutex_);
            const auto found = std::find_if(kept_.begin(), kept_.end(), [&](const auto& entry) {
                return std::equal(entry.first.begin(), entry.first.end(), profile.begin(),
                                  profile.end());
            });
            if (found != kept_.end()) {
                transform = found->second;
                return {};
            }
        }
        if (Result result = MakeTransform(profile, transform); !result.Ok()) {
            return result;
        }
        const std::lock_guard lock(mutex_);
        kept_.emplace_front(std::vector<uint8_t>(profile.begin(), profile.end()), transform);
        if (kept_.size() > kKept) {
            kept_.pop_back();
        }
        return {};
    }

private:
    static constexpr std::size_t kKept = 8;
    std::mutex mutex_;
    std::deque<std::pair<std::vector<uint8_t>, std::shared_ptr<const Transform>>> kept_;
};

TransformCache& Transforms() {
    static TransformCache cache;
    return cache;
}

class SrgbRows final : public RowSource {
public:
    SrgbRows(std::unique_ptr<RowSource> source, std::shared_ptr<const Transform> transform)
        : source_(std::move(source)), transform_(std::move(transform)) {}

    const PictureShape& Shape() const override { return source_->Shape(); }
    int Orientation() const override { return source_->Orientation(); }

    Result Read(uint8_t* into, std::size_t size) override {
        const PictureShape& shape = source_->Shape();
        const auto stride = std::size_t(shape.rowStride);
        if (size % stride != 0) {
            return Fail(Status::TruncatedPixels);
        }
        if (Result result = source_->Read(into, size); !result.Ok()) {
            return result;
        }
        transform_->Rows(into, shape.width, size / stride, stride);
        return {};
    }

private:
    std::unique_ptr<RowSource> source_;
    std::shared_ptr<const Transform> transform_;
};

}  // namespace

std::optional<ProfileSummary> ReadColourProfile(std::span<const uint8_t> profile) {
    const OpenProfile open = Open(profile);
    std::shared_ptr<const Transform> transform;
    if (!open || !Transforms().Get(profile, transform).Ok()) {
        return std::nullopt;
    }
    ProfileSummary summary{ColoursOf(open.get()), {}};
    char description[256] = {};
    if (cmsGetProfileInfoASCII(open.get(), cmsInfoDescription, "en", "US", description,
                               sizeof description) > 0) {
        summary.description = description;
    }
    return summary;
}

Result ConvertToSrgb(std::unique_ptr<RowSource>& source) {
    const std::span<const uint8_t> profile = source->ColourProfile();
    if (profile.empty()) {
        return {};
    }
    if (source->Shape().bitCount != 24) {  // profiles come with decoded rows only
        return Fail(Status::UnsupportedPicture, "colour profiles of stored rows are not converted");
    }
    std::shared_ptr<const Transform> transform;
    if (Result result = Transforms().Get(profile, transform); !result.Ok()) {
        return result;
    }
    source = std::make_unique<SrgbRows>(std::move(source), std::move(transform));
    return {};
}

std::array<uint8_t, 3> FromSrgb(std::span<const uint8_t> profile, std::array<uint8_t, 3> rgb) {
    const OpenProfile target = profile.empty() ? OpenProfile() : Open(profile);
    if (!target || ColoursOf(target.get()) != ProfileColours::Rgb) {
        return rgb;
    }
    const OpenProfile srgb(cmsCreate_sRGBProfile());
    cmsHTRANSFORM handle =
        srgb ? cmsCreateTransform(srgb.get(), TYPE_RGB_8, target.get(), TYPE_RGB_8,
                                  INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE)
             : nullptr;
    if (handle == nullptr) {
        return rgb;
    }
    std::array<uint8_t, 3> converted{};
    cmsDoTransform(handle, rgb.data(), converted.data(), 1);
    cmsDeleteTransform(handle);
    return converted;
}

}  // namespace zel7
