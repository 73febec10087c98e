#include "profiles.h"

#include <cstdlib>

// clang-format off
const Profile kProfiles[7] = {
    {"pearson0th",  false, 0, "Pearson0th",  {1.96,   3.2905, 3.8906},
     {"ZEROTH ORDER PEARSON CORRELATION MATRIX", false},            {" r0pos ", " r0neg "}},
    {"pearson1st",  false, 1, "Pearson1st",  {2.5758, 3.2905, 3.8906},
     {"COMBINED FIRST ORDER PEARSON CORRELATION MATRIX", true},     {" r2pos ", " r2neg "}},
    {"pearson2nd",  false, 2, "Pearson2nd",  {2.5758, 3.2905, 3.8906},
     {"COMBINED SECOND ORDER PEARSON CORRELATION MATRIX", true},    {" r2pos ", " r2neg "}},
    {"pearson3rd",  false, 3, "Pearson3rd",  {2.5758, 3.2905, 3.8906},
     {"COMBINED THIRD ORDER PEARSON CORRELATION MATRIX", true},     {" r3pos ", " r3neg "}},
    {"spearman0th", true,  0, "Spearman0th", {2.5758, 3.2905, 3.8906},
     {"ZEROTH ORDER SPEARMAN CORRELATION MATRIX", true},            {" r2pos ", " r2neg "}},
    {"spearman1st", true,  1, "Spearman1st", {2.5758, 3.2905, 3.8906},
     {"COMBINED FIRST ORDER SPEARMAN CORRELATION MATRIX", true},    {" r2pos ", " r2neg "}},
    {"spearman2nd", true,  2, "Spearman2nd", {2.5758, 3.2905, 3.8906},
     {"COMBINED SECOND ORDER SPEARMAN CORRELATION MATRIX", true},   {" r2pos ", " r2neg "}},
};
// clang-format on

const std::string_view kSuffixes[7] = {
    "_matrix.csv",       "_network_0.01.sif", "_network_0.001.sif", "_network_0.0001.sif",
    "_network_0.01.net", "_network_0.001.net", "_network_0.0001.net",
};

const Profile& profileOf(std::string_view program)
{
    for (const Profile& p : kProfiles)
        if (p.program == program) return p;
    std::abort();
}
