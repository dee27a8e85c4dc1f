// Loops over arrays spread over native threads. The calling thread converts and checks the
// inputs attached, then detaches, starts the workers of the call and takes chunks of the
// elements with them; each chunk writes its own slice of the outputs, so every element gets
// the bits the serial loop gives it. Workers never touch the interpreter. The calling thread,
// when it is the main thread, takes pending signals every few milliseconds until the last
// worker is done, and stops them all when a handler raises.
//
// Threads are started for each call rather than kept: a call that takes threads does at least
// 100 us of work a thread, against 10 to 20 us for starting one, and there is no pool to guard
// across fork(), interpreter shutdown or concurrent callers, which each get threads of their
// own.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "detached.hpp"

namespace kelvo {

// What a chunk asks every few elements: false once the call is stopping (a signal handler
// raised on the calling thread). On the calling thread it also takes the pending signals.
class KeepGoing {
public:
    KeepGoing(std::atomic<bool> &stop, Detached *polls) noexcept : stop_(stop), polls_(polls) {}
    bool operator()() {
        if (polls_ != nullptr && !polls_->keep_going()) {
            stop_.store(true, std::memory_order_relaxed);
        }
        return !stop_.load(std::memory_order_relaxed);
    }
    // The C form, for kernel loops that take a callback.
    static int callback(void *self) { return (*static_cast<KeepGoing *>(self))(); }

private:
    std::atomic<bool> &stop_;
    Detached *polls_;
};

// The work a thread must get to pay for itself: starting one costs some 10 to 20 us, and two
// threads beat one from about 60 us of work.
constexpr double WORK_PER_THREAD_NS = 100e3;

// Elements between two questions to KeepGoing inside a chunk.
constexpr std::int64_t ELEMENTS_PER_CHECK = 16;

// The cores this process may run on (its CPU affinity), at least 1.
int available_cores();

// The threads for `work` (in any unit) when the caller asked for `requested` (0: choose): as
// asked, else one thread per `work_per_thread` of it, from 1 up to the cores; never more than
// `most`, the pieces the work can be split into.
int threads_for(int requested, double work, double work_per_thread, std::int64_t most);

// The fewest elements a chunk holds at element_ns each: some 20 us of work, so that taking a
// chunk costs nothing beside it.
std::int64_t smallest_chunk(double element_ns);

// Elements of a chunk when n elements of element_ns each are shared among threads: about 16
// chunks a thread, to even out elements of unequal cost, within some 20 us and 2 ms of work.
std::int64_t chunk_size(std::int64_t n, int threads, double element_ns);

// The part of a call its workers may look at after it has returned: whether it has, and how
// many of them are inside a chunk, which it waits for.
struct PoolGate {
    std::mutex mutex;
    std::condition_variable left;
    int inside = 0;
    bool closed = false;
    std::atomic<int> holders{1};
};

// The call's and each worker's hold on the gate; the last to let go deletes it. A shared_ptr
// would do, but its count asks glibc 2.32 whether the process is single-threaded, and the
// wheels are built for glibc 2.31.
class GateHold {
  public:
    GateHold() : gate_(new PoolGate) {}  // attached: may throw std::bad_alloc
    GateHold(const GateHold &other) : gate_(other.gate_) {
        gate_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    GateHold &operator=(const GateHold &) = delete;
    ~GateHold() {
        if (gate_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete gate_;
    }
    PoolGate *operator->() const { return gate_; }

  private:
    PoolGate *gate_;
};

// Runs chunk(begin, end, keep_going) over [0, n) in pieces of `grain` elements on `threads`
// threads, the calling thread one of them, with the calling thread detached. False, with the
// exception of the signal handler set, when interrupted. Attached on entry and on return.
// chunk must not throw.
//
// The call returns once every chunk is done: it waits for the workers inside a chunk, not for
// workers the system has not run yet (a loaded machine may start them late), which find the
// call closed and leave without touching it. A worker that cannot be started leaves its share
// to the others.
template <typename Chunk>
bool run_chunks(std::int64_t n, int threads, std::int64_t grain, Chunk &&chunk) {
    const GateHold gate;
    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stop{false};
    // One chunk taken and run; false when none was left or the call is stopping.
    const auto take_chunk = [&](KeepGoing &keep_going) {
        const std::int64_t begin = next.fetch_add(grain, std::memory_order_relaxed);
        if (begin >= n || !keep_going()) return false;
        chunk(begin, std::min(n, begin + grain), keep_going);
        return true;
    };
    const auto work = [gate, &take_chunk, &stop] {
        for (bool more = true; more;) {
            {
                std::lock_guard<std::mutex> lock(gate->mutex);
                if (gate->closed) return;
                ++gate->inside;
            }
            KeepGoing keep_going(stop, nullptr);
            more = take_chunk(keep_going);
            std::lock_guard<std::mutex> lock(gate->mutex);
            if (--gate->inside == 0) gate->left.notify_one();
        }
    };

    Detached detached;
    KeepGoing caller(stop, &detached);
    for (int t = 1; t < threads; ++t) {
        try {
            std::thread(work).detach();
        } catch (const std::system_error &) {  // no more threads: the others share the work
            break;
        } catch (const std::bad_alloc &) {
            break;
        }
    }
    while (take_chunk(caller)) {
    }
    {
        // the workers' last chunks, taking signals meanwhile
        std::unique_lock<std::mutex> lock(gate->mutex);
        while (gate->inside > 0) {
            // by the system clock: a wait by the steady one needs glibc 2.30's
            // pthread_cond_clockwait, which moved in 2.34, beyond the wheels' glibc 2.31
            gate->left.wait_until(lock, std::chrono::system_clock::now() +
                                            std::chrono::milliseconds(2));
            if (gate->inside == 0) break;
            lock.unlock();
            caller();
            lock.lock();
        }
        gate->closed = true;
    }
    detached.reattach();
    return !detached.interrupted();
}

}  // namespace kelvo
