// The statistics of one run, from the observations to the result matrix: the
// one place where the literal loops or the fast kernels are chosen.
//
// The literal loops keep the covariance, the correlation and the combined
// matrix apart. The fast kernels hold one V x V store: the correlation is
// formed in it straight from the sums, and the sweeps keep the combined
// values in its upper triangle while the lower one keeps the correlation.
#include "core.h"
#include "parallel.h"
#include "sweep.h"

#include <algorithm>
#include <unistd.h>

namespace {

void analyseLiteral(const Method& method, int V, int N, Matrix& input, Matrix& result, Progress& p)
{
    std::vector<double> means(V, 0.0);
    Matrix cov(V, V);
    getCovMatLiteral(V, N, cov, input, means);
    Matrix corr(V, V);
    getCorrMatLiteral(V, corr, cov);
    if (method.order == 0) {
        result = std::move(corr);
        return;
    }
    cov = Matrix();
    result = Matrix(V, V);
    const double z = method.pruneZ;
    if (method.order == 1) getPartCorrMat1Literal(V, N, z, result, corr, p);
    else if (method.order == 2) getPartCorrMat2Literal(V, N, z, result, corr, p);
    else getPartCorrMat3Literal(V, N, z, result, corr, p);
}

}  // namespace

void correlate(const Method& method, int V, int N, Matrix& obs, Matrix& store)
{
    Matrix ranks;
    if (method.spearman) {
        ranks = Matrix(N, V, 0.0);
        getRanks(V, N, ranks, obs);
    }
    std::vector<double> means(V, 0.0);
    store = Matrix(V, V);
    getCorrStore(V, N, store, method.spearman ? ranks : obs, means);
}

void sweepPairs(const Method& method, int V, int N, Matrix& store, PairRows rows, Progress& p)
{
    const double z = method.pruneZ;
    if (method.order == 1) getPartCorrMat1InPlace(V, N, z, store, rows, p);
    else if (method.order == 2) getPartCorrMat2InPlace(V, N, z, store, rows, p);
    else if (method.order == 3) getPartCorrMat3InPlace(V, N, z, store, rows, p);
}

void analyse(const Method& method, Kernels k, int V, int N, Matrix& obs, Matrix& result,
             Progress& p)
{
    if (k == Kernels::fast) {
        correlate(method, V, N, obs, result);
        sweepPairs(method, V, N, result, PairRows{0, V}, p);
        return;
    }
    Matrix ranks;
    if (method.spearman) {
        ranks = Matrix(N, V, 0.0);
        getRanksLiteral(V, N, ranks, obs);
    }
    analyseLiteral(method, V, N, method.spearman ? ranks : obs, result, p);
}

long double runBytes(const Method& method, int V, int N, int threads)
{
    const long double v = V, n = N, name = 48;
    long double bytes = (v + n) * name + v * 16;                        // names, means, variances
    bytes += matrixBytes(n, v) * (method.spearman ? 2 : 1);             // observations, ranks
    bytes += (v + 7) * std::min<long double>(n, kCovarianceBlock) * 8;  // a block of them packed
    if (method.spearman) bytes += threads * n * 96;                    // a band being ranked
    // One V x V store. The first-order sweep adds a panel of its pass's
    // columns (in double, and four bytes a cell in fixed point), the peaks of
    // its stretches of 64 and one bit per pair; the second-order one a packed
    // copy of the upper triangle and, per batch of controlling variables,
    // their rows in double (twice), single precision (three times) and fixed
    // point, the peaks of every variable's stretches given each and, per
    // thread, a few rows; the third-order one copies the correlation beside
    // the store, keeps first-order rows and, for a window of controlling
    // variables, their rows in double (twice), single precision (twice) and
    // fixed point, and per thread a few rows.
    bytes += matrixBytes(v, v);
    if (method.order == 1)
        bytes += matrixBytes(v, kFirstOrderPanel) + v * kFirstOrderPanel * 4 +
                 v * kFirstOrderPanel / 8 + v * (v + kFirstOrderBand) / 8;
    if (method.order == 2)
        bytes += matrixBytes(1, v * (v - 1) / 2 + 1) + kSecondOrderBatch * v * 30 +
                 kSecondOrderBatch * v * (v + 63) / 64 * 2 + threads * v * 16;
    if (method.order >= 3)
        bytes += 2 * matrixBytes(v, v) + std::min<long double>(v, kThirdOrderWindow) * v * 26 +
                 threads * v * 16;
    return bytes;
}

std::string memoryShortfall(bool spearman, int order, int V, int N)
{
    const long double bytes = runBytes(Method{spearman, order}, V, N, threadCount());
    const long double memory =
        static_cast<long double>(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
    if (bytes <= memory * 0.9L) return "";
    return "not enough memory for " + std::to_string(V) + " variables and " + std::to_string(N) +
           " observations: the run needs about " +
           std::to_string(static_cast<long long>(bytes / (1 << 20))) + " MiB, this machine has " +
           std::to_string(static_cast<long long>(memory / (1 << 20))) + " MiB";
}
