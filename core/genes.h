// The genes and samples that the statistics can use: cells that are not
// numbers (missing values), genes without variance, repeated names.
#pragma once

#include "core.h"

#include <cstddef>
#include <string>
#include <vector>

// Up to five names, then how many more: "A, B, C, D, E and 3 more".
std::string someNames(const Names& names);
// "1 gene", "2 genes".
std::string plural(size_t n, const std::string& one, const std::string& many);

// Makes repeated names unique: the second TP53 becomes TP53.1, the third
// TP53.2, skipping names the list already holds (only with rename).
// Returns the repeated ones, in order.
Names uniqueNames(Names& names, bool rename);
