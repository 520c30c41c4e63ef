// zel7._zel7: the pipeline for Python. Arrays are read where they lie, whatever their
// strides, and the GIL is let go while the pipeline works, so that threads mask in
// parallel. Keyword options go through the library's table of options, so that they
// are read and checked as zel7-mask's are, with the same words; batches are planned
// by the library's planner.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/batch_plan.h"
#include "engine/mask_file.h"
#include "engine/options.h"
#include "engine/pixel_arrays.h"
#include "formats/decoded_rows.h"
#include "formats/picture_files.h"
#include "system/result.h"
#include "system/system.h"

namespace py = pybind11;
namespace fs = std::filesystem;

// Paths are taken as open() takes them (str, bytes or os.PathLike) and refused with its
// errors: pybind11's own caster turns a name with a NUL byte into "incompatible function
// arguments", listing every overload, where open() says ValueError: embedded null byte.
namespace PYBIND11_NAMESPACE {
namespace detail {
template <>
struct type_caster<fs::path> {
    PYBIND11_TYPE_CASTER(fs::path, const_name("os.PathLike"));

    bool load(handle source, bool) {
        PyObject* bytes = nullptr;
        if (PyUnicode_FSConverter(source.ptr(), &bytes) == 0) {
            throw error_already_set();
        }
        const auto held = reinterpret_steal<py::bytes>(bytes);
        value = fs::path(std::string(held));
        return true;
    }
};
}  // namespace detail
}  // namespace PYBIND11_NAMESPACE

namespace {

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
[[noreturn]] void Raise(const char* kind, const std::string& reason,
                        const std::optional<fs::path>& path) {
    const py::object type = py::module_::import("zel7").attr(kind);
    const py::object error = type(Text(reason), path ? py::object(PathText(*path)) : py::none());
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

[[noreturn]] void Raise(const zel7::Result& result, const std::optional<fs::path>& path) {
    Raise(result.ConcernsDestination() ? "WriteError" : "PictureError", zel7::Describe(result),
          path);
}

[[noreturn]] void RaiseValue(const zel7::Result& result) {
    throw py::value_error(result.detail);
}

void Apply(const char* name, const std::string& argument, zel7::MaskSettings& settings) {
    if (zel7::Result read =
            zel7::ApplyOption(*zel7::FindOption(name), argument, zel7::Spelling::Keyword, settings);
        !read.Ok()) {
        RaiseValue(read);
    }
}

// What a function works on: arrays, files, or a batch of files.
enum class Use { Arrays, Files, Batch };

// Where an option may be given as a keyword: to every call, only to those that write
// files (format, max_pixels, and the frame's options, whose pictures' sizes are known
// only once made), or to batches (keep_tree, base). The side is the background
// argument, and how a batch runs is zel7.dask's own arguments.
bool TakenAsKeyword(const zel7::Option& option, Use use) {
    const std::string_view name = option.name;
    if (option.scope == zel7::OptionScope::Tree) {
        return use == Use::Batch;
    }
    if (option.scope == zel7::OptionScope::Written) {
        return use != Use::Arrays;
    }
    return option.scope == zel7::OptionScope::Picture && name != "white" && name != "black" &&
           (use != Use::Arrays || (name != "format" && name != "max-pixels" && name != "srgb"));
}

// Whether a switch is on: None is off, and truth is as Python tells it, of a bool or a
// number only: "no" would be true. (NumPy's bool looked up each time: a static object
// would outlive the interpreter, and be released after it.)
bool On(const std::string& keyword, const py::handle& value) {
    if (value.is_none()) {
        return false;
    }
    if (!PyBool_Check(value.ptr()) && !PyIndex_Check(value.ptr()) &&
        !py::isinstance(value, py::module_::import("numpy").attr("bool_"))) {
        throw py::type_error(keyword + " is a switch: True, False or None, not " +
                             std::string(py::repr(value)));
    }
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) {
        throw py::error_already_set();  // an array of many values, say
    }
    return truth == 1;
}

// A word argument (or None, where none is allowed): pybind11's own TypeError for another
// type lists the whole call, a picture's samples included, and names no argument.
std::optional<std::string> Word(const char* name, const py::handle& value, bool noneAllowed) {
    if (noneAllowed && value.is_none()) {
        return std::nullopt;
    }
    if (!py::isinstance<py::str>(value)) {
        throw py::type_error(std::string(name) + " is a str" + (noneAllowed ? " or None" : "") +
                             ", not " + std::string(py::str(value.get_type().attr("__name__"))));
    }
    return value.cast<std::string>();
}

// The background argument and the keyword options, read through the library's table
// and checked by its rules: ValueError for a bad value, TypeError for an unknown
// keyword, as a Python function's own would be. A batch's out_dir, when given, is
// checked with them.
zel7::MaskSettings Settings(const char* function, const py::handle& backgroundWord,
                            const py::kwargs& options, Use use,
                            const std::optional<fs::path>& outDir = std::nullopt) {
    const std::string background = *Word("background", backgroundWord, false);
    zel7::MaskSettings settings;
    if (background == "white" || background == "black") {
        Apply(background.c_str(), "", settings);
    } else if (background == "auto") {
        Apply("auto-background", "", settings);
    } else {
        throw py::value_error("background is 'white', 'black' or 'auto', not '" + background + "'");
    }
    for (const auto& [key, value] : options) {
        std::string name = py::str(key);
        const std::string keyword = name;
        std::replace(name.begin(), name.end(), '_', '-');
        const zel7::Option* option = zel7::FindOption(name);
        if (option == nullptr || !TakenAsKeyword(*option, use) ||
            keyword.find('-') != std::string::npos) {
            throw py::type_error(std::string(function) + "() got an unexpected keyword argument '" +
                                 keyword + "'");
        }
        // None and False leave an option unset; a switch is set by any true value.
        if (value.is_none() || (py::isinstance<py::bool_>(value) && !value.cast<bool>())) {
            continue;
        }
        if (option->argument == nullptr) {
            if (On(keyword, value)) {
                Apply(option->name, "", settings);
            }
            continue;
        }
        Apply(option->name, py::str(value), settings);
    }
    if (outDir) {
        Apply("out-dir", outDir->native(), settings);
    }
    if (zel7::Result checked = zel7::CheckSettings(settings, zel7::Spelling::Keyword);
        !checked.Ok()) {
        RaiseValue(checked);
    }
    return settings;
}

// The samples as the pipeline reads them, where they lie, in the channels' order named.
zel7::PixelArray Pixels(const py::array& array, zel7::Background side,
                        const std::optional<std::string>& channels) {
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
    if (zel7::Result read = zel7::ReadChannelOrder(channels, picture.channels, picture.order);
        !read.Ok()) {
        RaiseValue(read);
    }
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

// A refined picture's confidence as zel7-mask's --report gives it, or None.
py::object ConfidenceDict(const std::optional<zel7::Confidence>& confidence) {
    if (!confidence) {
        return py::none();
    }
    py::dict measures;
    for (const auto& [name, value] : confidence->Fields()) {
        measures[py::str(std::string(name))] = value;
    }
    return measures;
}

// The mask; with confidence, the mask and the refined picture's confidence (None for
// others). A doubt becomes a warning, as zel7-mask remarks on a doubtful file.
py::object Mask(const py::object& pixels, const py::handle& background,
                const py::handle& channelsWord, const py::handle& confidenceWord,
                const py::kwargs& options) {
    const bool confidence = On("confidence", confidenceWord);
    const std::optional<std::string> channels = Word("channels", channelsWord, true);
    const zel7::MaskSettings settings = Settings("mask", background, options, Use::Arrays);
    // Without forcecast: an ndarray of any strides is taken as it is, never copied.
    const py::array array = py::array::ensure(pixels);
    if (!array) {
        throw py::type_error("pixels are a NumPy array, or anything numpy.asarray takes");
    }
    const zel7::MaskOptions made = settings.ForFile(zel7::PictureFormat::Png);
    const zel7::PixelArray picture = Pixels(array, made.background, channels);
    std::vector<py::ssize_t> shape{picture.height, picture.width};
    if (settings.Cutout()) {
        shape.push_back(4);
    }
    py::array_t<uint8_t> out(shape);
    uint8_t* into = out.mutable_data();
    zel7::Result result;
    std::optional<zel7::Confidence> judged;
    {
        // array, held until the return, keeps the samples alive meanwhile.
        py::gil_scoped_release release;
        result = zel7::MaskArray(picture, made.background, made.refine, into, &judged);
    }
    if (!result.Ok()) {
        Raise(result, std::nullopt);
    }
    if (const std::string doubt = judged ? judged->Doubt() : ""; !doubt.empty()) {
        py::module_::import("warnings").attr("warn")(doubt, py::handle(PyExc_UserWarning), 1);
    }
    if (confidence) {
        return py::make_tuple(out, ConfidenceDict(judged));
    }
    return out;
}

// The destination written, what zel7-mask would remark on it ("" mostly), and the
// confidence of a refined mask or cut-out (None for others). With outDir, the file is
// one of a batch into it, planned by Plan, and takes the batch's keywords.
std::tuple<py::str, std::string, py::object> MaskFileNoted(const fs::path& source,
                                                           const fs::path& destination,
                                                           const py::handle& background,
                                                           const std::optional<fs::path>& outDir,
                                                           const py::kwargs& options) {
    const zel7::MaskSettings settings =
        Settings("mask_file", background, options, outDir ? Use::Batch : Use::Files, outDir);
    zel7::BatchJob job;
    if (zel7::Result planned =
            zel7::PlanOne(settings, source, destination, zel7::Spelling::Keyword, job);
        !planned.Ok()) {
        RaiseValue(planned);
    }
    // Callers run files in parallel on threads of their own: a second thread each for
    // writing would only contend with them.
    const zel7::MaskOptions made = settings.ForFile(job.format);
    // Kept across calls, as each of zel7-mask's workers keeps its own.
    thread_local std::vector<uint8_t> buffer;
    zel7::MaskNote note;
    zel7::Result result;
    {
        py::gil_scoped_release release;
        result = zel7::MaskFile(job.source, job.destination, made, buffer, &note);
    }
    if (!result.Ok()) {
        Raise(result, fs::path(result.ConcernsDestination() ? job.destination : job.source));
    }
    return {PathText(job.destination), note.Remark(), ConfidenceDict(note.confidence)};
}

// --skip-existing's question for one file of a batch, which a kept tree asks of its
// output folder as the writer reaches into it.
bool UpToDate(const fs::path& source, const fs::path& destination, const py::handle& background,
              const fs::path& outDir, const py::kwargs& options) {
    const zel7::MaskSettings settings =
        Settings("mask_file", background, options, Use::Batch, outDir);
    zel7::BatchJob job;
    return zel7::PlanOne(settings, source, destination, zel7::Spelling::Keyword, job).Ok() &&
           zel7::IsUpToDate(job.source, job.destination, settings.ForFile(job.format).inside);
}

// The remark, as zel7-mask prints it on standard error, becomes a warning.
// The destination; with confidence, the destination and the confidence.
py::object MaskFileOf(const fs::path& source, const fs::path& destination,
                      const py::handle& background, const py::handle& confidenceWord,
                      const py::kwargs& options) {
    const bool asked = On("confidence", confidenceWord);
    auto [written, remark, confidence] =
        MaskFileNoted(source, destination, background, std::nullopt, options);
    if (!remark.empty()) {
        // Through Python's str, which holds any name's bytes as os.fsdecode gives them back.
        py::module_::import("warnings")
            .attr("warn")(PathText(source) + py::str(": ") + Text(remark),
                          py::handle(PyExc_UserWarning), 1);
    }
    if (asked) {
        return py::make_tuple(written, confidence);
    }
    return std::move(written);
}

// The name under zel7-mask's rules for the suffix and the format (a side given, which no
// name depends on, for the rules ask one).
py::str MaskName(const fs::path& source, const std::string& suffix,
                 const std::optional<std::string>& format, const py::handle& cutoutWord,
                 const py::handle& softWord) {
    const bool cutout = On("cutout", cutoutWord), soft = On("soft", softWord);
    zel7::MaskSettings settings;
    Apply("white", "", settings);
    if (!suffix.empty()) {
        Apply("suffix", suffix, settings);
    }
    if (format) {
        Apply("format", *format, settings);
    }
    if (cutout) {
        Apply("cutout", "", settings);
    }
    if (soft) {
        Apply("soft", "", settings);
    }
    if (zel7::Result checked = zel7::CheckSettings(settings, zel7::Spelling::Keyword);
        !checked.Ok()) {
        RaiseValue(checked);
    }
    if (!zel7::NamesAFile(source.string())) {
        throw py::value_error("'" + source.string() + "' " + zel7::kUnnameable);
    }
    return PathText(zel7::MaskFileName(source, suffix, settings.format, cutout));
}

// A batch planned by the library, for zel7.dask: the options checked once, the output
// folder as zel7-mask checks it, every refusal decided over the whole list. Returns the
// jobs as (index, source, destination) and the refused sources as (index, source,
// destination, reason, repeat): a repeat is a file listed again, whose mask is written.
py::tuple Plan(const std::vector<fs::path>& paths, const fs::path& outDir,
               const std::string& suffix, const py::handle& background,
               const py::handle& skipExisting, const py::kwargs& options) {
    zel7::MaskSettings settings = Settings("mask_files", background, options, Use::Batch, outDir);
    if (!suffix.empty()) {
        Apply("suffix", suffix, settings);
    }
    if (On("skip_existing", skipExisting)) {
        Apply("skip-existing", "", settings);
    }
    // Again, now that it is a batch: its masks are PNG or BMP unless format says.
    if (zel7::Result checked = zel7::CheckSettings(settings, zel7::Spelling::Keyword);
        !checked.Ok()) {
        RaiseValue(checked);
    }
    // A missing or unwritable folder is said once, before any work.
    if (const int error = zel7::CheckWritableFolder(outDir)) {
        Raise("WriteError", std::strerror(error), outDir);
    }
    zel7::BatchPlan plan;
    {
        py::gil_scoped_release release;
        plan = zel7::PlanBatch(std::vector<std::string>(paths.begin(), paths.end()),
                               settings.Naming());
    }
    py::list jobs, refusals;
    for (const zel7::BatchJob& job : plan.jobs) {
        jobs.append(py::make_tuple(job.index, PathText(job.source), PathText(job.destination)));
    }
    for (const zel7::BatchRefusal& refusal : plan.refusals) {
        refusals.append(py::make_tuple(refusal.index, PathText(refusal.source),
                                       PathText(refusal.destination), Text(refusal.reason),
                                       refusal.repeat));
    }
    return py::make_tuple(jobs, refusals);
}

// The keyword options' documentation, from the table, as Python spells them.
std::string OptionsDoc(Use use) {
    std::string doc =
        "\nbackground: \"white\" or \"black\", the backdrop's side; \"auto\" measures it.\n";
    for (const zel7::Option& option : zel7::Options()) {
        if (!TakenAsKeyword(option, use)) {
            continue;
        }
        doc += zel7::Spelled(std::string("{") + option.name + "}: ", zel7::Spelling::Keyword);
        for (const char c : zel7::Spelled(option.help, zel7::Spelling::Keyword)) {
            doc += c == '\n' ? std::string("\n    ") : std::string(1, c);
        }
        doc += '\n';
    }
    return doc +
           "\nOptions are keywords, unset when None or False. Bad values raise ValueError\n"
           "(a value is read as zel7-mask reads its argument: 30 and \"30\" alike); a switch\n"
           "given anything but True, False, a number or None, and unknown options, TypeError.";
}

}  // namespace

PYBIND11_MODULE(_zel7, module) {
    module.doc() = "The native half of zel7; use the package zel7.";

    module.def("mask", &Mask, py::arg("pixels"), py::arg("background") = "white", py::kw_only(),
               py::arg("channels") = py::none(), py::arg("confidence") = false,
               (std::string(R"(The mask, or the cut-out, of the picture in an array.

pixels: height x width (grey), or height x width x 1, 3 (red, green, blue) or 4 (with
    alpha) samples, uint8 or uint16 (read by their top byte, in either byte order).
    Any strides: slices, flipped and transposed views are read where they lie, without
    a copy. Transparent pixels are composited over the backdrop's side.
channels: the order of the colours, "rgb" or "bgr" for 3 channels, "rgba" or "bgra"
    for 4; None is red first. OpenCV's arrays are "bgr" (or "bgra").

Returns a new uint8 array: height x width for masks (255 background, 0 object, grey
between for soft masks), height x width x 4 for cut-outs, in the array's order: red,
green, blue, alpha, or blue, green, red, alpha for "bgr" and "bgra", ready for
cv2.imwrite. With confidence=True, returns the array and, for refined masks and
cut-outs, their confidence as zel7-mask's --report gives it (a dict; None for others).
A doubtful mask or cut-out issues a UserWarning saying why, as mask_file does. Raises
TypeError for other kinds of samples, ValueError for other shapes or channels, and
PictureError for pictures past the size limits. The GIL is released meanwhile.
)") + OptionsDoc(Use::Arrays))
                   .c_str());

    module.def("mask_file", &MaskFileOf, py::arg("source"), py::arg("destination"),
               py::arg("background") = "white", py::kw_only(), py::arg("confidence") = false,
               (std::string(
                    R"(Writes the mask of the picture file source to destination, as zel7-mask does.

Sources are BMP, JPEG, PNG, TIFF, HEIF or WebP, told by their contents. The destination's
name says the format, unless format ("png", "bmp", "jpeg" or "webp") does: .png a PNG, .bmp,
.dib or no extension a BMP, .jpg or .jpeg a JPEG, .webp a WebP; other names raise
ValueError. Cut-outs are PNG, JPEG (flattened, on white unless flatten says) or WebP (lossy
at quality, or lossless), soft masks PNG, BMP or WebP, masks PNG or BMP. A folder as destination
receives the mask under the source's name (see mask_name). "-" is standard input or
output. An existing destination is replaced only by a complete file.

Returns the destination written; with confidence=True, the destination and the confidence
of a refined mask or cut-out, as zel7-mask's --report gives it (a dict; None for others).
Raises PictureError when the source cannot be read, WriteError when the destination cannot
be written. The GIL is released meanwhile.
)") + OptionsDoc(Use::Files))
                   .c_str());

    // For zel7.dask, which reports remarks as zel7-mask's --report does: warnings are
    // caught through process-wide state, which threads would race for.
    module.def("_mask_file_noted", &MaskFileNoted, py::arg("source"), py::arg("destination"),
               py::arg("background") = "white", py::arg("out_dir") = py::none(),
               "mask_file, returning the destination, zel7-mask's remark on it and the "
               "confidence its --report gives (None but for refined masks and cut-outs). "
               "With out_dir, one file of a batch _plan planned, with the batch's keywords.");
    module.def("_plan", &Plan, py::arg("paths"), py::arg("out_dir"), py::arg("suffix"),
               py::arg("background"), py::arg("skip_existing"),
               "zel7.dask's batch, planned as zel7-mask plans its own.");
    module.def("_up_to_date", &UpToDate, py::arg("source"), py::arg("destination"),
               py::arg("background"), py::arg("out_dir"),
               "Whether the mask exists and is not older than its source (--skip-existing), "
               "for one file of a batch _plan planned, with the batch's keywords.");

    module.def("mask_name", &MaskName, py::arg("source"), py::arg("suffix") = "",
               py::arg("format") = py::none(), py::arg("cutout") = false, py::arg("soft") = false,
               R"(The file name of source's mask, as zel7-mask names it in a batch.

A source named .bmp or .dib keeps its name (its mask is a BMP too); others get their
stem and .png, as cut-outs always do. format ("png", "bmp" or "webp", the last for cut-outs
and soft=True masks) has the last word, and suffix goes before the extension:
mask_name("shots/a.jpg", "-mask") is "a-mask.png".
A suffix or a format zel7-mask refuses (a "/" in the suffix, a BMP cut-out) raises
ValueError with its words.
)");
}
