// zel7._zel7: the pipeline for Python. Arrays are read where they lie, whatever their
// strides, and the GIL is let go while the pipeline works, so that threads mask in
// parallel. Options are checked as zel7-mask checks its own, with the same words.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "decoded_rows.h"
#include "mask_file.h"
#include "picture_files.h"
#include "pixel_arrays.h"
#include "result.h"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

struct Settings {
    zel7::Background side = zel7::Background::NearWhite;
    zel7::RefineOptions refine;
};

// Decoders' words and file names need not be UTF-8: neither may stop an error from
// being raised.
py::str Text(const std::string& text) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text.data(), py::ssize_t(text.size()), "replace"));
}

// As os.fsdecode would give it back: the bytes of any name survive the round trip.
py::str PathText(const fs::path& path) {
    const std::string& bytes = path.native();
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), py::ssize_t(bytes.size()));
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

// The classes live in the package's Python half, where they can be pickled by name
// (Dask's workers send them back) and documented as any class is.
[[noreturn]] void Raise(const zel7::Result& result, const std::optional<fs::path>& path) {
    const py::object type = py::module_::import("zel7").attr(
        result.ConcernsDestination() ? "WriteError" : "PictureError");
    const py::object error =
        type(Text(zel7::Describe(result)), path ? py::object(PathText(*path)) : py::none());
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

uint64_t PixelCount(const char* name, int64_t value) {
    if (value < 0 || value > int64_t{UINT32_MAX}) {
        throw py::value_error(std::string(name) + " takes a number of pixels from 0 to " +
                              std::to_string(UINT32_MAX) + ", not " + std::to_string(value));
    }
    return uint64_t(value);
}

Settings Check(const std::string& background, bool autoBackground, std::optional<int64_t> tolerance,
               bool connected, int64_t holeArea, int64_t despeckle, bool cutout, bool hardEdges,
               bool soft, bool invert) {
    Settings settings;
    zel7::RefineOptions& refine = settings.refine;
    if (background == "black") {
        settings.side = zel7::Background::NearBlack;
    } else if (background == "auto") {
        autoBackground = true;
    } else if (background != "white") {
        throw py::value_error("background is 'white', 'black' or 'auto', not '" + background + "'");
    }
    refine.autoBackground = autoBackground;
    if (tolerance && (*tolerance < 0 || *tolerance > 255)) {
        throw py::value_error("tolerance takes a whole number from 0 to 255, not " +
                              std::to_string(*tolerance));
    }
    if (tolerance) {
        refine.tolerance = int(*tolerance);
    }
    refine.regions.connected = connected;
    refine.regions.holeArea = PixelCount("hole_area", holeArea);
    refine.regions.despeckle = PixelCount("despeckle", despeckle);
    if (refine.regions.holeArea > 0 && !connected) {
        throw py::value_error("hole_area goes with connected=True");
    }
    if (cutout && soft) {
        throw py::value_error("cutout and soft exclude each other");
    }
    if (hardEdges && !cutout) {
        throw py::value_error("hard_edges goes with cutout=True");
    }
    refine.product = cutout ? zel7::Product::Cutout
                     : soft ? zel7::Product::SoftMask
                            : zel7::Product::Mask;
    refine.hardEdges = hardEdges;
    refine.invert = invert;
    return settings;
}

std::optional<zel7::PictureFormat> ParseFormat(const std::optional<std::string>& format) {
    if (!format) {
        return std::nullopt;
    }
    if (*format == "png") {
        return zel7::PictureFormat::Png;
    }
    if (*format == "bmp") {
        return zel7::PictureFormat::Bmp;
    }
    throw py::value_error("format is 'png' or 'bmp', not '" + *format + "'");
}

// The samples as the pipeline reads them, where they lie.
zel7::PixelArray Pixels(const py::array& array, zel7::Background side) {
    const py::dtype dtype = array.dtype();
    if (dtype.kind() != 'u' || (dtype.itemsize() != 1 && dtype.itemsize() != 2)) {
        throw py::type_error("pixels are uint8 or uint16, not " +
                             std::string(py::str(static_cast<const py::object&>(dtype))));
    }
    const bool layered = array.ndim() == 3;
    if ((array.ndim() != 2 && !layered) ||
        (layered && array.shape(2) != 1 && array.shape(2) != 3 && array.shape(2) != 4)) {
        throw py::value_error(
            "pixels are an array of height x width, or height x width x 1, 3 or 4 channels, "
            "not of shape " +
            std::string(py::str(array.attr("shape"))));
    }
    // Refused before the result is allocated for a size that would be refused anyway.
    if (zel7::Result result = zel7::CheckDimensions(uint64_t(array.shape(1)),
                                                    uint64_t(array.shape(0)), {side, UINT64_MAX});
        !result.Ok()) {
        Raise(result, std::nullopt);
    }
    zel7::PixelArray picture;
    picture.data = static_cast<const uint8_t*>(array.data());
    picture.height = int32_t(array.shape(0));
    picture.width = int32_t(array.shape(1));
    picture.channels = layered ? int32_t(array.shape(2)) : 1;
    picture.sampleBytes = int32_t(dtype.itemsize());
    picture.rowStride = array.strides(0);
    picture.pixelStride = array.strides(1);
    picture.channelStride = layered ? array.strides(2) : 0;
    // 16-bit samples are read by their top byte alone: in the other byte order it is
    // read as an 8-bit sample where it lies, rather than the array being swapped.
    const char swapped = std::endian::native == std::endian::little ? '>' : '<';
    if (picture.sampleBytes == 2 && dtype.byteorder() == swapped) {
        picture.sampleBytes = 1;
        if constexpr (std::endian::native == std::endian::big) {
            picture.data += 1;
        }
    }
    return picture;
}

py::array Mask(const py::object& pixels, const std::string& background, bool autoBackground,
               std::optional<int64_t> tolerance, bool connected, int64_t holeArea,
               int64_t despeckle, bool cutout, bool hardEdges, bool soft, bool invert) {
    const Settings settings = Check(background, autoBackground, tolerance, connected, holeArea,
                                    despeckle, cutout, hardEdges, soft, invert);
    // Without forcecast: an ndarray of any strides is taken as it is, never copied.
    const py::array array = py::array::ensure(pixels);
    if (!array) {
        throw py::type_error("pixels are a NumPy array, or anything numpy.asarray takes");
    }
    const zel7::PixelArray picture = Pixels(array, settings.side);
    std::vector<py::ssize_t> shape{picture.height, picture.width};
    if (cutout) {
        shape.push_back(4);
    }
    py::array_t<uint8_t> out(shape);
    uint8_t* into = out.mutable_data();
    zel7::Result result;
    {
        // array, held until the return, keeps the samples alive meanwhile.
        py::gil_scoped_release release;
        result = zel7::MaskArray(picture, settings.side, settings.refine, into);
    }
    if (!result.Ok()) {
        Raise(result, std::nullopt);
    }
    return out;
}

// The destination written, and what zel7-mask would remark on it ("" mostly).
std::pair<py::str, std::string> MaskFileNoted(const fs::path& source, fs::path destination,
                                              const std::string& background,
                                              const std::optional<std::string>& format,
                                              int64_t maxPixels, bool autoBackground,
                                              std::optional<int64_t> tolerance, bool connected,
                                              int64_t holeArea, int64_t despeckle, bool cutout,
                                              bool hardEdges, bool soft, bool invert) {
    const Settings settings = Check(background, autoBackground, tolerance, connected, holeArea,
                                    despeckle, cutout, hardEdges, soft, invert);
    const std::optional<zel7::PictureFormat> chosen = ParseFormat(format);
    if (maxPixels < 1) {
        throw py::value_error("max_pixels takes a whole number from 1 up, not " +
                              std::to_string(maxPixels));
    }
    if (cutout && chosen == zel7::PictureFormat::Bmp) {
        throw py::value_error("cut-outs are written as PNG only");
    }
    // A folder receives the mask under its source's name, as with zel7-mask.
    std::error_code ignored;
    if (destination != "-" && source != "-" && fs::is_directory(destination, ignored)) {
        destination /= zel7::MaskFileName(source, "", chosen, cutout);
    }
    std::optional<zel7::PictureFormat> written = chosen ? chosen : zel7::FormatForName(destination);
    if (cutout && destination == "-") {
        written = zel7::PictureFormat::Png;
    }
    const std::string quoted = "'" + destination.string() + "': ";
    if (cutout && written == zel7::PictureFormat::Bmp) {
        throw py::value_error(quoted + "cut-outs are written as PNG; name it .png");
    }
    if (!written) {
        throw py::value_error(quoted +
                              "masks are written as PNG (.png) or BMP (.bmp, .dib, or no "
                              "extension); name the destination so, or say format=");
    }
    zel7::MaskOptions options;
    options.background = settings.side;
    options.format = *written;
    options.maxPixels = uint64_t(maxPixels);
    // Callers run files in parallel on threads of their own: a second thread each for
    // writing would only contend with them.
    options.writing = zel7::SliceWriting::Inline;
    options.refine = settings.refine;
    // Kept across calls, as each of zel7-mask's workers keeps its own.
    thread_local std::vector<uint8_t> buffer;
    zel7::MaskNote note;
    zel7::Result result;
    {
        py::gil_scoped_release release;
        result = zel7::MaskFile(source, destination, options, buffer, &note);
    }
    if (!result.Ok()) {
        Raise(result, result.ConcernsDestination() ? destination : source);
    }
    std::string remark;
    if (note.copiedBitCount != 0) {
        remark = std::to_string(note.copiedBitCount) +
                 "-bit picture copied unchanged; only 24-bit BMPs are masked";
    }
    return {PathText(destination), remark};
}

// The remark, as zel7-mask prints it on standard error, becomes a warning.
py::str MaskFileOf(const fs::path& source, const fs::path& destination,
                   const std::string& background, const std::optional<std::string>& format,
                   int64_t maxPixels, bool autoBackground, std::optional<int64_t> tolerance,
                   bool connected, int64_t holeArea, int64_t despeckle, bool cutout, bool hardEdges,
                   bool soft, bool invert) {
    auto [written, remark] =
        MaskFileNoted(source, destination, background, format, maxPixels, autoBackground, tolerance,
                      connected, holeArea, despeckle, cutout, hardEdges, soft, invert);
    if (!remark.empty()) {
        const std::string warning = source.string() + ": " + remark;
        if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0) {
            throw py::error_already_set();
        }
    }
    return written;
}

py::str MaskName(const fs::path& source, const std::string& suffix,
                 const std::optional<std::string>& format, bool cutout) {
    return PathText(zel7::MaskFileName(source, suffix, ParseFormat(format), cutout));
}

constexpr const char* kOptionsDoc = R"(
background: "white" or "black", the backdrop's side; "auto" is auto_background=True.
auto_background: measure the backdrop's colour and noise on the picture's border;
    background is what lies within a tolerance of it.
tolerance: 0 to 255, the largest difference of any channel from the backdrop (255 on
    white, 0 on black) counted as background; None: measured, or the fixed threshold.
connected: background only where it reaches the picture's edge.
hole_area: with connected, enclosed background larger than this many pixels is
    background all the same (0: never).
despeckle: specks of object and pinholes of background smaller than this many pixels
    take the colour around them (0: none).
cutout: the object's colours with a transparent background (RGBA), soft edges freed
    of the backdrop's colour.
hard_edges: with cutout, every pixel wholly object or transparent.
soft: masks with the edges' coverage as grey levels.
invert: masks with the object white; cut-outs with the object transparent.

Bad options raise ValueError.)";

}  // namespace

PYBIND11_MODULE(_zel7, module) {
    module.doc() = "The native half of zel7; use the package zel7.";

    module.def("mask", &Mask, py::arg("pixels"), py::arg("background") = "white", py::kw_only(),
               py::arg("auto_background") = false, py::arg("tolerance") = py::none(),
               py::arg("connected") = false, py::arg("hole_area") = 0, py::arg("despeckle") = 0,
               py::arg("cutout") = false, py::arg("hard_edges") = false, py::arg("soft") = false,
               py::arg("invert") = false,
               (std::string(R"(The mask, or the cut-out, of the picture in an array.

pixels: height x width (grey), or height x width x 1, 3 (red, green, blue) or 4 (with
    alpha) samples, uint8 or uint16 (read by their top byte, in either byte order).
    Any strides: slices, flipped and transposed views are read where they lie, without
    a copy. Transparent pixels are composited over the backdrop's side.

Returns a new uint8 array: height x width for masks (255 background, 0 object, grey
between for soft masks), height x width x 4 (red, green, blue, alpha) for cut-outs.
Raises TypeError for other kinds of samples, ValueError for other shapes, and
PictureError for pictures past the size limits. The GIL is released meanwhile.
)") + kOptionsDoc)
                   .c_str());

    module.def("mask_file", &MaskFileOf, py::arg("source"), py::arg("destination"),
               py::arg("background") = "white", py::kw_only(), py::arg("format") = py::none(),
               py::arg("max_pixels") = zel7::kDefaultMaxPixels, py::arg("auto_background") = false,
               py::arg("tolerance") = py::none(), py::arg("connected") = false,
               py::arg("hole_area") = 0, py::arg("despeckle") = 0, py::arg("cutout") = false,
               py::arg("hard_edges") = false, py::arg("soft") = false, py::arg("invert") = false,
               (std::string(
                    R"(Writes the mask of the picture file source to destination, as zel7-mask does.

Sources are BMP, JPEG, PNG or TIFF, told by their contents. The destination's name says
the format, unless format ("png" or "bmp") does: .png a PNG, .bmp, .dib or no extension
a BMP; other names raise ValueError. Cut-outs are PNG only. A folder as destination
receives the mask under the source's name (see mask_name). "-" is standard input or
output. An existing destination is replaced only by a complete file.

max_pixels: compressed pictures of more pixels are refused.

Returns the destination written. Raises PictureError when the source cannot be read,
WriteError when the destination cannot be written. The GIL is released meanwhile.
)") + kOptionsDoc)
                   .c_str());

    // For zel7.dask, which reports remarks as zel7-mask's --report does: warnings are
    // caught through process-wide state, which threads would race for.
    module.def("_mask_file_noted", &MaskFileNoted, py::arg("source"), py::arg("destination"),
               py::arg("background") = "white", py::kw_only(), py::arg("format") = py::none(),
               py::arg("max_pixels") = zel7::kDefaultMaxPixels, py::arg("auto_background") = false,
               py::arg("tolerance") = py::none(), py::arg("connected") = false,
               py::arg("hole_area") = 0, py::arg("despeckle") = 0, py::arg("cutout") = false,
               py::arg("hard_edges") = false, py::arg("soft") = false, py::arg("invert") = false,
               "mask_file, returning the destination and zel7-mask's remark on it.");

    module.def("mask_name", &MaskName, py::arg("source"), py::arg("suffix") = "",
               py::arg("format") = py::none(), py::arg("cutout") = false,
               R"(The file name of source's mask, as zel7-mask names it in a batch.

A source named .bmp or .dib keeps its name (its mask is a BMP too); others get their
stem and .png, as cut-outs always do. format ("png" or "bmp") has the last word, and
suffix goes before the extension: mask_name("shots/a.jpg", "-mask") is "a-mask.png".
)");
}
