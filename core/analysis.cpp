// The statistics of one run, from the observations to the result matrix: the
// one place where the literal loops or the fast kernels are chosen.
#include "core.h"

void getPartCorrMat(int order, Kernels k, int V, int N, double pruneZ, Matrix& combined,
                    const Matrix& corr, Progress& p)
{
    const bool literal = k == Kernels::literal;
    if (order == 1)
        (literal ? getPartCorrMat1Literal : getPartCorrMat1)(V, N, pruneZ, combined, corr, p);
    else if (order == 2)
        (literal ? getPartCorrMat2Literal : getPartCorrMat2)(V, N, pruneZ, combined, corr, p);
    else
        (literal ? getPartCorrMat3Literal : getPartCorrMat3)(V, N, pruneZ, combined, corr, p);
}

void analyse(const Method& method, Kernels k, int V, int N, Matrix& obs, Matrix& result,
             Progress& p)
{
    const bool literal = k == Kernels::literal;
    Matrix ranks(method.spearman ? N : 0, std::vector<double>(V));
    if (method.spearman) (literal ? getRanksLiteral : getRanks)(V, N, ranks, obs);
    Matrix& input = method.spearman ? ranks : obs;
    std::vector<double> means(V, 0.0);
    Matrix cov(V, std::vector<double>(V));
    (literal ? getCovMatLiteral : getCovMat)(V, N, cov, input, means);
    Matrix corr(V, std::vector<double>(V));
    (literal ? getCorrMatLiteral : getCorrMat)(V, corr, cov);
    if (method.order == 0) {
        result = std::move(corr);
        return;
    }
    cov = Matrix();
    result.assign(V, std::vector<double>(V));
    getPartCorrMat(method.order, k, V, N, method.pruneZ, result, corr, p);
}
