// pearson2nd: Pearson correlation, partial correlations up to order 2.
#include "profiles.h"

int main() { return runProgram(profileOf("pearson2nd"), PROGRAM_KERNELS); }
