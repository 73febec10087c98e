// The one place that spreads work over threads. OpenMP decides the count
// (both cores by default; OMP_NUM_THREADS sets it). Every index is handled by
// exactly one thread and its result does not depend on which one, so the
// output is the same for any thread count.
#pragma once

template <class Body>
void parallelFor(long begin, long end, Body&& body)
{
#pragma omp parallel for schedule(dynamic, 1)
    for (long k = begin; k < end; ++k) body(k);
}
