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
// A pass may share work with the callers that wait on it (those of its
// batch and those queued for the next): while shared, each waiting caller
// calls work() once, on its own thread, then waits on. Waking a sleeping
// thread costs a good part of a short pass on some machines (a virtual one
// above all), so a waiting caller first spins a while (kSpin at most) before
// it sleeps: callers that loop come back to find the next pass's work, and
// a batch sees its pass end, without a wake-up.
//
// The internal mutex is held only to queue, take a batch, share or take
// shared work, or hand over the next pass, never while pass or shared work
// runs: it stands outside any lock order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <span>
#include <utility>
#include <vector>

namespace tessello {

template <class T>
class SharedPass {
public:
    static constexpr std::chrono::microseconds kMaxGather{250};
    static constexpr std::chrono::microseconds kSpin{300};

    template <class Pass>
    void serve(T& item, Pass&& pass) {
        Waiter me{&item};
        std::unique_lock lock(mu_);
        waiting_.push_back(&me);
        if (running_) {
            if (waiting_.size() >= last_batch_) gathered_.notify_one();
            wait_turn(lock, me);
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
                std::unique_lock relock(self.mu_);
                self.last_batch_ = batch.size();
                self.last_pass_ = took;
                self.unshare_locked(relock);
                for (Waiter* w : batch) w->done = true;
                if (self.waiting_.empty())
                    self.running_ = false;
                else
                    self.waiting_.front()->runs_next = true;
                self.changes_.fetch_add(1, std::memory_order_release);
                self.cv_.notify_all();
            }
        } finish{*this, batch};

        std::vector<T*> items;
        items.reserve(batch.size());
        for (Waiter* w : batch) items.push_back(w->item);
        std::forward<Pass>(pass)(std::span<T* const>(items));
    }

    // Called by a running pass: callers waiting in serve each call work()
    // once from now on, until unshare. work must be safe to call from
    // several threads at once and must not throw; the pass unshares before
    // work is destroyed, on every way out (an RAII guard declared after it).
    void share(const std::function<void()>& work) {
        std::lock_guard lock(mu_);
        work_ = &work;
        ++shares_;
        changes_.fetch_add(1, std::memory_order_release);
        cv_.notify_all();
    }
    // Called by the pass that shared: no caller starts work() after this,
    // and it returns once every call of it has returned.
    void unshare() {
        std::unique_lock lock(mu_);
        unshare_locked(lock);
    }

private:
    struct Waiter {
        T* item;
        bool done = false;
        bool runs_next = false;
        std::uint64_t helped = 0;  // the last share this caller worked for
    };

    bool may_help(const Waiter& me) const { return work_ && me.helped != shares_; }

    // Until this caller's pass is over or its turn to run the next has come,
    // helps with shared work, spinning a while before each sleep.
    void wait_turn(std::unique_lock<std::mutex>& lock, Waiter& me) {
        auto spin_until = std::chrono::steady_clock::now() + kSpin;
        for (;;) {
            if (me.done || me.runs_next) return;
            if (may_help(me)) {
                me.helped = shares_;
                const std::function<void()>* work = work_;
                ++helping_;
                lock.unlock();
                (*work)();
                lock.lock();
                if (--helping_ == 0) drained_.notify_all();
                spin_until = std::chrono::steady_clock::now() + kSpin;
                continue;
            }
            const std::uint64_t seen = changes_.load(std::memory_order_acquire);
            lock.unlock();
            while (changes_.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < spin_until)
                std::this_thread::yield();
            lock.lock();
            if (changes_.load(std::memory_order_acquire) == seen)
                cv_.wait(lock, [&] { return me.done || me.runs_next || may_help(me); });
        }
    }

    void unshare_locked(std::unique_lock<std::mutex>& lock) {
        if (!work_) return;
        work_ = nullptr;
        drained_.wait(lock, [&] { return helping_ == 0; });
    }

    std::mutex mu_;
    std::condition_variable cv_;        // a waiter's turn came, or its pass ended
    std::condition_variable gathered_;  // the next pass's runner has company enough
    std::condition_variable drained_;   // no caller runs shared work any more
    // Bumped (under mu_) whenever a waiting caller may have something new to
    // see, so that spinning callers read it without taking mu_.
    std::atomic<std::uint64_t> changes_{0};
    const std::function<void()>* work_ = nullptr;  // shared by the running pass
    std::uint64_t shares_ = 0;
    std::size_t helping_ = 0;  // callers inside work_
    std::vector<Waiter*> waiting_;
    bool running_ = false;
    std::size_t last_batch_ = 0;
    std::chrono::nanoseconds last_pass_{0};
};

}  // namespace tessello
