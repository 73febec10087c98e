// The checks of a table as the statistics take it, whichever reader read
// it (or the caller's matrix), and how its names stand in their messages.
//
//   namesNotUtf8     why names cannot go into the files as they are (not UTF-8)
//   valuesOutOfRange why values would overflow or underflow the covariance
//   shownText        a name as it stands in a message
//   utf8Sequence     the length of one UTF-8 character
#pragma once

#include "core.h"

#include <cstddef>
#include <string>
#include <string_view>

// Checks of a table as the statistics take it: its values, with the names of
// its genes and samples. Each returns "" or one line on what is wrong,
// naming names but no file.
//
// Names that are not UTF-8 text: counted, the first few shown with their bad
// bytes escaped, and how to convert them.
std::string namesNotUtf8(const Names& genes, const Names& samples);
// Genes whose values spread so wide (or so narrow) that the sums of their
// products in the covariance, or the product of two variances, would
// overflow (or underflow) a double: the first named with its range, the
// others counted. Values far from 1 but within these bounds pass. The value
// of gene g in sample s stands at values[g * geneStride + s * sampleStride].
std::string valuesOutOfRange(const double* values, long geneStride, long sampleStride,
                             const Names& genes, const Names& samples);
// A name or token as it may stand in a message: about 40 bytes, characters
// as they are (UTF-8 included), control bytes and bytes that are not UTF-8 as \xNN.
std::string shownText(std::string_view token);
// The length of the UTF-8 sequence of a character that is not ASCII at text[k]
// (2 to 4), or 0 when the bytes there are no such sequence.
size_t utf8Sequence(std::string_view text, size_t k);
