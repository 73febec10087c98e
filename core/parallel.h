// The one place that spreads work over threads. OpenMP decides the count
// (both cores by default; OMP_NUM_THREADS sets it). Every index is handled by
// exactly one thread and its result does not depend on which one, so the
// output is the same for any thread count.
//
// A parallel loop costs a wake-up of the other threads and, on a busy machine,
// a wait for each of them to be scheduled; loops whose estimated work (in
// arithmetic operations) is small run on the calling thread alone.
#pragma once

#ifdef _OPENMP
#include <omp.h>
#endif

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

constexpr double kParallelWork = 4e6;

template <class Body>
void parallelFor(long begin, long end, double work, Body&& body)
{
#pragma omp parallel for schedule(dynamic, 1) if (work >= kParallelWork)
    for (long k = begin; k < end; ++k) body(k);
}

// Sets the number of threads of the parallel loops (from 1).
inline void setThreadCount([[maybe_unused]] int n)
{
#ifdef _OPENMP
    omp_set_num_threads(n);
#endif
}

// The number of threads a parallel loop runs on (one in a build without
// OpenMP, where the pragma above is ignored).
inline int threadCount()
{
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

// Produces the pieces 0..count-1 on `workers` threads and hands them to
// consume on the calling thread in order: produce(k, slot) fills slot
// (a Slot, reused) with piece k; consume(k, slot) takes it. At most twice as
// many pieces as workers are ready and waiting at any time.
template <class Slot, class Produce, class Consume>
void produceInOrder(int count, int workers, Produce&& produce, Consume&& consume)
{
    const int slots = 2 * workers;
    std::vector<Slot> ring(slots);
    std::vector<int> filled(slots, -1);  // the piece a slot holds, ready to take
    std::mutex lock;
    std::condition_variable changed;
    int claimed = 0, taken = 0;
    auto work = [&] {
        for (;;) {
            int k;
            {
                std::unique_lock<std::mutex> hold(lock);
                if (claimed == count) return;
                k = claimed++;
                changed.wait(hold, [&] { return k - taken < slots; });
            }
            produce(k, ring[k % slots]);
            {
                std::lock_guard<std::mutex> hold(lock);
                filled[k % slots] = k;
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < workers; ++t) threads.emplace_back(work);
    for (int k = 0; k < count; ++k) {
        {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return filled[k % slots] == k; });
        }
        consume(k, ring[k % slots]);
        {
            std::lock_guard<std::mutex> hold(lock);
            taken = k + 1;
        }
        changed.notify_all();
    }
    for (std::thread& t : threads) t.join();
}

// One task at a time on a thread beside the caller, outside the count above:
// a file's block being written while its next one is formatted. start(task)
// waits for the task before it, then runs task on a thread of its own (on the
// caller's, if no thread can be made); finish() waits for it to end.
class Beside {
public:
    Beside() = default;
    Beside(const Beside&) = delete;
    Beside& operator=(const Beside&) = delete;
    ~Beside() { finish(); }
    template <class Task>
    void start(Task&& task)
    {
        finish();
        try {
            thread_ = std::thread(task);
        } catch (const std::system_error&) {
            task();
        }
    }
    void finish()
    {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};
