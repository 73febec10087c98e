// Significance of kept coefficients: the z of a two-sided level, Fisher-z
// p-values and Benjamini-Hochberg q-values. Every routine gives the same bits
// for the same input, on any number of threads.
//
// zForAlpha         returns the z of a two-sided level alpha.
// fisherP           returns the two-sided p-value of a coefficient r at an order.
// benjaminiHochberg fills q with the adjusted values of the p-values in p.
#pragma once

#include <vector>

// The standard-normal quantile of 1 - alpha / 2 (2.5758293035489004 for 0.01),
// within one ulp of the exact value; alpha in (0, 1).
double zForAlpha(double alpha);

// Two-sided Fisher-z p-value of r at order K with N samples, computed as
// erfc(((|atanh r| * sqrt(N - 3 - K)) / sqrt 2)), in that order: 1 where
// N - 3 - K = 0 and |r| < 1, 0 where |r| = 1 and N - 3 - K > 0, not-a-number
// where N - 3 - K < 0, |r| > 1, r is not a number, or |r| = 1 and N - 3 - K = 0.
double fisherP(double r, int N, int order);

// Benjamini-Hochberg adjustment of some of `total` tests (total >= p.size()).
// p holds the p-values given, in any order: at least every test whose p is at
// or below some cutoff. Fills q (resized to p.size(), same order) with
// q_(k) = min over j >= k of min(1, p_(j) * total / j), the ranks j counted
// among the p given, ordered by p and then by position in p; equal p get
// equal q. A computed q is never below the q of the full set of tests and
// equals it whenever either is at or below the cutoff. Not-a-number p rank
// last and get not-a-number q.
void benjaminiHochberg(const std::vector<double>& p, long long total, std::vector<double>& q);
