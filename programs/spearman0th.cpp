// spearman0th: Spearman correlation, no partial correlations.
#include "profiles.h"

int main() { return runProgram(profileOf("spearman0th"), PROGRAM_KERNELS); }
