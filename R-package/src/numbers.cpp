// Numbers read from text exactly as the command's reader reads them:
// correctly rounded, where R's own conversion can be one unit in the last
// place off.
#include "core.h"

#include <Rcpp.h>

#include <cmath>
#include <limits>
#include <string_view>

// Each string as a double; NA where it is NA or not a number. The texts a
// shortest-form writer gives for non-finite values (nan, inf, -inf) are read
// as such.
// [[Rcpp::export(.read_numbers)]]
Rcpp::NumericVector readNumbers(Rcpp::CharacterVector text)
{
    Rcpp::NumericVector out(text.size());
    for (R_xlen_t k = 0; k < text.size(); ++k) {
        const SEXP cell = STRING_ELT(text, k);
        if (cell == NA_STRING) {
            out[k] = NA_REAL;
            continue;
        }
        const std::string_view t = CHAR(cell);
        double value = 0;
        if (t == "nan" || t == "-nan") value = std::numeric_limits<double>::quiet_NaN();
        else if (t == "inf") value = std::numeric_limits<double>::infinity();
        else if (t == "-inf") value = -std::numeric_limits<double>::infinity();
        else if (!parseNumber(t, value).empty()) value = NA_REAL;
        out[k] = value;
    }
    return out;
}
