// Edge selection: thresholds of the alpha levels, p- and q-values of the
// pairs near or above the loosest level, and the strictest level each passes.
#include "selection.h"

#include "core.h"
#include "parallel.h"
#include "pvalues.h"
#include "radix_sort.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace {

constexpr int kTile = 64;
// Rows of a band of the edge walk: the mirror cells of a column of its tile
// fill a cache line eight times over.
constexpr int kWalkRows = 64;

// The |r| from which a pair is a candidate: a margin below the |r| of the
// loosest level or the pruning level, so rounding keeps none out.
double candidateBound(const std::vector<Level>& levels, int N, int K, double pruneAlpha)
{
    double cutoff = K > 0 ? pruneAlpha : 0;
    for (const Level& l : levels) cutoff = std::max(cutoff, l.alpha);
    return thresholdFor(N, zForAlpha(std::min(cutoff, 0.999)), K) * (1 - 1e-9);
}

// The strictest level a pair passes, -1 for none: the levels are passed in
// order, loosest first.
int levelOf(const std::vector<Level>& levels, double r, double q)
{
    int level = -1;
    for (size_t l = 0; l < levels.size(); ++l) {
        const bool passed = levels[l].fdr ? q <= levels[l].alpha : passes(r, levels[l].threshold);
        if (!passed) break;
        level = static_cast<int>(l);
    }
    return level;
}

// While the candidates are ranked, a candidate's mirror cell holds p, then
// -q once the pair is ranked (so that a ranked pair is never taken for one
// to rank), or not-a-number for a p that is not a number; the mirror cell of
// another pair holds kOther, and of a pair whose r is not a number that r.
// A cell that holds p is then the only one whose sign bit is clear and that
// is a number.
constexpr double kOther = -2;
double storedQ(double cell) { return std::isnan(cell) ? std::nan("") : -cell; }

std::uint64_t bitsOf(double x) { return std::bit_cast<std::uint64_t>(x); }

// Calls visit(a, b) for every pair a < b < V with b in band t (rows
// [64t, 64t + 64) of the lower triangle), one tile of 64 x 64 after another,
// so that the upper cells m[a][b] and the mirror cells m[b][a] are both read
// in runs.
template <class Visit>
void forEachPairOfBand(int V, long t, Visit&& visit)
{
    const int b0 = static_cast<int>(t) * kTile, b1 = std::min(V, b0 + kTile);
    for (int a0 = 0; a0 < b1; a0 += kTile)
        for (int b = b0; b < b1; ++b)
            for (int a = a0, a1 = std::min(b, a0 + kTile); a < a1; ++a) visit(a, b);
}

// A pair waiting for its q: its p's bits (which order as p does, p >= 0)
// and its mirror cell's place in the matrix.
struct Ranked {
    std::uint64_t key;
    std::uint64_t cell;
};

// Benjamini-Hochberg over the candidates' p in the mirror cells. The p are
// taken from the largest down, in windows of whole values that hold at most
// `window` pairs; a window is sorted, and each of its pairs gets
//   q = min(running, p * total / rank),
// running being carried from the pair of next larger p, as the step-up does
// over all candidates at once. The windows are found through histograms of
// 16 bits of p at a time: a digit with more pairs than a window is split on
// the next 16 bits, and one value (all 64 bits) with more pairs needs no
// sort, as all its pairs get one q.
class Ranking {
public:
    Ranking(Matrix& m, int V, double low, double total, long window)
        : m_(m), V_(V), low_(low), total_(total), window_(window)
    {
        const long bands = (V + kTile - 1) / kTile;
        // Parts of about equal numbers of pairs, a few per thread.
        const long parts = std::min<long>(bands, 4L * threadCount());
        const double pairs = 0.5 * V * V;
        long band = 0;
        for (long k = 1; k <= parts; ++k) {
            const long first = band;
            while (band < bands &&
                   (k == parts || 0.5 * std::pow((band + 1.0) * kTile, 2) <= pairs * k / parts))
                ++band;
            parts_.push_back({first, std::max(band, first)});
        }
    }

    // Stores each candidate's p in its mirror cell and ranks them all.
    void run(int N, int K)
    {
        std::vector<std::vector<long long>> histograms(parts_.size());
        eachPart([&](size_t k) {
            std::vector<long long>& h = histograms[k];
            h.assign(kDigits, 0);
            eachPairOfPart(k, [&](int a, int b) {
                const double r = m_[a][b];
                if (!(std::fabs(r) >= low_)) {
                    if (!std::isnan(r)) m_[b][a] = kOther;
                    return;
                }
                const double p = fisherP(r, N, K);
                if (std::isnan(p)) {
                    m_[b][a] = std::nan("");
                    return;
                }
                m_[b][a] = p;
                ++h[bitsOf(p) >> 48];
            });
        });
        std::vector<long long> h(kDigits, 0);
        for (const auto& part : histograms)
            for (int d = 0; d < kDigits; ++d) h[d] += part[d];
        for (long long c : h) left_ += c;
        descend(0, 0, h);
    }

private:
    static constexpr int kDigits = 1 << 16;

    template <class Body>
    void eachPart(Body&& body)
    {
        parallelFor(0, static_cast<long>(parts_.size()), 1e9, [&](long k) { body(static_cast<size_t>(k)); });
    }

    // Calls visit(a, b) for every pair of part k.
    template <class Visit>
    void eachPairOfPart(size_t k, Visit&& visit)
    {
        for (long t = parts_[k].first; t < parts_[k].second; ++t) forEachPairOfBand(V_, t, visit);
    }

    // The pairs whose mirror cell holds p with bits from lo to hi, read from
    // the mirror rows alone.
    template <class Visit>
    void eachWaiting(std::uint64_t lo, std::uint64_t hi, Visit&& visit)
    {
        eachPart([&](size_t k) {
            const int b0 = static_cast<int>(std::min<long>(V_, parts_[k].first * kTile));
            const int b1 = static_cast<int>(std::min<long>(V_, parts_[k].second * kTile));
            for (int b = b0; b < b1; ++b) {
                const double* row = m_[b];
                for (int a = 0; a < b; ++a) {
                    const std::uint64_t bits = bitsOf(row[a]);
                    if (bits - lo <= hi - lo) visit(k, a, b, bits);
                }
            }
        });
    }

    // Histogram of the 16 bits below the top 16 * depth bits of the p that
    // begin with prefix.
    std::vector<long long> histogram(std::uint64_t prefix, int depth)
    {
        const int shift = 48 - 16 * depth;
        const std::uint64_t lo = prefix << (shift + 16), hi = lo | ((std::uint64_t{1} << (shift + 16)) - 1);
        std::vector<std::vector<long long>> parts(parts_.size());
        for (auto& h : parts) h.assign(kDigits, 0);
        eachWaiting(lo, hi, [&](size_t k, int, int, std::uint64_t bits) { ++parts[k][(bits >> shift) & 0xffff]; });
        std::vector<long long> h(kDigits, 0);
        for (const auto& part : parts)
            for (int d = 0; d < kDigits; ++d) h[d] += part[d];
        return h;
    }

    // Ranks the p beginning with prefix (its top 16 * depth bits), whose next
    // 16 bits are counted in h, from the largest down.
    void descend(std::uint64_t prefix, int depth, const std::vector<long long>& h)
    {
        const int shift = 48 - 16 * depth;
        const std::uint64_t base = depth == 0 ? 0 : prefix << (shift + 16);
        const std::uint64_t span = std::uint64_t{1} << shift;
        for (int d = kDigits - 1; d >= 0;) {
            if (h[d] == 0) {
                --d;
            } else if (h[d] > window_) {
                const std::uint64_t child = (prefix << 16) | static_cast<std::uint64_t>(d);
                if (depth == 3) rankValue(child, h[d]);
                else descend(child, depth + 1, histogram(child, depth + 1));
                --d;
            } else {
                long long count = 0;
                int e = d;
                while (e >= 0 && count + h[e] <= window_) count += h[e--];
                rankWindow(base + static_cast<std::uint64_t>(e + 1) * span,
                           base + static_cast<std::uint64_t>(d) * span + (span - 1), count);
                d = e;
            }
        }
    }

    // The count pairs whose p has bits from lo to hi, sorted and ranked.
    void rankWindow(std::uint64_t lo, std::uint64_t hi, long long count)
    {
        items_.resize(static_cast<size_t>(count));
        std::atomic<long> filled{0};
        std::vector<std::vector<Ranked>> pending(parts_.size());
        auto flush = [&](std::vector<Ranked>& from) {
            const long at = filled.fetch_add(static_cast<long>(from.size()));
            if (at + static_cast<long>(from.size()) <= count)
                std::copy(from.begin(), from.end(), items_.begin() + at);
            from.clear();
        };
        eachWaiting(lo, hi, [&](size_t k, int a, int b, std::uint64_t bits) {
            pending[k].push_back({bits, static_cast<std::uint64_t>(b) * V_ + a});
            if (pending[k].size() == 1024) flush(pending[k]);
        });
        for (auto& from : pending) flush(from);
        if (filled != count)
            throw std::logic_error("edge selection: a window gathered other pairs than it counted");
        sortByKey(items_, scratch_, [](const Ranked& r) { return r.key; });
        left_ -= count;
        double* cells = m_.data();
        for (long long t = count; t > 0; --t) {
            const Ranked& r = items_[static_cast<size_t>(t - 1)];
            running_ = std::min(running_, std::bit_cast<double>(r.key) * total_ /
                                              static_cast<double>(left_ + t));
            cells[r.cell] = -running_;
        }
    }

    // The count pairs whose p has exactly these bits: one q for them all.
    void rankValue(std::uint64_t bits, long long count)
    {
        const double p = std::bit_cast<double>(bits);
        left_ -= count;
        running_ = std::min(running_, p * total_ / static_cast<double>(left_ + count));
        eachWaiting(bits, bits, [&](size_t, int a, int b, std::uint64_t) { m_[b][a] = -running_; });
    }

    Matrix& m_;
    int V_;
    double low_, total_;
    long window_;
    std::vector<std::pair<long, long>> parts_;  // bands [first, second) of each part
    long long left_ = 0;      // pairs of smaller p than those ranked so far
    double running_ = 1.0;    // the q of the last pair ranked
    std::vector<Ranked> items_, scratch_;
};

// The counts of levels that are all alpha levels, from the upper triangle.
void countAlphaLevels(std::vector<Level>& levels, const Matrix& m, int V)
{
    std::vector<std::vector<long long>> counts(static_cast<size_t>(V));
    parallelFor(0, V, 4.0 * V * V, [&](long il) {
        const int i = static_cast<int>(il);
        counts[i].assign(levels.size(), 0);
        forEachEdge(V, levels.front().threshold, m, i, i + 1, [&](int, int, double x) {
            for (size_t l = 0; l < levels.size() && passes(x, levels[l].threshold); ++l) ++counts[i][l];
        });
    });
    for (const auto& c : counts)
        for (size_t l = 0; l < c.size(); ++l) levels[l].edges += c[l];
}

// The counts of any levels, a candidate's q read from its mirror cell.
void countLevels(std::vector<Level>& levels, const Matrix& m, int V, double low)
{
    if (std::none_of(levels.begin(), levels.end(), [](const Level& l) { return l.fdr; }))
        return countAlphaLevels(levels, m, V);
    const long bands = (V + kTile - 1) / kTile;
    std::vector<std::vector<long long>> counts(static_cast<size_t>(bands));
    parallelFor(0, bands, 2.0 * V * V, [&](long t) {
        std::vector<long long>& c = counts[t];
        c.assign(levels.size(), 0);
        forEachPairOfBand(V, t, [&](int a, int b) {
            const double r = m[a][b];
            if (!(std::fabs(r) >= low)) return;
            const int level = levelOf(levels, r, storedQ(m[b][a]));
            for (int l = 0; l <= level; ++l) ++c[l];
        });
    });
    for (const auto& c : counts)
        for (size_t l = 0; l < c.size(); ++l) levels[l].edges += c[l];
}

void fillThresholds(std::vector<Level>& levels, int N, int K)
{
    for (Level& l : levels) {
        l.threshold = l.fdr ? std::nan("") : thresholdFor(N, l.z, K);
        l.edges = 0;
    }
}

}  // namespace

void EdgeList::forEachText(int minLevel, bool withP, const Format& format,
                           const std::function<void(std::string_view)>& take) const
{
    std::string text;
    forEach(minLevel, withP, [&](std::span<const Edge> batch) {
        text.clear();
        format(batch, text);
        take(text);
    });
}

void EdgeVector::forEach(int minLevel, bool, const Take& take) const
{
    if (minLevel <= 0) {
        if (!edges_.empty()) take(edges_);
        return;
    }
    std::vector<Edge> kept;
    for (const Edge& e : edges_)
        if (e.level >= minLevel) kept.push_back(e);
    if (!kept.empty()) take(kept);
}

void selectInPlace(std::vector<Level>& levels, Matrix& result, int V, int N, int K,
                   double pruneAlpha, long window)
{
    fillThresholds(levels, N, K);
    const double low = candidateBound(levels, N, K, pruneAlpha);
    const double total = static_cast<double>(static_cast<long long>(V) * (V - 1) / 2);
    if (window <= 0) window = std::max(kSelectionWindow, static_cast<long>(V) * V / 16);
    Ranking(result, V, low, total, window).run(N, K);
    countLevels(levels, result, V, low);
}

StoredEdges::StoredEdges(const Matrix& result, int V, int N, int K, double pruneAlpha,
                         std::vector<Level> levels)
    : m_(result), V_(V), N_(N), K_(K), low_(candidateBound(levels, N, K, pruneAlpha)),
      levels_(std::move(levels))
{
}

// Band t of the rows [64t, 64t + 64): made a tile of 64 columns at a time,
// each row into its own list; handed over row after row.
struct StoredEdges::Band {
    std::vector<std::vector<Edge>> rows;
    std::string text;
};

void StoredEdges::makeBand(int t, int minLevel, bool withP, Band& band) const
{
    const int i0 = t * kWalkRows, i1 = std::min(V_, i0 + kWalkRows);
    band.rows.resize(kWalkRows);
    for (auto& row : band.rows) row.clear();
    for (int j0 = i0; j0 < V_; j0 += kTile)
        for (int i = i0; i < i1; ++i)
            for (int j = std::max(j0, i + 1), j1 = std::min(V_, j0 + kTile); j < j1; ++j) {
                const double r = m_[i][j];
                if (!(std::fabs(r) >= low_)) continue;
                const double q = storedQ(m_[j][i]);
                const int level = levelOf(levels_, r, q);
                if (level < 0 || level < minLevel) continue;
                band.rows[i - i0].push_back({i, j, r, withP ? fisherP(r, N_, K_) : std::nan(""), q, level});
            }
}

void StoredEdges::forEach(int minLevel, bool withP, const Take& take) const
{
    produceInOrder<Band>((V_ + kWalkRows - 1) / kWalkRows, threadCount(),
                         [&](int t, Band& band) { makeBand(t, minLevel, withP, band); },
                         [&](int, Band& band) {
                             for (const auto& row : band.rows)
                                 if (!row.empty()) take(row);
                         });
}

void StoredEdges::forEachText(int minLevel, bool withP, const Format& format,
                              const std::function<void(std::string_view)>& take) const
{
    produceInOrder<Band>((V_ + kWalkRows - 1) / kWalkRows, threadCount(),
                         [&](int t, Band& band) {
                             makeBand(t, minLevel, withP, band);
                             band.text.clear();
                             for (const auto& row : band.rows)
                                 if (!row.empty()) format(row, band.text);
                         },
                         [&](int, Band& band) {
                             if (!band.text.empty()) take(band.text);
                         });
}

void StoredEdges::restore(Matrix& result) const
{
    const long bands = (V_ + kTile - 1) / kTile;
    parallelFor(0, bands, 2.0 * V_ * V_, [&](long t) {
        forEachPairOfBand(V_, t, [&](int a, int b) {
            if (!std::isnan(result[a][b])) result[b][a] = result[a][b];
        });
    });
}

void selectEdges(std::vector<Level>& levels, std::vector<Edge>& edges, Matrix& result, int V,
                 int N, int K, double pruneAlpha, bool withPQ)
{
    edges.clear();
    if (!withPQ) {
        fillThresholds(levels, N, K);
        return countAlphaLevels(levels, result, V);
    }
    selectInPlace(levels, result, V, N, K, pruneAlpha);
    const StoredEdges stored(result, V, N, K, pruneAlpha, levels);
    stored.forEach(0, true, [&](std::span<const Edge> batch) { edges.insert(edges.end(), batch.begin(), batch.end()); });
    stored.restore(result);
}

Histogram keptHistogram(const Matrix& result, int V)
{
    Histogram h{-1.0, 0.02, std::vector<long long>(100, 0)};
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const double r = result[i][j];
            if (std::isnan(r)) continue;
            const int bin = std::clamp(static_cast<int>((r + 1) / 0.02), 0, 99);
            ++h.counts[bin];
        }
    return h;
}
