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

constexpr double kParallelWork = 4e6;

template <class Body>
void parallelFor(long begin, long end, double work, Body&& body)
{
#pragma omp parallel for schedule(dynamic, 1) if (work >= kParallelWork)
    for (long k = begin; k < end; ++k) body(k);
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
