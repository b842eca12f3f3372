#pragma once
// Ordered parallel map on the process-wide oneTBB pool: one task per index,
// each result written to its own slot, read back in input order.

#include <cstddef>
#include <type_traits>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include "error.hpp"
#include "interrupt.hpp"

namespace larkspan {

template <class R, class Fn>
std::vector<R> parallel_map(std::size_t count, Fn&& fn, std::size_t grain = 1) {
    static_assert(!std::is_same_v<R, bool>, "vector<bool> packs bits that workers would share");
    std::vector<R> results(count);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, grain),
                      [&](const tbb::blocked_range<std::size_t>& range) {
                          for (std::size_t i = range.begin(); i != range.end(); ++i)
                              results[i] = fn(i);
                      });
    return results;
}

// Runs fn(i) for every index on the pool; no results.
template <class Fn>
void parallel_for_each(std::size_t count, Fn&& fn, std::size_t grain = 1) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, grain),
                      [&](const tbb::blocked_range<std::size_t>& range) {
                          for (std::size_t i = range.begin(); i != range.end(); ++i) fn(i);
                      });
}

// Runs fn(first, last) over [0, count) in pieces of at most `piece` indices
// on the pool. Every piece the calling thread takes starts with an interrupt
// check; once interrupted, pieces not yet started are skipped on every thread
// and the interrupt is returned.
template <class Fn>
Status parallel_pieces(std::size_t count, std::size_t piece, Interrupts& interrupts, Fn&& fn) {
    if (auto checked = interrupts.check(); !checked) return checked;
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, count, piece > 0 ? piece : 1),
        [&](const tbb::blocked_range<std::size_t>& range) {
            if (!interrupts.check()) return;
            fn(range.begin(), range.end());
        },
        tbb::simple_partitioner());
    return interrupts.check();
}

}  // namespace larkspan
