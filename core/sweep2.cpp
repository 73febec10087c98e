// Second-order sweep: per first controlling variable c1, the first-order
// coefficients F given c1 (offered, never pruned), then per c2 > c1 the
// second-order coefficients from F (pruned at the order-2 threshold).
#include "parallel.h"
#include "sweep.h"

namespace {

void progressLine2(Progress& p, int c1, int c2)
{
    if (!p.out) return;
    *p.out << "Controlled for " << c1 + 1 << " and " << c2 + 1 << " Time: ";
    writeTime(p);
}

// The share of the work done once c1 is through: each c1 costs about one
// pass per c2 > c1, plus one for the first-order coefficients.
double doneAfter2(int V, int c1)
{
    const double v = V, rest = V - c1 - 1.0;
    return 1 - rest * (rest + 1) / (v * (v + 1));
}

}  // namespace

void getPartCorrMat2Literal(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 2);
    Matrix F(V, V, 0.0);
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
                    if (pruned(combined[i][j], threshold)) continue;
                    offer(combined[i][j], partialStep(F[i][j], F[i][c2], F[c2][j]));
                }
            }
            progressLine2(p, c1, c2);
        }
        reportDone(p, doneAfter2(V, c1));
    }
}

// Within one c1, pairs are independent: each pair takes its first-order
// coefficient, then its run over c2 > c1, as in the literal loops. A pair
// already pruned has nothing more to take in this c1.
void getPartCorrMat2(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 2);
    Matrix F(V, V);
    initCombined(V, combined, corr);
    std::string lines;
    for (int c1 = 0; c1 < V; ++c1) {
        const double v = V;
        parallelFor(0, V, v * v * 10, [&](long i) {
            if (i != c1) partialRow(F[i], corr, static_cast<int>(i), c1, 0, V);
        });
        parallelFor(0, V, v * v * (V - c1) / 16, [&](long il) {
            const int i = static_cast<int>(il);
            if (i == c1) return;
            double* row = combined[i];
            const double* fi = F[i];
            for (int j = i + 1; j < V; ++j) {
                if (j == c1) continue;
                double v = row[j];
                offer(v, fi[j]);
                row[j] = pruned(v, threshold)
                             ? v
                             : offerRun(v, fi[j], fi, F[j], c1 + 1, V, i, j, threshold);
            }
        });
        reportDone(p, doneAfter2(V, c1));
        if (!p.out) continue;
        lines.clear();
        const std::string& time = timeNow(p);
        appendProgressLines(lines, "Controlled for " + std::to_string(c1 + 1) + " and ", c1 + 2,
                            V + 1, " Time: ", time);
        *p.out << lines;
    }
}

void getPartCorrMat2InPlace(int V, int N, double pruneZ, Matrix& store, Progress& p)
{
    const Matrix corr = store;
    getPartCorrMat2(V, N, pruneZ, store, corr, p);
}
