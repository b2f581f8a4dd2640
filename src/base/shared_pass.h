#pragma once
// SharedPass<T>: calls that arrive while a pass runs wait, and the next pass
// serves all of them together, run by one of them. A pass over a large
// shared input (the vector file of a collection) then reads it once for many
// callers instead of once for each. A call that finds no pass running runs
// its own at once: a lone caller waits for nothing.
//
// Callers that loop (a client thread searching again and again) come back
// a moment after their pass ends, just after the next pass has begun
// without them, and would be served in two alternating halves. So when the
// last pass served several callers, the one that runs the next waits for as
// many to have come, for at most a quarter of the last pass's duration (and
// never more than kMaxGather), before it takes its batch.
//
// serve(item, pass) returns once pass has been called with a batch that
// holds item, on this thread or on another caller's. Passes never overlap.
// pass must not call serve on the same SharedPass; it may be called with
// items of callers blocked in serve, whose items stay alive until their
// serve returns. Should pass throw, every item of its batch counts as served
// (callers see what pass left in them) and the next caller takes over.
//
// The internal mutex is held only to queue, take a batch or hand over the
// next pass, never while pass runs: it stands outside any lock order.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

namespace tessello {

template <class T>
class SharedPass {
public:
    static constexpr std::chrono::microseconds kMaxGather{250};

    template <class Pass>
    void serve(T& item, Pass&& pass) {
        Waiter me{&item};
        std::unique_lock lock(mu_);
        waiting_.push_back(&me);
        if (running_) {
            if (waiting_.size() >= last_batch_) gathered_.notify_one();
            cv_.wait(lock, [&] { return me.done || me.runs_next; });
            if (me.done) return;
        }
        running_ = true;
        if (last_batch_ > 1 && waiting_.size() < last_batch_)
            gathered_.wait_for(lock, std::min<std::chrono::nanoseconds>(last_pass_ / 4, kMaxGather),
                               [&] { return waiting_.size() >= last_batch_; });
        std::vector<Waiter*> batch;
        batch.swap(waiting_);
        lock.unlock();

        // Runs however pass ends: the batch is served and the next caller
        // that waits (one that came during the pass) runs the next pass.
        struct Finish {
            SharedPass& self;
            std::vector<Waiter*>& batch;
            std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
            ~Finish() {
                const auto took = std::chrono::steady_clock::now() - began;
                std::lock_guard relock(self.mu_);
                self.last_batch_ = batch.size();
                self.last_pass_ = took;
                for (Waiter* w : batch) w->done = true;
                if (self.waiting_.empty())
                    self.running_ = false;
                else
                    self.waiting_.front()->runs_next = true;
                self.cv_.notify_all();
            }
        } finish{*this, batch};

        std::vector<T*> items;
        items.reserve(batch.size());
        for (Waiter* w : batch) items.push_back(w->item);
        std::forward<Pass>(pass)(std::span<T* const>(items));
    }

private:
    struct Waiter {
        T* item;
        bool done = false;
        bool runs_next = false;
    };

    std::mutex mu_;
    std::condition_variable cv_;        // a waiter's turn came, or its pass ended
    std::condition_variable gathered_;  // the next pass's runner has company enough
    std::vector<Waiter*> waiting_;
    bool running_ = false;
    std::size_t last_batch_ = 0;
    std::chrono::nanoseconds last_pass_{0};
};

}  // namespace tessello
