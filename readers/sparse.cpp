// The sparse matrix of a single-cell file: its stored values, the checks of
// a matrix read from a file, its missing values, the variances of its genes
// and the dense rows of the chosen genes.
#include "sparse.h"

#include "gene_choice.h"
#include "parallel.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numeric>

void StoredValues::reserve(size_t n)
{
    if (wide_)
        doubles_.reserve(n);
    else
        floats_.reserve(n);
}

void StoredValues::push(double x)
{
    if (!wide_) {
        // A float holds x exactly when x comes back from it (a value beyond
        // the range of a float never does; not-a-number stays one).
        if (std::isnan(x) || std::isinf(x) || std::fabs(x) <= FLT_MAX) {
            const float f = static_cast<float>(x);
            if (static_cast<double>(f) == x || std::isnan(x)) {
                floats_.push_back(f);
                return;
            }
        }
        doubles_.reserve(std::max(floats_.capacity(), floats_.size() + 1));
        doubles_.assign(floats_.begin(), floats_.end());
        std::vector<float>().swap(floats_);
        wide_ = true;
    }
    doubles_.push_back(x);
}

void StoredValues::set(size_t k, double x)
{
    if (wide_)
        doubles_[k] = x;
    else
        floats_[k] = static_cast<float>(x);
}

namespace {

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

// Sorts the indices of [begin, end) with their values, when they are not
// in order already.
void sortRun(SparseMatrix& m, int64_t begin, int64_t end)
{
    bool sorted = true;
    for (int64_t k = begin + 1; k < end && sorted; ++k) sorted = m.indices[k - 1] <= m.indices[k];
    if (sorted) return;
    std::vector<int64_t> order(static_cast<size_t>(end - begin));
    std::iota(order.begin(), order.end(), begin);
    std::stable_sort(order.begin(), order.end(),
                     [&](int64_t a, int64_t b) { return m.indices[a] < m.indices[b]; });
    std::vector<int32_t> indices;
    std::vector<double> values;
    for (int64_t k : order) {
        indices.push_back(m.indices[k]);
        values.push_back(m.values[k]);
    }
    for (int64_t k = begin; k < end; ++k) {
        m.indices[k] = indices[k - begin];
        m.values.set(k, values[k - begin]);
    }
}

}  // namespace

std::string settle(SparseTable& t)
{
    SparseMatrix& m = t.matrix;
    if (static_cast<long>(t.genes.size()) != m.genes)
        return std::to_string(m.genes) + " genes in the matrix but " +
               std::to_string(t.genes.size()) + " gene names";
    if (static_cast<long>(t.cells.size()) != m.cells)
        return std::to_string(m.cells) + " cells in the matrix but " +
               std::to_string(t.cells.size()) + " cell names";
    const int64_t stored = static_cast<int64_t>(m.values.size());
    const long majors = m.majors(), minors = m.minors();
    const char* major = m.byGene ? "gene" : "cell";
    if (static_cast<int64_t>(m.indices.size()) != stored)
        return std::to_string(stored) + " values but " + std::to_string(m.indices.size()) +
               " indices";
    if (static_cast<long>(m.starts.size()) != majors + 1 || m.starts.front() != 0 ||
        m.starts.back() != stored)
        return "the offsets of the " + std::string(major) + "s do not run from 0 to the " +
               std::to_string(stored) + " values";
    for (long k = 0; k < majors; ++k)
        if (m.starts[k + 1] < m.starts[k])
            return "the offsets of the " + std::string(major) + "s fall at " + major + " " +
                   quoted((m.byGene ? t.genes : t.cells)[k]);
    for (int64_t k = 0; k < stored; ++k)
        if (m.indices[k] < 0 || m.indices[k] >= minors)
            return "an index of " + std::to_string(m.indices[k]) + " where there are " +
                   std::to_string(minors) + (m.byGene ? " cells" : " genes");
    for (long k = 0; k < majors; ++k) {
        sortRun(m, m.starts[k], m.starts[k + 1]);
        for (int64_t v = m.starts[k] + 1; v < m.starts[k + 1]; ++v)
            if (m.indices[v] == m.indices[v - 1]) {
                const long g = m.byGene ? k : m.indices[v], c = m.byGene ? m.indices[v] : k;
                return "gene " + quoted(t.genes[g]) + ", cell " + quoted(t.cells[c]) +
                       ": two values are stored for it";
            }
    }
    return "";
}

MissingCells findMissing(const SparseMatrix& m)
{
    MissingCells f;
    f.genes.assign(m.genes, 0);
    f.cells.assign(m.cells, 0);
    // The first in gene, then cell, order.
    const auto earlier = [](long g, long c, long fg, long fc) {
        return fg < 0 || g < fg || (g == fg && c < fc);
    };
    for (long k = 0; k < m.majors(); ++k)
        for (int64_t v = m.starts[k]; v < m.starts[k + 1]; ++v) {
            const double x = m.values[v];
            if (!std::isnan(x) && !std::isinf(x)) continue;
            const long g = m.byGene ? k : m.indices[v], c = m.byGene ? m.indices[v] : k;
            if (std::isinf(x)) {
                if (earlier(g, c, f.infiniteGene, f.infiniteCell))
                    f.infiniteGene = g, f.infiniteCell = c;
                continue;
            }
            ++f.count;
            f.genes[g] = f.cells[c] = 1;
            if (earlier(g, c, f.firstGene, f.firstCell)) f.firstGene = g, f.firstCell = c;
        }
    return f;
}

std::vector<double> geneVariances(const SparseMatrix& m, const std::vector<char>& cellOut)
{
    const auto out = [&](long c) { return !cellOut.empty() && cellOut[c]; };
    long n = m.cells;
    for (long c = 0; c < m.cells; ++c) n -= out(c);
    std::vector<double> variance(m.genes, 0);
    if (m.byGene) {
        parallelFor(0, m.genes, 4.0 * static_cast<double>(m.values.size()), [&](long g) {
            VarianceSums v;
            for (int64_t k = m.starts[g]; k < m.starts[g + 1]; ++k)
                if (!out(m.indices[k]) && !isZero(m.values[k])) addValue(v, m.values[k]);
            const double mean = meanOf(v, n);
            for (int64_t k = m.starts[g]; k < m.starts[g + 1]; ++k)
                if (!out(m.indices[k]) && !isZero(m.values[k])) addSquare(v, m.values[k], mean);
            variance[g] = varianceOf(v, mean, n);
        });
        return variance;
    }
    // By cell: every gene's sums grow cell after cell, the order of a gene's
    // own values.
    std::vector<VarianceSums> sums(m.genes);
    for (long c = 0; c < m.cells; ++c)
        if (!out(c))
            for (int64_t k = m.starts[c]; k < m.starts[c + 1]; ++k)
                if (!isZero(m.values[k])) addValue(sums[m.indices[k]], m.values[k]);
    std::vector<double> mean(m.genes);
    for (long g = 0; g < m.genes; ++g) mean[g] = meanOf(sums[g], n);
    for (long c = 0; c < m.cells; ++c)
        if (!out(c))
            for (int64_t k = m.starts[c]; k < m.starts[c + 1]; ++k)
                if (!isZero(m.values[k]))
                    addSquare(sums[m.indices[k]], m.values[k], mean[m.indices[k]]);
    for (long g = 0; g < m.genes; ++g) variance[g] = varianceOf(sums[g], mean[g], n);
    return variance;
}

std::vector<double> denseRows(const SparseMatrix& m, const std::vector<long>& genes,
                              const std::vector<long>& cells)
{
    const long G = static_cast<long>(genes.size()), C = static_cast<long>(cells.size());
    std::vector<double> rows(static_cast<size_t>(G) * static_cast<size_t>(C), 0.0);
    std::vector<long> row(m.genes, -1), column(m.cells, -1);
    for (long r = 0; r < G; ++r) row[genes[r]] = r;
    for (long c = 0; c < C; ++c) column[cells[c]] = c;
    const double work = 2.0 * static_cast<double>(m.values.size());
    if (m.byGene) {
        parallelFor(0, G, work, [&](long r) {
            double* out = rows.data() + r * C;
            for (int64_t k = m.starts[genes[r]]; k < m.starts[genes[r] + 1]; ++k)
                if (column[m.indices[k]] >= 0) out[column[m.indices[k]]] = m.values[k];
        });
    } else {
        // Each cell fills its own column.
        parallelFor(0, C, work, [&](long c) {
            for (int64_t k = m.starts[cells[c]]; k < m.starts[cells[c] + 1]; ++k)
                if (row[m.indices[k]] >= 0) rows[row[m.indices[k]] * C + c] = m.values[k];
        });
    }
    return rows;
}
