// spearman1st: Spearman correlation, partial correlations up to order 1.
#include "profiles.h"

int main() { return runProgram(profileOf("spearman1st"), PROGRAM_KERNELS); }
