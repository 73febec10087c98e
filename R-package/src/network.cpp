// The R entry of network() and coefficients(): R's matrix read in place, the
// run beside the R thread, and the result as R vectors.
#include "beside.h"

#include <algorithm>

namespace {

std::vector<std::string> stringsOf(const Rcpp::CharacterVector& names)
{
    std::vector<std::string> out;
    out.reserve(names.size());
    for (R_xlen_t k = 0; k < names.size(); ++k) {
        const SEXP name = STRING_ELT(names, k);
        out.emplace_back(name == NA_STRING ? "NA" : Rf_translateCharUTF8(name));
    }
    return out;
}

Rcpp::CharacterVector charactersOf(const std::vector<std::string>& strings)
{
    Rcpp::CharacterVector out(strings.size());
    for (size_t k = 0; k < strings.size(); ++k)
        out[k] = Rf_mkCharLenCE(strings[k].data(), static_cast<int>(strings[k].size()), CE_UTF8);
    return out;
}

assocnet::Missing missingOf(const std::string& policy)
{
    if (policy == "drop-genes") return assocnet::Missing::dropGenes;
    if (policy == "drop-samples") return assocnet::Missing::dropSamples;
    return assocnet::Missing::refuse;
}

// The kept coefficients as a V x V matrix, read in tiles so that both the
// rows of the store and the columns of R's matrix are read in runs.
Rcpp::NumericMatrix coefficientMatrix(const assocnet::Coefficients& c)
{
    const long V = c.size();
    Rcpp::NumericMatrix out(V, V);
    double* cells = out.begin();
    constexpr long kTile = 64;
    for (long jb = 0; jb < V; jb += kTile)
        for (long ib = 0; ib < V; ib += kTile)
            for (long j = jb; j < std::min(jb + kTile, V); ++j)
                for (long i = ib; i < std::min(ib + kTile, V); ++i) cells[i + j * V] = c.at(i, j);
    return out;
}

Rcpp::List levelsOf(const std::vector<assocnet::Level>& levels)
{
    const size_t n = levels.size();
    Rcpp::CharacterVector name(n);
    Rcpp::NumericVector alpha(n), z(n), threshold(n), edges(n);
    Rcpp::LogicalVector fdr(n);
    for (size_t k = 0; k < n; ++k) {
        const assocnet::Level& l = levels[k];
        name[k] = l.name;
        alpha[k] = l.alpha;
        fdr[k] = l.fdr;
        z[k] = l.z;
        threshold[k] = l.threshold;
        edges[k] = static_cast<double>(l.edges);
    }
    return Rcpp::List::create(Rcpp::Named("name") = name, Rcpp::Named("alpha") = alpha,
                              Rcpp::Named("fdr") = fdr, Rcpp::Named("z") = z,
                              Rcpp::Named("threshold") = threshold, Rcpp::Named("edges") = edges);
}

// The edges with 1-based gene and level indices.
Rcpp::List edgesOf(const std::vector<assocnet::Edge>& edges)
{
    const size_t n = edges.size();
    Rcpp::IntegerVector i(n), j(n), level(n);
    Rcpp::NumericVector r(n), p(n), q(n);
    for (size_t k = 0; k < n; ++k) {
        const assocnet::Edge& e = edges[k];
        i[k] = e.i + 1;
        j[k] = e.j + 1;
        r[k] = e.r;
        p[k] = e.p;
        q[k] = e.q;
        level[k] = e.level + 1;
    }
    return Rcpp::List::create(Rcpp::Named("i") = i, Rcpp::Named("j") = j, Rcpp::Named("r") = r,
                              Rcpp::Named("p") = p, Rcpp::Named("q") = q,
                              Rcpp::Named("level") = level);
}

}  // namespace

// values: a double matrix, genes in rows (or samples, with samplesInRows);
// genes and samples: the names of its rows and columns in that order
// (character(0) for none). With edges false no edges are selected; with
// coefficients the kept-coefficient matrix comes back too.
// [[Rcpp::export(.network_run)]]
Rcpp::List networkRun(Rcpp::NumericMatrix values, Rcpp::CharacterVector genes,
                      Rcpp::CharacterVector samples, bool samplesInRows, std::string method,
                      int order, std::vector<double> alpha, bool fdr, double pruneAlpha,
                      std::string missing, int threads, Rcpp::Nullable<Rcpp::Function> show,
                      bool edges, bool coefficients)
{
    const long rows = values.nrow(), columns = values.ncol();
    assocnet::Data data;
    data.values = values.begin();
    data.genes = samplesInRows ? columns : rows;
    data.samples = samplesInRows ? rows : columns;
    // R's matrices are column-major: the next row is the next double.
    data.geneStride = samplesInRows ? rows : 1;
    data.sampleStride = samplesInRows ? 1 : rows;
    data.geneNames = stringsOf(genes);
    data.sampleNames = stringsOf(samples);

    assocnet::Options options;
    options.method = method == "spearman" ? assocnet::Method::spearman : assocnet::Method::pearson;
    options.order = order;
    options.alpha = alpha;
    options.fdr = fdr;
    options.pruneAlpha = pruneAlpha;
    options.missing = missingOf(missing);
    options.threads = threads;
    options.select = edges ? assocnet::Select::edges : assocnet::Select::none;
    options.coefficients = coefficients;

    std::vector<std::string> warnings;
    const assocnet::Result r = networkBeside(data, options, show, warnings);

    std::vector<std::string> droppedNames, droppedWhy;
    for (const assocnet::Dropped& d : r.droppedGenes) {
        droppedNames.push_back(d.name);
        droppedWhy.push_back(d.why);
    }
    Rcpp::List out;
    out["genes"] = charactersOf(r.genes);
    out["samples"] = charactersOf(r.samples);
    out["dropped_genes"] = Rcpp::List::create(Rcpp::Named("name") = charactersOf(droppedNames),
                                              Rcpp::Named("why") = charactersOf(droppedWhy));
    out["dropped_samples"] = charactersOf(r.droppedSamples);
    out["dropped"] = charactersOf(r.dropped);
    out["levels"] = levelsOf(r.levels);
    out["prune_threshold"] = r.pruneThreshold;
    out["seconds"] = r.seconds;
    out["warnings"] = charactersOf(warnings);
    out["edges"] = edgesOf(r.edges);
    out["coefficients"] = coefficients ? Rcpp::RObject(coefficientMatrix(r.coefficients)) : Rcpp::RObject();
    return out;
}
