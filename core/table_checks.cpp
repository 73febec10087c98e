// The checks of names and values that any table passes before its
// statistics, and how a name stands in their messages.
#include "table.h"

#include "genes.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

bool isUtf8(std::string_view text)
{
    for (size_t k = 0; k < text.size();) {
        const size_t n = static_cast<unsigned char>(text[k]) < 0x80 ? 1 : utf8Sequence(text, k);
        if (n == 0) return false;
        k += n;
    }
    return true;
}

// The spread of a gene's values (largest minus smallest) within which the
// covariance's sums of products, and the product of two variances, stay
// normal doubles for any number of samples: a variance lies between the
// squared spread over 2(N - 1) and half the squared spread.
constexpr double kWidestSpread = 1e75, kNarrowestSpread = 1e-70;

}  // namespace

std::string shownText(std::string_view token)
{
    std::string s;
    size_t k = 0;
    while (k < token.size() && k < 40) {
        const unsigned char c = static_cast<unsigned char>(token[k]);
        const size_t n = c >= 0x80 ? utf8Sequence(token, k) : c >= 32 && c < 127 ? 1 : 0;
        if (n > 0) {
            s.append(token.substr(k, n));
            k += n;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        s += hex;
        ++k;
    }
    if (k < token.size()) s += "...";
    return s;
}

size_t utf8Sequence(std::string_view text, size_t k)
{
    const auto byte = [&](size_t m) { return static_cast<unsigned char>(text[k + m]); };
    const unsigned char c = byte(0);
    const size_t more = c >= 0xc2 && c <= 0xdf   ? 1
                        : c >= 0xe0 && c <= 0xef ? 2
                        : c >= 0xf0 && c <= 0xf4 ? 3
                                                 : 0;
    if (more == 0 || text.size() - k <= more) return 0;
    for (size_t m = 1; m <= more; ++m)
        if ((byte(m) & 0xc0) != 0x80) return 0;
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    const unsigned char second = byte(1);
    if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second >= 0xa0) ||
        (c == 0xf0 && second < 0x90) || (c == 0xf4 && second >= 0x90))
        return 0;
    return more + 1;
}

std::string namesNotUtf8(const Names& genes, const Names& samples)
{
    constexpr size_t kShown = 3;
    size_t count = 0;
    std::string some;
    const auto look = [&](const Names& names, const char* what) {
        for (const std::string& name : names) {
            if (isUtf8(name)) continue;
            if (++count <= kShown)
                some += (count > 1 ? ", " : "") + std::string(what) + " \"" + shownText(name) + "\"";
        }
    };
    look(genes, "gene");
    look(samples, "sample");
    if (count == 0) return "";
    return plural(count, "name", "names") + (count == 1 ? " is" : " are") +
           " not UTF-8 text: " + some + (count > kShown ? " and more" : "") +
           "; convert the table with iconv -f WINDOWS-1252 -t UTF-8 (or from its own encoding), "
           "or read it with --encoding cp1252 or --encoding latin1";
}

std::string valuesOutOfRange(const double* values, long geneStride, long sampleStride,
                             const Names& genes, const Names& samples)
{
    const size_t S = samples.size();
    if (S == 0) return "";
    // The sum of a gene's values, for its mean, stays finite below this.
    const double largest = std::numeric_limits<double>::max() / static_cast<double>(S);
    size_t count = 0;
    std::string first;  // the first gene out of range and its values
    bool wide = false;
    for (size_t g = 0; g < genes.size(); ++g) {
        const double* v = values + static_cast<long>(g) * geneStride;
        double low = v[0], high = v[0];
        for (size_t s = 1; s < S; ++s) {
            low = std::min(low, v[static_cast<long>(s) * sampleStride]);
            high = std::max(high, v[static_cast<long>(s) * sampleStride]);
        }
        const double spread = high - low;
        const bool tooWide = !(spread <= kWidestSpread) || std::max(-low, high) > largest;
        const bool tooNarrow = spread > 0 && spread < kNarrowestSpread;
        if ((!tooWide && !tooNarrow) || count++ > 0) continue;
        char range[96];
        std::snprintf(range, sizeof range, "from %g to %g", low, high);
        first = "gene \"" + shownText(genes[g]) + "\" has values " + range;
        wide = tooWide;
    }
    if (count == 0) return "";
    const std::string more =
        count > 1 ? " (and " + plural(count - 1, "more gene", "more genes") + " like it)" : "";
    return first + more +
           (wide ? ": products of such values overflow a double in the covariance; divide the "
                   "values by a power of ten"
                 : ", which differ by less than 1e-70: products of their differences underflow a "
                   "double in the covariance; multiply the values by a power of ten");
}
