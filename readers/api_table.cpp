// readTable(): a table file loaded, read and its dropped genes and samples
// named, for the API's callers; single-cell files go to their readers.
#include "assocnet/assocnet.h"

#include "expression_file.h"
#include "command_table.h"
#include "genes.h"
#include "table_bytes.h"

namespace assocnet {

Data Table::data() const
{
    Data d = Data::genesInRows(values.data(), static_cast<long>(genes.size()),
                               static_cast<long>(samples.size()));
    d.geneNames = genes;
    d.sampleNames = samples;
    d.source = source;
    return d;
}

Table readTable(const std::string& path, const ReadOptions& options)
{
    if (const FileKind kind = fileKind(path); kind != FileKind::text)
        return readCellFile(path, kind, options);
    Table out;
    out.source = path == "-" ? "standard input" : path;
    ::Table t;
    {
        std::string bytes;
        const std::string loaded = loadTable(path, bytes);
        if (!loaded.empty()) throw Error(loaded);
        TableOptions reading;
        reading.samplesInRows = options.samplesInRows;
        reading.missing = options.missing == Missing::dropGenes     ? MissingPolicy::dropGenes
                          : options.missing == Missing::dropSamples ? MissingPolicy::dropSamples
                                                                    : MissingPolicy::refuse;
        reading.legacyNames = options.programNames;
        reading.header = options.header == Header::present  ? HeaderRule::present
                         : options.header == Header::absent ? HeaderRule::absent
                                                            : HeaderRule::detect;
        reading.encoding = options.encoding == Encoding::latin1   ? NameEncoding::latin1
                           : options.encoding == Encoding::cp1252 ? NameEncoding::cp1252
                                                                  : NameEncoding::utf8;
        reading.naValues = options.naValues;
        const std::string problem = readTable(bytes, reading, t);
        if (!problem.empty()) throw Error(out.source + ", " + problem);
    }
    for (const std::string& w : t.warnings) out.warnings.push_back(out.source + ": " + w);
    if (!t.droppedGenes.empty())
        out.dropped.push_back(plural(t.droppedGenes.size(), "gene", "genes") +
                              " with missing values: " + someNames(t.droppedGenes));
    if (!t.droppedSamples.empty())
        out.dropped.push_back(plural(t.droppedSamples.size(), "sample", "samples") +
                              " with missing values: " + someNames(t.droppedSamples));
    out.genes = std::move(t.genes);
    out.samples = std::move(t.samples);
    out.values = std::move(t.values);
    chooseTableGenes(out, options);
    return out;
}

}  // namespace assocnet
