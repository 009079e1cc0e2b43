// Worker pool: a queue of jobs, each a range of items that threads claim in
// chunks through an atomic counter.  The caller queues its job, wakes the
// helpers it wants, runs chunks itself until none are left, then takes the
// job off the queue and waits for the helpers still inside it.  Jobs live on
// their caller's stack; a helper touches a job only between joining it
// (under the pool lock, while it is queued) and leaving it (under the pool
// lock again), and the caller returns only when no helper is inside.
#include "base/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <chrono>
#include <exception>
#include <iterator>
#include <mutex>
#include <thread>

#include <cxxabi.h>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#define LUMI_POSIX 1
#endif
#if defined(LUMI_POSIX)
#include <sched.h>
#endif

namespace lumi {

namespace {

std::size_t hardware_threads() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

// A positive decimal integer, or 0 when the text is anything else.
std::size_t parse_cap(const char* s) {
    if (!s || !*s) return 0;
    std::size_t v = 0;
    for (const char* p = s; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        if (v > 1000000) return 0;  // absurd; treat as unset
        v = v * 10 + static_cast<std::size_t>(*p - '0');
    }
    return v;
}

constinit thread_local bool t_in_parallel = false;

using Clock = std::chrono::steady_clock;

// How long a chunk should take: long enough that claiming and timing it cost
// nothing in comparison, short enough that threads finish close together
// when one of them is slowed down, and that a cancelled call stops soon.
constexpr Clock::duration kChunkTarget = std::chrono::milliseconds(4);

// How long a caller waits for the last chunks of its helpers before it
// sleeps, and how long a helper woken ahead of a job looks for it.
constexpr Clock::duration kSpin = std::chrono::microseconds(50);

// How long an idle pool thread looks for the next job after finishing one.
// Calls often come in quick succession (a loop of products, the steps of a
// factorisation) with some serial work of the caller's in between; a helper
// still awake when the next job comes joins it at once, on the core it had.
// One that went to sleep pays for a wake-up, which on virtual machines can
// take hundreds of microseconds and may put it on the caller's core.
constexpr Clock::duration kIdleSpin = std::chrono::milliseconds(1);

// A job split into so few pieces that one piece is a large share of it
// waits for a helper that takes a piece and is then held up (its core
// shared with another process) almost as long as the helper is held up.
// Such jobs go only to a helper seen looking for work within kFresh; if
// none was, the caller runs the job alone and wakes the helpers for the
// calls to come.
constexpr std::size_t kCoarsePieces = 8;
constexpr Clock::duration kFresh = std::chrono::microseconds(20);

struct NoTick {
    void operator()(Clock::time_point) const noexcept {}
};

// Polls done() for up to `spin`, calling tick(now) every few polls; true
// once done() holds.  After kSpin / 4 the thread offers its core to any
// other runnable thread between polls: when the thread it waits for shares
// the core (all cores busy), spinning on would only delay it.  Waits that
// end quickly, as in a loop of calls, never give the core away.
template <class Done, class Tick = NoTick>
bool spin_until(Done done, Clock::duration spin = kSpin, Tick tick = {}) noexcept {
    const Clock::time_point start = Clock::now();
    const Clock::time_point yield_from = start + kSpin / 4, until = start + spin;
    bool yielding = false;
    for (unsigned i = 1;; ++i) {
        if (done()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (i % 16 == 0) {
            if (yielding) {
#if defined(LUMI_POSIX)
                sched_yield();
#else
                std::this_thread::yield();
#endif
            }
            const Clock::time_point now = Clock::now();
            tick(now);
            if (now >= until) return false;
            yielding = now >= yield_from;
        }
    }
}

// The core the calling thread runs on, or -1 when unknown.
int current_core() noexcept {
#if defined(__linux__)
    return sched_getcpu();
#else
    return -1;
#endif
}

bool on_core(int core) noexcept { return core >= 0 && current_core() == core; }

// Keeps the calling thread off one core for the object's lifetime: narrows
// the thread's affinity to the process's other cores (moving it if it is on
// that core) and gives the old affinity back on destruction.  Does nothing
// when the core is unknown or the only one allowed.
//
// For helpers, and the caller's core: some schedulers, notably in virtual
// machines, wake a thread on its waker's core to keep other cores idle.  A
// helper there would only take turns with its caller, so the job would run
// no faster than on one thread; so helpers sleep away from the core of the
// last caller, and one that still finds itself on its caller's core moves.
class AvoidCore {
public:
    explicit AvoidCore(int core) noexcept {
#if defined(__linux__)
        if (core < 0 || core >= CPU_SETSIZE) return;
        if (sched_getaffinity(0, sizeof(saved_), &saved_) != 0 || !CPU_ISSET(core, &saved_)) return;
        cpu_set_t others = saved_;
        CPU_CLR(core, &others);
        active_ = CPU_COUNT(&others) > 0 && sched_setaffinity(0, sizeof(others), &others) == 0;
#else
        (void)core;
#endif
    }
    AvoidCore(const AvoidCore&) = delete;
    AvoidCore& operator=(const AvoidCore&) = delete;
    ~AvoidCore() { release(); }

    bool active() const noexcept { return active_; }

    void release() noexcept {
#if defined(__linux__)
        if (active_) sched_setaffinity(0, sizeof(saved_), &saved_);
#endif
        active_ = false;
    }

private:
#if defined(__linux__)
    cpu_set_t saved_;
#endif
    bool active_ = false;
};

// One thread's chunk size: starts at the grain, doubles while chunks finish
// quickly (up to `cap`) and halves when one runs long.
class ChunkSizer {
public:
    ChunkSizer(std::size_t grain, std::size_t cap) noexcept : grain_(grain), cap_(std::max(cap, grain)), size_(grain) {}
    std::size_t size() const noexcept { return size_; }
    void took(Clock::duration t) noexcept {
        if (t < kChunkTarget / 2) {
            size_ = size_ > cap_ / 2 ? cap_ : size_ * 2;
        } else if (t > kChunkTarget * 4 && size_ / 2 >= grain_) {
            size_ /= 2;
        }
    }

private:
    std::size_t grain_, cap_, size_;
};

struct Job {
    detail::ChunkFn body;
    std::size_t n;
    std::size_t grain;
    std::size_t cap;  // largest chunk, so that every thread gets several
    std::size_t helpers_wanted;
    std::atomic<bool>* stop;  // the caller's cancellation flag, if any
    int caller_core = current_core();
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    // Guarded by the pool lock.
    std::size_t helpers_joined = 0;
    std::size_t active = 0;
    // Helpers inside run_chunks, readable without the lock: the caller
    // spins on it briefly before it sleeps.
    std::atomic<std::size_t> running{0};
    std::condition_variable idle;

    Job(detail::ChunkFn b, std::size_t n_, std::size_t grain_, std::size_t cap_, std::size_t helpers,
        std::atomic<bool>* stop_)
        : body(b), n(n_), grain(grain_), cap(cap_), helpers_wanted(helpers), stop(stop_) {}

    bool exhausted() const noexcept { return next.load(std::memory_order_relaxed) >= n; }

    void fail() noexcept {
        if (!failed.exchange(true)) error = std::current_exception();
    }

    // Claims and runs chunks until none are left or the job failed.  On the
    // caller, check_cancel() polls; on a helper it only follows the flag.
    void run_chunks() noexcept {
        ChunkSizer sizer(grain, cap);
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            try {
                check_cancel();
            } catch (...) {
                fail();
                return;
            }
            // Near the end chunks shrink to a share of what is left, so that
            // the threads finish together instead of one waiting for another's
            // last large chunk.
            std::size_t size = sizer.size();
            const std::size_t done = next.load(std::memory_order_relaxed);
            if (done >= n) return;
            const std::size_t share = (n - done) / (2 * (helpers_wanted + 1));
            if (share < size) size = share > grain ? share : grain;
            const std::size_t b = next.fetch_add(size, std::memory_order_relaxed);
            if (b >= n) return;
            const std::size_t e = n - b <= size ? n : b + size;
            const Clock::time_point t0 = Clock::now();
            try {
                body(b, e);
            } catch (...) {
                fail();
                return;
            }
            sizer.took(Clock::now() - t0);
        }
    }
};

// Whether a modest allocation succeeds right now (the block is freed at
// once).  Called through a volatile pointer so the compiler cannot drop the
// allocation as unused.
bool memory_to_spare() noexcept {
    void* (*volatile alloc)(std::size_t) = std::malloc;
    void* p = alloc(std::size_t{256} << 10);
    if (!p) return false;
    std::free(p);
    return true;
}

struct Pool {
    std::mutex mu;
    std::condition_variable wake;
    std::deque<Job*> queue;
    std::size_t threads = 0;
    std::size_t sleeping = 0;
    // Bumped by wake_workers(): sleeping threads get up and look for a job
    // for a while, spinning ones look for longer.
    // Written under the lock, read by spinning threads without it.
    std::atomic<std::size_t> alarms{0};
    // The core of the latest caller to queue a job.
    int last_caller_core = -1;
    // When an idle thread last looked for a job (Clock ticks).
    std::atomic<Clock::rep> last_poll{0};
    // Jobs queued, readable without the lock (written under it).
    std::atomic<std::size_t> queued{0};

    void set_queued() noexcept { queued.store(queue.size(), std::memory_order_release); }

    // Wakes `count` sleeping threads, or all of them (outside the lock).
    void notify(std::size_t count, bool all) noexcept {
        if (all) {
            wake.notify_all();
        } else {
            for (std::size_t i = 0; i < count; ++i) wake.notify_one();
        }
    }

    // Waits up to kIdleSpin for a job to be queued, without the lock, and
    // again whenever wake_workers() announces one meanwhile.  The wait
    // gives its core away after the first few microseconds, so a thread
    // waiting in vain takes little from whatever else wants that core.
    bool spin_for_job() noexcept {
        for (;;) {
            const std::size_t seen = alarms.load(std::memory_order_relaxed);
            if (spin_until([this] { return queued.load(std::memory_order_acquire) != 0; }, kIdleSpin,
                           [this](Clock::time_point now) { last_poll.store(now.time_since_epoch().count(), std::memory_order_relaxed); }))
                return true;
            if (alarms.load(std::memory_order_relaxed) == seen) return false;
        }
    }

    // Whether some idle thread was looking for a job just now: it would
    // join a job queued now within microseconds.  A thread spinning on a
    // core that another process keeps busy gets to look only now and then.
    bool helper_awake() const noexcept {
        const auto since = Clock::now().time_since_epoch().count() - last_poll.load(std::memory_order_relaxed);
        return since >= 0 && Clock::duration(since) < kFresh;
    }

    void worker() {
        // The C++ runtime allocates its per-thread state on a thread's first
        // exception and aborts the process when that fails.  A thread
        // started while memory is all but exhausted leaves instead of
        // risking it: callers run every chunk themselves anyway.
        if (!memory_to_spare()) {
            std::lock_guard<std::mutex> lk(mu);
            --threads;
            return;
        }
        prepare_thread();
        t_in_parallel = true;
#if defined(__linux__)
        pthread_setname_np(pthread_self(), "lumivander");
#endif
        std::unique_lock<std::mutex> lk(mu);
        for (;;) {
            // Idle threads sleep after a short spin: a thread spinning for
            // long would take cycles from everything else whenever cores
            // are shared.
            if (queue.empty()) {
                lk.unlock();
                spin_for_job();
                lk.lock();
            }
            if (queue.empty()) {
                ++sleeping;
                const std::size_t alarm = alarms.load(std::memory_order_relaxed);
                const int avoid = last_caller_core;
                lk.unlock();  // no system calls under the lock
                AvoidCore away(avoid);
                lk.lock();
                wake.wait(lk, [this, alarm] { return !queue.empty() || alarms.load(std::memory_order_relaxed) != alarm; });
                --sleeping;
                if (away.active()) {
                    lk.unlock();
                    away.release();
                    lk.lock();
                }
                if (queue.empty()) continue;  // woken early: spin for the job to come
            }
            Job* job = queue.front();
            if (job->exhausted()) {
                queue.pop_front();  // nothing left to share
                set_queued();
                continue;
            }
            // Moving takes a while (the other core may have to wake up):
            // done before joining, so the caller never waits for a helper
            // that is still on its way.
            if (on_core(job->caller_core)) {
                const int core = job->caller_core;
                lk.unlock();
                const bool moved = AvoidCore(core).active();
                lk.lock();
                if (moved) continue;  // the queue may have changed meanwhile
                if (queue.empty() || queue.front() != job) continue;
            }
            if (++job->helpers_joined >= job->helpers_wanted) {
                queue.pop_front();
                set_queued();
            }
            ++job->active;
            job->running.fetch_add(1, std::memory_order_relaxed);
            lk.unlock();
            {
                detail::FollowCancel follow(job->stop);
                job->run_chunks();
            }
            job->running.fetch_sub(1, std::memory_order_release);
            lk.lock();
            // Notified under the lock: the caller cannot see active == 0 and
            // return (destroying the job) before this call is done.
            if (--job->active == 0) job->idle.notify_one();
        }
    }

    // Starts `count` detached threads with every signal blocked, so signals
    // keep going to the interpreter's threads.  A thread that cannot be
    // created is simply not there: callers always run chunks themselves.
    void start(std::size_t count) {
#ifdef LUMI_POSIX
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
#endif
        for (std::size_t i = 0; i < count; ++i) {
            // Counted before it starts: a thread that gives up at once
            // takes itself off the count.
            {
                std::lock_guard<std::mutex> lk(mu);
                ++threads;
            }
            try {
                std::thread([this] { worker(); }).detach();
            } catch (...) {
                std::lock_guard<std::mutex> lk(mu);
                --threads;
                break;
            }
        }
#ifdef LUMI_POSIX
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
    }
};

// The pool of this process.  A forked child inherits the pointer but not the
// threads (and perhaps a lock some thread held): the fork handler drops the
// pointer, leaking the parent's pool, and the child starts a fresh one.
std::atomic<Pool*> g_pool{nullptr};

#ifdef LUMI_POSIX
void forget_pool_in_child() { g_pool.store(nullptr, std::memory_order_relaxed); }
#endif

Pool* pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return p;
#ifdef LUMI_POSIX
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        return true;
    }();
    (void)registered;
#endif
    auto* fresh = new Pool();
    Pool* expected = nullptr;
    if (!g_pool.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        delete fresh;  // no threads yet
        return expected;
    }
    fresh->start(worker_count() - 1);
    return fresh;
}

}  // namespace

std::size_t worker_count() {
    static const std::size_t count = [] {
        std::size_t n = hardware_threads();
        const std::size_t cap = parse_cap(std::getenv("LUMIVANDER_NUM_THREADS"));
        if (cap > 0) n = std::min(n, cap);
        return std::max<std::size_t>(n, 1);
    }();
    return count;
}

namespace detail {

constinit thread_local bool t_thread_ready = false;

namespace {

struct ExitList {
    struct Entry {
        void* p;
        void (*del)(void*);
    };
    Entry items[48];
    std::size_t n = 0;
    ~ExitList() {
        while (n > 0) {
            --n;
            items[n].del(items[n].p);
        }
    }
};

thread_local ExitList t_exit_list;

}  // namespace

void prepare_thread_now() noexcept {
    // Declared const, so the result must be used for the call to stay.
    void* volatile globals = abi::__cxa_get_globals();
    // First use registers the list's destructor.
    void* volatile list = &t_exit_list;
    (void)globals;
    (void)list;
    t_thread_ready = true;
}

bool in_parallel_region() noexcept { return t_in_parallel; }

}  // namespace detail

void at_thread_exit(void* p, void (*del)(void*)) noexcept {
    detail::ExitList& list = detail::t_exit_list;
    if (list.n < std::size(list.items)) list.items[list.n++] = {p, del};  // else: kept for good
}

void wake_workers(std::size_t helpers) noexcept {
    if (helpers == 0 || worker_count() <= 1 || detail::in_parallel_region()) return;
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (!p) return;  // started by the parallel_for to come
    std::size_t to_wake;
    bool wake_all;
    {
        std::lock_guard<std::mutex> lk(p->mu);
        to_wake = std::min(helpers, p->sleeping);
        p->alarms.fetch_add(1, std::memory_order_relaxed);
        wake_all = to_wake >= p->threads;
    }
    p->notify(to_wake, wake_all);
}

namespace detail {

void run_inline(std::size_t n, std::size_t grain, ChunkFn body) {
    if (!cancel_active()) {
        body(0, n);
        return;
    }
    if (grain == 0) grain = 1;
    ChunkSizer sizer(grain, n);
    for (std::size_t b = 0; b < n;) {
        check_cancel();
        const std::size_t e = n - b <= sizer.size() ? n : b + sizer.size();
        const Clock::time_point t0 = Clock::now();
        body(b, e);
        b = e;
        sizer.took(Clock::now() - t0);
    }
}

void run_parallel(std::size_t n, std::size_t grain, ChunkFn body, std::size_t max_workers) {
    if (grain == 0) grain = 1;
    std::size_t workers = worker_count();
    if (max_workers > 0) workers = std::min(workers, max_workers);
    const std::size_t pieces = n / grain;
    if (pieces <= 1 || workers <= 1) {
        run_inline(n, grain, body);
        return;
    }
    Pool* p = pool();
    if (pieces < kCoarsePieces && !p->helper_awake()) {
        wake_workers(workers - 1);
        run_inline(n, grain, body);
        return;
    }
    // At most an eighth of a thread's share per chunk, so that a thread that
    // starts late or runs slowly leaves its work to the others.
    Job job(body, n, grain, n / (workers * 8), std::min(workers, pieces) - 1, detail::current_stop());
    std::size_t helpers, to_wake;
    bool wake_all;
    {
        std::lock_guard<std::mutex> lk(p->mu);
        helpers = job.helpers_wanted = std::min(job.helpers_wanted, p->threads);
        if (helpers > 0) {
            p->queue.push_back(&job);
            p->set_queued();
            p->last_caller_core = job.caller_core;
        }
        to_wake = std::min(helpers, p->sleeping);  // the others are busy with other jobs
        wake_all = to_wake >= p->threads;
    }
    p->notify(to_wake, wake_all);

    t_in_parallel = true;
    job.run_chunks();
    t_in_parallel = false;

    if (helpers > 0) {
        // Off the queue, no helper can join any more; wait for those inside
        // to finish their chunk, polling for cancellation meanwhile so that
        // the helpers stop at their next check.
        std::unique_lock<std::mutex> lk(p->mu);
        auto it = std::find(p->queue.begin(), p->queue.end(), &job);
        if (it != p->queue.end()) {
            p->queue.erase(it);
            p->set_queued();
        }
        if (job.active != 0) {
            // The last chunks usually end within microseconds of each
            // other: look for that before paying for a sleep and a wake-up.
            lk.unlock();
            spin_until([&job] { return job.running.load(std::memory_order_acquire) == 0; });
            lk.lock();
        }
        const bool can_poll = cancel_active();
        while (job.active != 0) {
            if (!can_poll || job.failed.load(std::memory_order_relaxed)) {
                job.idle.wait(lk, [&] { return job.active == 0; });
                break;
            }
            if (job.idle.wait_for(lk, std::chrono::milliseconds(10), [&] { return job.active == 0; })) break;
            lk.unlock();
            try {
                check_cancel();
            } catch (...) {
                job.fail();
            }
            lk.lock();
        }
    }
    if (job.error) {
        // A stop asked for by the caller's poll wins over errors the
        // interrupted chunks may have run into meanwhile.
        if (job.stop && job.stop->load(std::memory_order_relaxed)) throw Cancelled{};
        std::rethrow_exception(job.error);
    }
}

}  // namespace detail

}  // namespace lumi
