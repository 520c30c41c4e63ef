// A second thread that shares a loop's work with the thread that owns it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace zel7 {

// Runs pieces of a loop beside its owner, where a core is spare: both threads take the
// next piece until none is left, so that neither waits on a share fixed in advance while
// the other core also decodes and writes.
class HelperThread {
public:
    using Work = std::function<void(std::size_t begin, std::size_t end)>;

    HelperThread();
    ~HelperThread();
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;

    // Calls work on [0, count) in pieces of grain items, on this thread and the helper
    // alike, and returns once every piece is done. Where a piece throws, on either thread,
    // the pieces not yet handed out are dropped, and the exception is thrown here once the
    // other thread's piece has ended (this thread's, where both threw): nothing the helper
    // runs outlives the call, and the helper serves the next one.
    void Share(std::size_t count, std::size_t grain, const Work& work);

private:
    void Loop();
    // Takes pieces until none is left; where one throws, hands out no more and returns
    // what it threw.
    std::exception_ptr TakePieces();

    std::mutex mutex_;
    std::condition_variable changed_;
    const Work* work_ = nullptr;
    std::size_t count_ = 0, grain_ = 1;
    std::atomic<std::size_t> next_{0};
    bool posted_ = false;   // a loop waits for the helper to take it
    bool working_ = false;  // the helper is taking pieces
    bool stop_ = false;
    std::exception_ptr helperFailure_;  // what a piece threw on the helper
    std::jthread thread_;               // the last member: joined first
};

}  // namespace zel7
