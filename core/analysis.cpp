// The statistics of one run, from the observations to the result matrix: the
// one place where the literal loops or the fast kernels are chosen.
//
// The literal loops keep the covariance, the correlation and the combined
// matrix apart. The fast kernels hold one V x V store: the correlation is
// formed in it straight from the sums, and the sweeps keep the combined
// values in its upper triangle while the lower one keeps the correlation.
#include "core.h"

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
