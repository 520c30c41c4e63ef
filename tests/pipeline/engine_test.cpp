// The one engine between sources and sinks: loading into memory, saving from it and
// masking file to file all write the mask the file's bytes call for; pictures turned
// upright as their orientation says, in memory or through a temporary file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "encoders.h"
#include "engine/helper_thread.h"
#include "engine/orientation.h"
#include "formats/decoded_rows.h"
#include "system/system.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// Pictures whose every byte is at or beside a threshold (inclusive, of all three channels)
// or an end of the scale, as ValidPicture makes them, so that rows of them hold every pixel
// the rules tell apart, in the vector code and its tail alike, masked by every path (the
// streamed BMP's on two threads) on either background, in at most three slices of memory.
// Depths but 24 bits are masked by no path and covered by bitmap_reader_test's layouts.
TEST(Engine, EveryPathWritesTheReferenceMask) {
    const std::tuple<const char*, int32_t, int32_t> cases[] = {
        {"fill_bytes", 37, 21},
        {"many_slices", 1001, 700},               // about 3 MiB
        {"rows_longer_than_a_slice", 100000, 3},  // rows cut into pieces
        {"empty", 0, 10},
    };
    for (const auto& [name, width, height] : cases) {
        BmpBuilder picture = ValidPicture(width, height, 24);
        picture.gapBeforePixels = 6;  // rows start where the header says, not at 54
        for (const Background background : {Background::NearWhite, Background::NearBlack}) {
            EXPECT_EQ(CheckBothPaths(picture.Build(), background), std::nullopt)
                << name << " on " << int(background);
        }
    }
}

// Six rows of a slice each, as a source and a sink at once; what each read and write
// does is the test's.
struct SliceLoop : RowSource, RowSink {
    PictureShape shape = DecodedShape(int32_t(kSliceBytes / 3), 6);
    const PictureShape& Shape() const override { return shape; }
    bool Accepts(RowOrder) const override { return true; }
    void SetOrder(RowOrder) override {}
    Result Commit() override { return {}; }
};

// Rows of a slice each, each filled with its number: the writer holds the first until the
// reader has read the fourth or waits, and must find every slice as it was read. A reader
// that ran a whole ring of three ahead would have read the fourth over the first.
TEST(Engine, TheReaderStaysLessThanARingAheadOfTheWriter) {
    struct Slices : SliceLoop {
        std::atomic<int> read = 0, written = 0;
        std::atomic<pid_t> reader = 0;
        // Whether the reader sleeps, as it can only in the wait for the writer.
        bool ReaderWaits() const {
            std::ifstream in("/proc/self/task/" + std::to_string(reader) + "/stat");
            const std::string stat((std::istreambuf_iterator<char>(in)), {});
            return stat.compare(stat.rfind(')') + 2, 1, "S") == 0;
        }
        Result Read(uint8_t* into, std::size_t size) override {
            reader = gettid();
            std::memset(into, read + 1, size);
            ++read;
            return {};
        }
        Result Write(const uint8_t* bytes, std::size_t) override {
            while (written == 0 && read < 4 && !(read == 3 && ReaderWaits())) {
                std::this_thread::yield();
            }
            return bytes[0] == ++written ? Result{} : Fail(Status::CannotWrite, "overwritten");
        }
    } slices;
    std::vector<uint8_t> buffer;
    const Result copied =
        CopyRows(slices, slices, {.mask = {}, .writing = SliceWriting::OnSecondThread}, buffer);
    EXPECT_EQ(Describe(copied), "success");
    EXPECT_EQ(slices.written, 6);
}

// Memory running out while a slice is read or written on two threads fails the copy and
// nothing more: a read's bad_alloc reaches the caller once the writer has stopped (it had
// waited for the slice for ever), a write's is the copy's result (escaping the writer's
// thread, it had ended the process).
TEST(Engine, MemoryRunningOutOnEitherThreadFailsTheCopy) {
    struct Slices : SliceLoop {
        int readsBeforeThrow, writesBeforeThrow, reads = 0, writes = 0;
        Slices(int readsBefore, int writesBefore)
            : readsBeforeThrow(readsBefore), writesBeforeThrow(writesBefore) {}
        Result Read(uint8_t* into, std::size_t size) override {
            if (reads++ == readsBeforeThrow) {
                throw std::bad_alloc();
            }
            std::memset(into, 0, size);
            return {};
        }
        Result Write(const uint8_t*, std::size_t) override {
            if (writes++ == writesBeforeThrow) {
                throw std::bad_alloc();
            }
            return {};
        }
    };
    for (const auto& [readsBefore, writesBefore] :
         {std::pair{2, 99}, std::pair{0, 99}, std::pair{99, 1}, std::pair{99, 0}}) {
        SCOPED_TRACE(std::to_string(readsBefore) + " reads, " + std::to_string(writesBefore) +
                     " writes");
        Slices slices(readsBefore, writesBefore);
        std::vector<uint8_t> buffer;
        const CopyOptions options{.mask = {}, .writing = SliceWriting::OnSecondThread};
        if (readsBefore < 99) {
            EXPECT_THROW(CopyRows(slices, slices, options, buffer), std::bad_alloc);
        } else {
            EXPECT_EQ(CopyRows(slices, slices, options, buffer).status, Status::OutOfMemory);
        }
    }
}

// Rows read ahead on a second thread come as the source gave them, in reads of any size
// across its slices, or lent a row at a time with the decoder let run ahead as far as it
// likes; a source that fails fails the read or loan that reaches the failed slice, the
// bytes before it intact; a reader that stops early stops the decoder with it.
TEST(Engine, RowsReadAheadComeAsTheSourceGaveThem) {
    const PictureShape shape = DecodedShape(1000, 1400);  // 9 slices
    const Bytes given = RandomBytes(std::size_t(shape.pixelBytes), 5);
    const auto row = std::size_t(shape.rowStride);
    for (const bool lend : {false, true}) {
        for (const std::size_t failAt : {SIZE_MAX, 3 * kSliceBytes}) {
            const std::unique_ptr<RowSource> ahead =
                ReadAhead(std::make_unique<RowsInMemory>(shape, given, 1, failAt));
            ahead->AllowAhead(lend ? given.size() : 0);
            std::vector<uint8_t> rows(given.size());
            std::size_t at = 0;
            Result result;
            for (std::size_t size = 1; at < given.size(); at += size, size = size * 3 + 1) {
                size = lend ? row : std::min(size, given.size() - at);
                const uint8_t* lent = nullptr;
                if (!(result = lend ? ahead->Lend(size, lent) : ahead->Read(rows.data() + at, size))
                         .Ok()) {
                    break;
                }
                if (lend) {
                    ASSERT_NE(lent, nullptr) << "row " << at / row;
                    std::copy_n(lent, size, rows.data() + at);
                }
            }
            EXPECT_EQ(Describe(result), failAt == SIZE_MAX ? "success" : "read error: worn out");
            EXPECT_EQ(at == given.size(), failAt == SIZE_MAX);
            const uint8_t* none = given.data();  // nothing is left to lend at the end
            EXPECT_TRUE(failAt != SIZE_MAX || (ahead->Lend(0, none).Ok() && none == nullptr));
            for (std::size_t i = 0; i < at; ++i) {
                ASSERT_EQ(rows[i], given[i]) << "byte " << i;
            }
        }
    }
    const std::unique_ptr<RowSource> early =
        ReadAhead(std::make_unique<RowsInMemory>(shape, given));
    uint8_t first = ~given[0];
    EXPECT_TRUE(early->Read(&first, 1).Ok() && first == given[0]);
}

// A head start the reader allowed is decoded into a block of its own, which goes back once
// the reader has caught up and read the block's last slice: here the reader starts once six
// slices are in, and the seventh, from the block, is decoded only once the reader waits for
// it. Every row comes as the source gave it (and under the sanitizers, a slice of a block
// given back too soon is caught as it is written or read).
TEST(Engine, RowsReadAheadPastTheEndOfAHeadStart) {
    const PictureShape shape = DecodedShape(1000, 1400);  // 9 slices
    const Bytes given = RandomBytes(std::size_t(shape.pixelBytes), 6);
    struct Gated : RowsInMemory {
        using RowsInMemory::RowsInMemory;
        std::atomic<int> asked = 0;
        std::atomic<bool> reading = false;
        pid_t reader = gettid();
        // Whether the reader sleeps, as it can only in the wait for a slice.
        bool ReaderWaits() const {
            std::ifstream in("/proc/self/task/" + std::to_string(reader) + "/stat");
            const std::string stat((std::istreambuf_iterator<char>(in)), {});
            return stat.compare(stat.rfind(')') + 2, 1, "S") == 0;
        }
        Result Read(uint8_t* into, std::size_t size) override {
            if (++asked == 7) {
                asked.notify_all();
                while (!reading || !ReaderWaits()) {
                    std::this_thread::yield();
                }
            }
            return RowsInMemory::Read(into, size);
        }
    };
    auto source = std::make_unique<Gated>(shape, given);
    Gated& gated = *source;
    const std::unique_ptr<RowSource> ahead = ReadAhead(std::move(source));
    ahead->AllowAhead(given.size());
    for (int asked = gated.asked; asked < 7; asked = gated.asked) {
        gated.asked.wait(asked);
    }
    gated.reading = true;
    const auto row = std::size_t(shape.rowStride);
    for (std::size_t at = 0; at < given.size(); at += row) {
        const uint8_t* lent = nullptr;
        ASSERT_TRUE(ahead->Lend(row, lent).Ok() && lent != nullptr) << "row " << at / row;
        ASSERT_TRUE(std::equal(lent, lent + row, given.begin() + std::ptrdiff_t(at)))
            << "row " << at / row;
    }
}

// A loop shared with the helper thread does each item once, in pieces of the grain at
// most, and returns with all done, round after round on one helper, whatever the count
// (none, less than a piece, a piece and one more, many).
TEST(Engine, HelperThreadDoesEachItemOnce) {
    HelperThread helper;
    const std::pair<std::size_t, std::size_t> loops[] = {{0, 4},    {3, 4},      {4, 4},  {5, 4},
                                                         {1000, 1}, {10007, 64}, {10, 0}, {2, 1}};
    for (const auto& [count, grain] : loops) {
        SCOPED_TRACE(std::to_string(count) + " in pieces of " + std::to_string(grain));
        std::vector<std::atomic<int>> done(count);
        helper.Share(count, grain, [&](std::size_t begin, std::size_t end) {
            EXPECT_LE(end - begin, std::max<std::size_t>(grain, 1));
            for (std::size_t i = begin; i < end; ++i) {
                ++done[i];
            }
        });
        EXPECT_TRUE(std::ranges::all_of(done, [](const auto& times) { return times == 1; }));
    }
}

// Two pieces, each waiting until both have started, run on two threads at once. The
// helper's piece ends only after the caller's: the loop returns once it has ended, with
// the exception of a piece that throws, on either thread, and the helper serves the next.
TEST(Engine, HelperThreadRunsTwoPiecesAtOnceAndHandsOnTheirException) {
    HelperThread helper;
    const std::thread::id caller = std::this_thread::get_id();
    for (const int thrower : {0, 1, 2}) {  // the caller's piece, the helper's, or neither
        SCOPED_TRACE(thrower);
        std::mutex mutex;
        std::condition_variable changed;
        int started = 0;
        bool callerEnded = false;
        std::atomic<int> ended = 0;
        const auto piece = [&](std::size_t, std::size_t) {
            const bool onCaller = std::this_thread::get_id() == caller;
            {
                std::unique_lock lock(mutex);
                ++started;
                changed.notify_all();
                // (a deadline only so that a helper that never helps fails rather than hangs)
                EXPECT_TRUE(changed.wait_for(lock, std::chrono::minutes(1), [&] {
                    return started == 2 && (onCaller || callerEnded || thrower == 0);
                }));
            }
            if (onCaller == (thrower == 0) && thrower != 2) {
                throw std::runtime_error("piece failed");
            }
            ++ended;
            std::lock_guard lock(mutex);
            callerEnded = callerEnded || onCaller;
            changed.notify_all();
        };
        if (thrower == 2) {
            helper.Share(2, 1, piece);
            EXPECT_EQ(ended, 2);
        } else {
            EXPECT_THROW(helper.Share(2, 1, piece), std::runtime_error);
            EXPECT_EQ(ended, 1);  // the other piece had ended by then
        }
    }
}

// Standard input is judged by its first bytes as soon as they are in, and not taken
// past its bound: a foreign or endless stream never fills the disk.
TEST(Engine, StandardInputIsJudgedByItsFirstBytesAndBounded) {
    const auto startsAsBitmap = [](std::span<const uint8_t> head) {
        return head.size() >= 2 && head[0] == 'B' && head[1] == 'M';
    };
    const std::tuple<const char*, std::string, Status> cases[] = {
        {"a picture", "BM" + std::string(98, 'x'), Status::Ok},
        {"shorter than the probe", "BM", Status::Ok},
        {"foreign", "MB" + std::string(98, 'x'), Status::UnknownFormat},
        {"empty", "", Status::UnknownFormat},
        {"cut inside the probe", "B", Status::UnknownFormat},
        {"past the bound", "BM" + std::string(99, 'x'), Status::TooManyPixels},
    };
    for (const auto& [name, text, status] : cases) {
        SCOPED_TRACE(name);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(write(ends[1], text.data(), text.size()), ssize_t(text.size()));
        close(ends[1]);
        UniqueFd in(ends[0]), spooled;
        uint64_t size = 0;
        EXPECT_EQ(SpoolToTemporaryFile(in.Get(), 4, startsAsBitmap, 100, spooled, size).status,
                  status);
        if (status == Status::Ok) {
            std::string back(text.size(), '\0');
            EXPECT_EQ(size, text.size());
            EXPECT_EQ(ReadExactlyAt(spooled.Get(), 0, back.data(), back.size()), 0);
            EXPECT_EQ(back, text);
        }
    }
}

// Libraries opened when a picture first needs them (libheif's and libswscale's functions
// are found by the HEIF and framing tests): a missing library or function refused with the
// loader's words or the function's name.
TEST(Engine, SharedLibrariesAreOpenedWhenFirstNeeded) {
    std::string error;
    EXPECT_TRUE(OpenSharedLibrary("libzel7-absent.so.0", error) == nullptr &&
                error.find("libzel7-absent.so.0") != std::string::npos)
        << error;
    std::size_t (*length)(const char*) = nullptr;
    void* c = OpenSharedLibrary("libc.so.6", error);
    EXPECT_TRUE(FindSharedFunction(c, "strlen", length, error) && length("zel7") == 4);
    EXPECT_FALSE(FindSharedFunction(c, "zel7_absent", length, error) || length != nullptr);
    EXPECT_EQ(error, "no function zel7_absent in the library");
}

// What the front ends refuse before reading a file, MaskFile refuses too, for the library's
// own callers: a soft mask as a JPEG, a two-tone one as a WebP, a cut-out as a BMP.
TEST(Engine, MasksInFormatsThatCannotHoldThemAreRefused) {
    for (const auto& [words, name] : {std::pair{"white studio soft", "never.jpg"},
                                      {"white studio", "never.webp"},
                                      {"white cutout", "never.bmp"}}) {
        EXPECT_EQ(MaskAs(words, "absent", name).status, Status::InvalidOptions) << name;
    }
}

// Where the corner pixel (0, 0) of a 3 x 2 picture and its right neighbour (1, 0), the
// only background in it, are seen in its mask, as EXIF defines the orientations by where
// the first row and column go (the two places tell all eight apart); the orientation read
// from EXIF segments of either byte order, and damaged ones read as 1.
TEST(Engine, MasksAreTurnedUprightAsTheOrientationSays) {
    using Point = std::pair<uint32_t, uint32_t>;
    const std::tuple<uint32_t, Point, Point> kSeen[] = {
        {3, {0, 0}, {1, 0}}, {3, {2, 0}, {1, 0}}, {3, {2, 1}, {1, 1}}, {3, {0, 1}, {1, 1}},
        {2, {0, 0}, {0, 1}}, {2, {1, 0}, {1, 1}}, {2, {1, 2}, {1, 1}}, {2, {0, 2}, {0, 1}},
    };
    std::vector<std::pair<Bytes, int>> segments;  // and the orientation each gives
    for (int orientation = 1; orientation <= 8; ++orientation) {
        segments.emplace_back(ExifOrientation(orientation, orientation % 2 == 0), orientation);
    }
    // Damage to a little-endian segment of orientation 6 (byte, value, bytes kept): no
    // segment at all, not EXIF, byte orders unknown and mixed, not 42, the directory past
    // the end, too many entries, a LONG, two values, 0, 9, the entry and the header cut.
    constexpr std::size_t kDamages[][3] = {{0, 0, 0},   {3, 'g', 32},   {6, 'X', 32}, {7, 'M', 32},
                                           {8, 43, 32}, {13, 0xFF, 32}, {15, 1, 32},  {18, 4, 32},
                                           {20, 2, 32}, {24, 0, 32},    {24, 9, 32},  {24, 6, 25},
                                           {24, 6, 12}};
    for (const auto& [at, value, keep] : kDamages) {
        Bytes exif = ExifOrientation(6);
        exif[at] = uint8_t(value);
        exif.resize(keep);
        segments.emplace_back(exif, 1);
    }
    ScratchFolder folder;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const auto& [segment, orientation] = segments[i];
        SCOPED_TRACE("segment " + std::to_string(i) + ", orientation " +
                     std::to_string(orientation));
        const Bytes grey = {250, 250, 90, 90, 90, 90};
        WriteWholeFile(folder / "turned.jpg", EncodeJpeg(3, 2, 1, grey, {.exif = segment}));
        ASSERT_TRUE(MaskAs("white", folder / "turned.jpg", folder / "mask.png").Ok());
        const auto& [seenWidth, corner, neighbour] = kSeen[orientation - 1];
        std::vector<uint16_t> expected(6, 0);
        for (const auto& [x, y] : {corner, neighbour}) {
            expected[y * seenWidth + x] = 255;
        }
        const PngPicture mask = DecodePng(ReadWholeFile(folder / "mask.png"));
        EXPECT_EQ(std::pair(mask.width, mask.samples), std::pair(seenWidth, expected));
    }
}

// Rows of random pixels, 37 x 23, to be seen as orientation says.
std::unique_ptr<RowSource> TurnedRows(int orientation, int32_t bitCount) {
    const int32_t stride = RowStride(37, bitCount);
    return std::make_unique<RowsInMemory>(
        PictureShape{37, 23, bitCount, stride, 23 * stride},
        RandomBytes(std::size_t(23 * stride), uint32_t(orientation * 1000 + bitCount)),
        orientation);
}

// Turned through a temporary file a band at a time, a picture comes out as it does
// turned whole in memory: bands of one row, of a few, and of nearly all, read in sizes
// that do not divide them.
TEST(Orientation, BandsFromATemporaryFileAreThePictureTurnedInMemory) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (const int32_t bitCount : {24, 32}) {
            SCOPED_TRACE("orientation " + std::to_string(orientation) + ", " +
                         std::to_string(bitCount) + " bits");
            const auto upright = [&](std::size_t held, std::size_t piece) {
                return ReadAll(*UprightSource(TurnedRows(orientation, bitCount), held), piece);
            };
            const Bytes whole = upright(1 << 20, 1000);
            for (const std::size_t held : {std::size_t(0), std::size_t(500), whole.size() - 200}) {
                EXPECT_EQ(upright(held, 77), whole) << held << " bytes held";
            }
        }
    }
}

// No room for the temporary file: a failure that names where it was to go.
TEST(Orientation, ATemporaryFileThatCannotBeMadeIsReported) {
    const char* kept = std::getenv("TMPDIR");
    const std::string before = kept != nullptr ? kept : "";
    setenv("TMPDIR", "/nonexistent-zel7-folder", 1);
    auto upright = UprightSource(TurnedRows(6, 32), 0);
    std::vector<uint8_t> row(std::size_t(upright->Shape().rowStride));
    const Result result = upright->Read(row.data(), row.size());
    kept != nullptr ? setenv("TMPDIR", before.c_str(), 1) : unsetenv("TMPDIR");
    EXPECT_EQ(result.status, Status::CannotCreate);
    EXPECT_EQ(result.detail, "a temporary file in /nonexistent-zel7-folder");
}

}  // namespace
}  // namespace zel7
