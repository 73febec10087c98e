// pearson3rd: Pearson correlation, partial correlations up to order 3.
#include "profiles.h"

int main() { return runProgram(profileOf("pearson3rd"), PROGRAM_KERNELS); }
