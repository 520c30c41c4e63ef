#include "engine/helper_thread.h"

#include <algorithm>
#include <utility>

namespace zel7 {

HelperThread::HelperThread() : thread_([this] { Loop(); }) {}

HelperThread::~HelperThread() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

void HelperThread::Share(std::size_t count, std::size_t grain, const Work& work) {
    grain = std::max<std::size_t>(grain, 1);
    if (count <= grain) {
        work(0, count);  // one piece: waking the helper costs more than it saves
        return;
    }
    {
        std::lock_guard lock(mutex_);
        work_ = &work;
        count_ = count;
        grain_ = grain;
        next_.store(0, std::memory_order_relaxed);
        posted_ = true;
    }
    changed_.notify_all();
    std::exception_ptr failure = TakePieces();
    std::unique_lock lock(mutex_);
    // A helper that has not woken by now finds the loop withdrawn, every piece done.
    posted_ = false;
    changed_.wait(lock, [this] { return !working_; });
    work_ = nullptr;
    if (std::exception_ptr helper = std::exchange(helperFailure_, nullptr); !failure) {
        failure = helper;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void HelperThread::Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return posted_ || stop_; });
        if (stop_) {
            return;
        }
        posted_ = false;
        working_ = true;
        lock.unlock();
        std::exception_ptr failure = TakePieces();
        lock.lock();
        helperFailure_ = failure;
        working_ = false;
        changed_.notify_all();
    }
}

std::exception_ptr HelperThread::TakePieces() {
    try {
        for (;;) {
            const std::size_t begin = next_.fetch_add(grain_, std::memory_order_relaxed);
            if (begin >= count_) {
                return nullptr;
            }
            (*work_)(begin, std::min(begin + grain_, count_));
        }
    } catch (...) {
        next_.store(count_, std::memory_order_relaxed);  // (no piece more)
        return std::current_exception();
    }
}

}  // namespace zel7
