// The seven programs' table reader.
#pragma once

#include "core.h"

#include <string>
#include <string_view>

// Fills obs (N rows of V), varNames (V, first "-" removed) and obsNames (N)
// from the text of the table. Returns "" when the table holds everything that
// V and N promise, else a one-line message naming the line and what was expected.
std::string getObsMat(int V, int N, Matrix& obs, Names& varNames, Names& obsNames,
                      std::string_view text);
