// The genes a run keeps: the names asked for found, the most variable
// ranked, and the variances of dense rows.
#include "gene_choice.h"

#include "assocnet/assocnet.h"
#include "genes.h"

#include <algorithm>
#include <cstdio>
#include <set>

std::vector<double> rowVariances(const double* values, long genes, long samples)
{
    std::vector<double> variance(genes);
    for (long g = 0; g < genes; ++g) {
        const double* row = values + g * samples;
        VarianceSums v;
        for (long s = 0; s < samples; ++s)
            if (!isZero(row[s])) addValue(v, row[s]);
        const double mean = meanOf(v, samples);
        for (long s = 0; s < samples; ++s)
            if (!isZero(row[s])) addSquare(v, row[s], mean);
        variance[g] = varianceOf(v, mean, samples);
    }
    return variance;
}

GeneChoice chooseGenes(const Names& names, const std::vector<char>& dropped,
                       const std::vector<std::string>& wanted, long top,
                       const std::function<std::vector<double>()>& variances,
                       const std::string& where)
{
    const long G = static_cast<long>(names.size());
    const auto kept = [&](long g) { return dropped.empty() || !dropped[g]; };
    GeneChoice choice;
    std::vector<long>& genes = choice.genes;
    if (wanted.empty()) {
        for (long g = 0; g < G; ++g)
            if (kept(g)) genes.push_back(g);
    } else {
        const std::set<std::string> asked(wanted.begin(), wanted.end());
        std::set<std::string> found;
        for (long g = 0; g < G; ++g)
            if (asked.count(names[g])) {
                found.insert(names[g]);
                if (kept(g)) genes.push_back(g);
            }
        Names unknown;
        std::set<std::string> listed;
        for (const std::string& name : wanted)
            if (!found.count(name) && listed.insert(name).second) unknown.push_back(name);
        if (!unknown.empty())
            throw assocnet::Error(where + plural(unknown.size(), "gene", "genes") + " asked for " +
                                  (unknown.size() == 1 ? "is" : "are") +
                                  " not in the file: " + someNames(unknown));
    }
    choice.candidates = static_cast<long>(genes.size());
    long total = 0;
    for (long g = 0; g < G; ++g) total += kept(g);
    const std::string named = std::to_string(choice.candidates) + " named";
    if (top <= 0 || genes.empty()) {
        if (!wanted.empty()) choice.text = named + " of " + plural(total, "gene", "genes");
        return choice;
    }
    const std::vector<double> variance = variances();
    // Largest variance first (one that is not a number last), then by name,
    // then in file order.
    std::vector<long> ranked = genes;
    const auto before = [&](long a, long b) {
        const double va = variance[a], vb = variance[b];
        if (std::isnan(va) != std::isnan(vb)) return std::isnan(vb);
        if (va != vb && !std::isnan(va)) return va > vb;
        if (names[a] != names[b]) return names[a] < names[b];
        return a < b;
    };
    std::sort(ranked.begin(), ranked.end(), before);
    if (static_cast<long>(ranked.size()) > top) ranked.resize(top);
    choice.varianceCut = variance[ranked.back()];
    std::sort(ranked.begin(), ranked.end());
    genes.swap(ranked);
    char cut[32];
    std::snprintf(cut, sizeof cut, "%.6g", choice.varianceCut);
    choice.text = "the " + std::to_string(genes.size()) + " most variable of " +
                  (wanted.empty() ? "" : "the " + named + " of ") + plural(total, "gene", "genes") +
                  " (variance at least " + cut + ")";
    return choice;
}
