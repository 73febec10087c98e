// pearson0th: Pearson correlation, no partial correlations.
#include "profiles.h"

int main() { return runProgram(profileOf("pearson0th"), PROGRAM_KERNELS); }
