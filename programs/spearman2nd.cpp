// spearman2nd: Spearman correlation, partial correlations up to order 2.
#include "profiles.h"

int main() { return runProgram(profileOf("spearman2nd"), PROGRAM_KERNELS); }
