// Decoding on a second thread, slices ahead of the reader.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "engine/row_stream.h"

namespace zel7 {
namespace {

// Slices decoded ahead: enough that neither thread waits on the other's every slice,
// unless the reader allows more.
constexpr std::size_t kRing = 3;

class ReadAheadSource : public RowSource {
public:
    explicit ReadAheadSource(std::unique_ptr<RowSource> source)
        : source_(std::move(source)),
          total_(std::size_t(source_->Shape().pixelBytes)),
          sliceBytes_(
              std::max<std::size_t>(1, kSliceBytes / std::size_t(source_->Shape().rowStride)) *
              std::size_t(source_->Shape().rowStride)) {
        decoder_ = std::jthread([this] { Decode(); });
    }
    ~ReadAheadSource() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
    }  // the decoder, the last member, is joined first

    const PictureShape& Shape() const override { return source_->Shape(); }
    int Orientation() const override { return source_->Orientation(); }
    std::span<const uint8_t> ColourProfile() const override { return source_->ColourProfile(); }

    void AllowAhead(std::size_t bytes) override {
        {
            std::lock_guard lock(mutex_);
            allowed_ = std::max(allowed_, bytes / sliceBytes_);
        }
        changed_.notify_all();
    }

    Result Read(uint8_t* into, std::size_t size) override {
        if (size > total_ - read_) {
            return Fail(Status::ReadFailed, "read past the last row");
        }
        Release();
        while (size > 0) {
            const uint8_t* slice;
            if (Result result = Await(slice); !result.Ok()) {
                return result;
            }
            const std::size_t at = read_ % sliceBytes_;
            const std::size_t length = std::min({size, sliceBytes_ - at, total_ - read_});
            std::memcpy(into, slice + at, length);
            into += length, size -= length, read_ += length;
            Release();
        }
        return {};
    }

    // Rows lie whole in a slice, which a multiple of rows fills: whole rows are lent
    // from it, and it is held until the next call.
    Result Lend(std::size_t size, const uint8_t*& lent) override {
        lent = nullptr;
        const std::size_t at = read_ % sliceBytes_;
        if (size == 0 || size > total_ - read_ || size > sliceBytes_ - at) {
            return {};
        }
        Release();
        const uint8_t* slice;
        if (Result result = Await(slice); !result.Ok()) {
            return result;
        }
        lent = slice + at;
        read_ += size;
        return {};
    }

private:
    // Waits for the slice holding the next byte to be read. A reader that has to wait
    // has caught up with the decoding: a head start it allowed is over.
    Result Await(const uint8_t*& slice) {
        const std::size_t index = read_ / sliceBytes_;
        std::unique_lock lock(mutex_);
        if (produced_ <= index) {
            allowed_ = kRing;
        }
        changed_.wait(lock, [&] { return produced_ > index || !failure_.Ok(); });
        if (produced_ <= index) {
            return failure_;
        }
        slice = decoded_[index - consumed_].data();
        return {};
    }

    // Gives the decoder back the slices read to their end, to fill again.
    void Release() {
        const std::size_t done =
            read_ == total_ ? (total_ + sliceBytes_ - 1) / sliceBytes_ : read_ / sliceBytes_;
        // consumed_ is written by the reader alone: it may read it unlocked.
        if (done == consumed_) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            for (; consumed_ < done; ++consumed_) {
                // No more buffers are kept than the decoder may fill again.
                if (decoded_.size() + spare_.size() <= allowed_) {
                    spare_.push_back(std::move(decoded_.front()));
                }
                decoded_.pop_front();
            }
        }
        changed_.notify_all();
    }

    void Decode() {
        for (std::size_t slice = 0; slice * sliceBytes_ < total_; ++slice) {
            std::vector<uint8_t> buffer;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return slice - consumed_ < allowed_ || stop_; });
                if (stop_) {
                    return;
                }
                if (!spare_.empty()) {
                    buffer = std::move(spare_.back());
                    spare_.pop_back();
                }
            }
            const std::size_t length = std::min(sliceBytes_, total_ - slice * sliceBytes_);
            buffer.resize(std::min(sliceBytes_, total_));
            Result result = source_->Read(buffer.data(), length);
            std::lock_guard lock(mutex_);
            if (!result.Ok()) {
                failure_ = std::move(result);
                changed_.notify_all();
                return;
            }
            decoded_.push_back(std::move(buffer));
            produced_ = slice + 1;
            changed_.notify_all();
        }
    }

    std::unique_ptr<RowSource> source_;
    const std::size_t total_, sliceBytes_;
    std::size_t read_ = 0;  // by the reader, through the picture's bytes
    std::mutex mutex_;
    std::condition_variable changed_;
    // The slices decoded and not yet given back, from the consumed_-th on (a buffer
    // moved in keeps its bytes where they were), and buffers to fill again.
    std::deque<std::vector<uint8_t>> decoded_;
    std::vector<std::vector<uint8_t>> spare_;
    std::size_t produced_ = 0, consumed_ = 0;  // slices; consumed_ given back by the reader
    std::size_t allowed_ = kRing;              // slices decoded and not given back, at most
    Result failure_;
    bool stop_ = false;
    std::jthread decoder_;
};

}  // namespace

std::unique_ptr<RowSource> ReadAhead(std::unique_ptr<RowSource> source) {
    if (source->Stored() != nullptr || source->Shape().pixelBytes <= 0) {
        return source;
    }
    return std::make_unique<ReadAheadSource>(std::move(source));
}

}  // namespace zel7
