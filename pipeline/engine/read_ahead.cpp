// Decoding on a second thread, slices ahead of the reader.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/row_stream.h"
#include "system/pixel_memory.h"

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
            headStartTried_ = false;
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
            EndHeadStart();
        }
        changed_.wait(lock, [&] { return produced_ > index || !failure_.Ok(); });
        if (produced_ <= index) {
            return failure_;
        }
        slice = decoded_[index - consumed_];
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
                uint8_t* slice = decoded_.front();
                decoded_.pop_front();
                if (!InHeadStart(slice)) {
                    // No more of the ring's own are kept than the decoder may fill again
                    // (more were had where a head start's block could not be).
                    if (allowed_ <= kRing && ring_.size() > kRing) {
                        std::erase_if(ring_,
                                      [&](const PixelBuffer& own) { return own.get() == slice; });
                    } else {
                        spare_.push_back(slice);
                    }
                    continue;
                }
                --headStartOut_;
                if (allowed_ > kRing) {
                    spare_.push_back(slice);
                } else if (headStartOut_ == 0) {
                    headStart_.reset();  // the head start is over: its memory goes back
                }
            }
        }
        changed_.notify_all();
    }

    // Back to the ring, with the lock held: the head start's block goes once none of
    // its slices is waiting to be read.
    void EndHeadStart() {
        allowed_ = kRing;
        if (headStart_) {
            std::erase_if(spare_, [&](const uint8_t* slice) { return InHeadStart(slice); });
            if (headStartOut_ == 0) {
                headStart_.reset();
            }
        }
    }

    // Whether the slice was cut from the head start's block.
    bool InHeadStart(const uint8_t* slice) const {
        // (std::less orders pointers into different blocks too, which < need not)
        const std::less<const uint8_t*> before;
        return headStart_ && !before(slice, headStart_.get()) &&
               before(slice, headStart_.get() + headStartSlices_ * sliceBytes_);
    }

    // A slice to decode into, with the lock held: a spare one, else a fresh one (null
    // when there is no memory). A head start's slices are had in one block, which huge
    // pages back: its 12 MiB had been 3,000 page faults on the decoding thread.
    uint8_t* FreshSlice(std::size_t slice) {
        if (!spare_.empty()) {
            uint8_t* buffer = spare_.back();
            spare_.pop_back();
            headStartOut_ += InHeadStart(buffer) ? 1 : 0;
            return buffer;
        }
        const std::size_t left = (total_ + sliceBytes_ - 1) / sliceBytes_ - slice;
        const std::size_t wanted = std::min(allowed_ - std::min(allowed_, ring_.size()), left);
        if (allowed_ > kRing && !headStart_ && !headStartTried_ && wanted > 1) {
            headStartTried_ = true;  // (a block refused is not asked for at every slice)
            headStart_.reset(AllocatePixelBuffer(wanted * sliceBytes_));
            if (headStart_) {
                headStartSlices_ = wanted;
                for (std::size_t i = 1; i < wanted; ++i) {
                    spare_.push_back(headStart_.get() + i * sliceBytes_);
                }
                headStartOut_ = 1;
                return headStart_.get();
            }
        }
        PixelBuffer fresh(AllocatePixelBuffer(std::min(sliceBytes_, total_)));
        if (!fresh) {
            return nullptr;
        }
        ring_.push_back(std::move(fresh));
        return ring_.back().get();
    }

    void Decode() {
        for (std::size_t slice = 0; slice * sliceBytes_ < total_; ++slice) {
            uint8_t* buffer;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return slice - consumed_ < allowed_ || stop_; });
                if (stop_) {
                    return;
                }
                buffer = FreshSlice(slice);
                if (buffer == nullptr) {
                    failure_ = Fail(Status::OutOfMemory);
                    changed_.notify_all();
                    return;
                }
            }
            const std::size_t length = std::min(sliceBytes_, total_ - slice * sliceBytes_);
            Result result = source_->Read(buffer, length);
            std::lock_guard lock(mutex_);
            if (!result.Ok()) {
                failure_ = std::move(result);
                changed_.notify_all();
                return;
            }
            decoded_.push_back(buffer);
            produced_ = slice + 1;
            changed_.notify_all();
        }
    }

    std::unique_ptr<RowSource> source_;
    const std::size_t total_, sliceBytes_;
    std::size_t read_ = 0;  // by the reader, through the picture's bytes
    std::mutex mutex_;
    std::condition_variable changed_;
    // The slices decoded and not yet given back, from the consumed_-th on, and slices to
    // fill again: the ring's own, and while a head start lasts its block's.
    std::deque<uint8_t*> decoded_;
    std::vector<uint8_t*> spare_;
    std::vector<PixelBuffer> ring_;
    PixelBuffer headStart_;
    std::size_t headStartSlices_ = 0, headStartOut_ = 0;  // its slices; those not spare
    bool headStartTried_ = false;
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
