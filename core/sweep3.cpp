// Third-order sweep: per c1 the first-order coefficients F, per c2 > c1 the
// second-order coefficients S from F (both offered, never pruned), then per
// c3 > c2 the third-order coefficients from S, pruned at the order-3 threshold.
#include "parallel.h"
#include "sweep.h"

namespace {

void progressLine3(Progress& p, int c1, int c2, int c3)
{
    p.out << "Controlled for " << c1 + 1 << ", " << c2 + 1 << " and " << c3 + 1 << " Time: ";
    writeTime(p);
}

}  // namespace

void getPartCorrMat3Literal(int V, int N, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, 1.96, 3);
    Matrix F(V, std::vector<double>(V));
    Matrix S(V, std::vector<double>(V));
    initCombined(V, combined, corr);
    for (int c1 = 0; c1 < V; ++c1) {
        for (int i = 0; i < V; ++i) {
            if (i == c1) continue;
            for (int j = i + 1; j < V; ++j) {
                if (j == c1) continue;
                const double r = partialStep(corr[i][j], corr[i][c1], corr[j][c1]);
                F[i][j] = r;
                F[j][i] = r;
                offer(combined[i][j], r);
            }
        }
        for (int c2 = c1 + 1; c2 < V; ++c2) {
            for (int i = 0; i < V; ++i) {
                if (i == c2 || i == c1) continue;
                for (int j = i + 1; j < V; ++j) {
                    if (j == c2 || j == c1) continue;
                    const double r = partialStep(F[i][j], F[i][c2], F[c2][j]);
                    S[i][j] = r;
                    S[j][i] = r;
                    offer(combined[i][j], r);
                }
            }
            for (int c3 = c2 + 1; c3 < V; ++c3) {
                for (int i = 0; i < V; ++i) {
                    if (i == c3 || i == c2 || i == c1) continue;
                    for (int j = i + 1; j < V; ++j) {
                        if (j == c3 || j == c2 || j == c1) continue;
                        if (pruned(combined[i][j], threshold)) continue;
                        offer(combined[i][j], partialStep(S[i][j], S[i][c3], S[c3][j]));
                    }
                }
                progressLine3(p, c1, c2, c3);
            }
        }
    }
}

// Within one (c1, c2), pairs are independent: each takes its second-order
// coefficient, then its run over c3 > c2.
void getPartCorrMat3(int V, int N, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, 1.96, 3);
    Matrix F(V, std::vector<double>(V));
    Matrix S(V, std::vector<double>(V));
    initCombined(V, combined, corr);
    for (int c1 = 0; c1 < V; ++c1) {
        parallelFor(0, V, [&](long i) {
            if (i != c1) partialRow(V, F[i], corr, static_cast<int>(i), c1);
        });
        parallelFor(0, V, [&](long il) {
            const int i = static_cast<int>(il);
            if (i == c1) return;
            for (int j = i + 1; j < V; ++j)
                if (j != c1) offer(combined[i][j], F[i][j]);
        });
        for (int c2 = c1 + 1; c2 < V; ++c2) {
            parallelFor(0, V, [&](long i) {
                if (i != c1 && i != c2) partialRow(V, S[i], F, static_cast<int>(i), c2);
            });
            parallelFor(0, V, [&](long il) {
                const int i = static_cast<int>(il);
                if (i == c1 || i == c2) return;
                double* row = combined[i].data();
                const double* si = S[i].data();
                for (int j = i + 1; j < V; ++j) {
                    if (j == c1 || j == c2) continue;
                    double v = row[j];
                    offer(v, si[j]);
                    row[j] = offerRun(v, si[j], si, S[j].data(), c2 + 1, V, i, j, threshold);
                }
            });
            for (int c3 = c2 + 1; c3 < V; ++c3) progressLine3(p, c1, c2, c3);
        }
    }
}
