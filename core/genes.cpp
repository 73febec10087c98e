// Names of genes: how lists of them are shown, and repeated ones made unique.
#include "genes.h"

#include <map>
#include <set>

std::string someNames(const Names& names)
{
    std::string s;
    for (size_t k = 0; k < names.size() && k < 5; ++k) s += (k ? ", " : "") + names[k];
    if (names.size() > 5) s += " and " + std::to_string(names.size() - 5) + " more";
    return s;
}

std::string plural(size_t n, const std::string& one, const std::string& many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

Names uniqueNames(Names& names, bool rename)
{
    std::set<std::string> taken(names.begin(), names.end());
    std::map<std::string, int> seen;
    Names repeated;
    for (std::string& name : names) {
        int& count = seen[name];
        if (count++ == 0) continue;
        repeated.push_back(name);
        if (!rename) continue;
        int k = count - 1;
        std::string fresh = name + "." + std::to_string(k);
        while (taken.count(fresh)) fresh = name + "." + std::to_string(++k);
        taken.insert(fresh);
        name = fresh;
    }
    return repeated;
}
