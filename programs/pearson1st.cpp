// pearson1st: Pearson correlation, partial correlations up to order 1.
#include "profiles.h"

int main() { return runProgram(profileOf("pearson1st"), PROGRAM_KERNELS); }
