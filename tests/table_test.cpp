// The reader of the tables users have: every form of one small table reads
// to the same genes, samples and values; what is no table is refused with
// its exact message; missing values are refused or dropped; gzip files are
// inflated, all members; legacy names are the raw fields.
#include "table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <zlib.h>

namespace {

const std::string kPlain = "probe\ts1\ts2\ts3\ng1\t1\t2.5\t-3\ng2\t4\t5\t6e-1\n";

TableOptions inRows()
{
    TableOptions o;
    o.samplesInRows = true;
    return o;
}

TableOptions dropping(MissingPolicy policy)
{
    TableOptions o;
    o.missing = policy;
    return o;
}

std::string problem(std::string_view text, const TableOptions& options = {})
{
    Table t;
    return readTable(text, options, t);
}

Table read(std::string_view text, const TableOptions& options = {})
{
    Table t;
    EXPECT_EQ(readTable(text, options, t), "");
    return t;
}

std::string withLineEnds(const std::string& text, const std::string& end)
{
    std::string s;
    for (char c : text) s += c == '\n' ? end : std::string(1, c);
    return s;
}

// The text as one gzip member.
std::string gzipped(const std::string& text)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, text.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

TEST(TableForms, EveryFormReadsAsThePlainTabTable)
{
    const std::string geo = "!Series_title\t\"x\"\n!series_matrix_table_begin\n"
                            "\"ID_REF\"\t\"s1\"\t\"s2\"\t\"s3\"\n\"g1\"\t1\t2.5\t-3\n"
                            "\"g2\"\t4\t5\t6e-1\n!series_matrix_table_end\n";
    const struct {
        const char* form;
        std::string text;
        TableOptions options;
        char delimiter;
        bool corner;
    } forms[] = {
        {"tab", kPlain, {}, '\t', true},
        {"CSV with quotes", "\"probe\",s1,\"s2\",s3\ng1,1,\"2.5\",-3\n\"g2\",4,5,6e-1", {}, ',', true},
        {"whitespace", "  probe  s1 s2  s3 \ng1 1 2.5 -3\ng2 \t 4 5 6e-1\n", {}, ' ', true},
        {"no corner token", "s1\ts2\ts3\ng1\t1\t2.5\t-3\ng2\t4\t5\t6e-1\n", {}, '\t', false},
        {"comments and blank lines",
         "# by hand\n\nprobe\ts1\ts2\ts3\n \t\n#x\ng1\t1\t2.5\t-3\ng2\t4\t5\t6e-1\n# end", {}, '\t', true},
        {"GEO series matrix", geo, {}, '\t', true},
        {"samples in rows", "probe,g1,g2\ns1,1,4\ns2,2.5,5\ns3,-3,6e-1\n", inRows(), ',', true},
        {"CRLF", withLineEnds(kPlain, "\r\n"), {}, '\t', true},
        {"CR only", withLineEnds(kPlain, "\r"), {}, '\t', true},
        {"byte-order mark", "\xef\xbb\xbf" + kPlain, {}, '\t', true},
    };
    for (const auto& f : forms) {
        SCOPED_TRACE(f.form);
        const Table t = read(f.text, f.options);
        EXPECT_EQ(t.genes, (Names{"g1", "g2"}));
        EXPECT_EQ(t.samples, (Names{"s1", "s2", "s3"}));
        EXPECT_EQ(t.values, (std::vector<double>{1, 2.5, -3, 4, 5, 0.6}));
        EXPECT_EQ(t.delimiter, f.delimiter);
        EXPECT_EQ(t.cornerToken, f.corner);
        EXPECT_TRUE(t.nameLine);
        EXPECT_EQ(t.missingValues, 0);
    }
}

TEST(TableForms, NamesLoseOnePairOfQuotesAndKeepEverythingElse)
{
    // CSV: a quoted field holds commas, doubled quotes and line feeds.
    const Table csv = read("id,\"a,b\",\"a\"\"b\",\"two\nlines\"\n-g-,1,2,3\n");
    EXPECT_EQ(csv.samples, (Names{"a,b", "a\"b", "two\nlines"}));
    EXPECT_EQ(csv.genes, (Names{"-g-"}));
    // Tabs: quotes do not split, one surrounding pair goes.
    const Table tab = read("id\t\"x\"y\"\t\"\"s\"\"\t\"a,b\"\n\"-g\"\t1\t2\t3\n");
    EXPECT_EQ(tab.samples, (Names{"x\"y", "\"s\"", "a,b"}));
    EXPECT_EQ(tab.genes, (Names{"-g"}));
}

TEST(TableForms, FirstLineOfNumbersIsAGeneLine)
{
    const Table t = read("g1 1 2\ng2 3 4\n");
    EXPECT_FALSE(t.nameLine);
    EXPECT_EQ(t.genes, (Names{"g1", "g2"}));
    EXPECT_EQ(t.samples, (Names{"1", "2"}));
    EXPECT_EQ(t.values, (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(t.warnings, (std::vector<std::string>{
                              "the first line holds numbers only: read as a gene line, samples named 1 to 2"}));
    // Numbers as sample names after an empty corner or none stay names.
    for (const char* text : {"1 2\ng1 1 2\n", "\"\",\"1\",\"2\"\ng1,1,2\n", "\t1\t2\ng1\t1\t2\n"}) {
        EXPECT_EQ(read(text).samples, (Names{"1", "2"})) << text;
        EXPECT_TRUE(read(text).nameLine) << text;
    }
}

TEST(TableForms, LegacyNamesAreTheRawFieldsWithoutTheFirstDashOfAGene)
{
    TableOptions o;
    o.legacyNames = true;
    const std::string text = "probe\t\"s-1\"\ts2\n\"g-1\"\t1\t2\n-g-2\t3\t4\n";
    const Table legacy = read(text, o);
    EXPECT_EQ(legacy.genes, (Names{"\"g1\"", "g-2"}));
    EXPECT_EQ(legacy.samples, (Names{"\"s-1\"", "s2"}));
    const Table plain = read(text);
    EXPECT_EQ(plain.genes, (Names{"g-1", "-g-2"}));
    EXPECT_EQ(plain.samples, (Names{"s-1", "s2"}));
}

TEST(TableRefusals, EachHasItsExactMessage)
{
    const struct {
        std::string text, message;
    } cases[] = {
        {"\xff\xfep\0r\0", "line 1: looks like UTF-16 text; save it as UTF-8"},
        {std::string("p\0r\0o\0b\0e\0", 10), "line 1: looks like UTF-16 text; save it as UTF-8"},
        {"probe\ts1\ng1\t\x01\n", "line 2: looks like binary data, not a text table"},
        {"PK\x03\x04rest", "line 1: looks like a zip archive (a spreadsheet workbook?); save it as "
                           "tab-separated or CSV text"},
        {gzipped(kPlain), "line 1: is gzip-compressed; inflate it first"},
        {"", "line 1: the file is empty; expected the name line"},
        {" \n\r\n\t\n", "line 1: the file is empty; expected the name line"},
        {"# only\n!comments\n", "line 1: the file holds no table: only comment lines"},
        {"#\nprobe\ts1\n\n", "line 2: no gene lines after the name line"},
        {"probe\ts1\ts2\ng1\t1\t2\r\ng2\t3\n", "line 3: 2 fields, expected 3 (a gene name and 2 values)"},
        {"a\tb\tc\td\ng1\t1\n", "line 1: the name line has 4 fields but the gene lines have 2; expected 2 or 1"},
        {"c,s1\n\"g1,1\n", "line 2: a quoted field is not closed"},
        {"probe\ts1\ts2\ng1\t1\t1,5\n",
         "line 2: gene \"g1\", sample \"s2\" (column 3): expected a number, found \"1,5\""},
        {"p s1 s2\ng1 1 2\ng2 1e999 0\n", "line 3: gene \"g2\", sample \"s1\" (column 2): expected a "
                                           "number within the range of a double, found \"1e999\""},
        {"probe\ts1\ts2\ng1\t1\tNA\ng2\t\t2\n",
         "line 2: 2 missing values (empty, NA, NaN, null or N/A); the first is gene \"g1\", sample "
         "\"s2\"; use --missing drop-genes or --missing drop-samples"},
    };
    for (const auto& c : cases) EXPECT_EQ(problem(c.text), c.message) << c.text;
    // Lines as the samples: the words follow, the cells keep their names.
    EXPECT_EQ(problem("probe\tg1\tg2\ns1\t1\t2\ns2\tx\t3\n", inRows()),
              "line 3: gene \"g1\", sample \"s2\" (column 2): expected a number, found \"x\"");
    EXPECT_EQ(problem("p,g1,g2\ns1,1\n", inRows()),
              "line 1: the name line has 3 fields but the sample lines have 2; expected 2 or 1");
}

TEST(TableMissing, PoliciesDropGenesOrSamplesInTheTablesOwnSense)
{
    // Missing: (g1, s2) as NA and (g3, s1) as an empty field.
    const std::string genesInRows = "probe\ts1\ts2\ts3\ng1\t1\tNA\t3\ng2\t4\t5\t6\ng3\t\t8\t9\n";
    const std::string samplesInRows = "probe,g1,g2,g3\ns1,1,4,\"\"\ns2,null,5,8\ns3,3,6,9\n";
    for (const auto& [text, options] : {std::pair{genesInRows, TableOptions{}}, {samplesInRows, inRows()}}) {
        TableOptions o = options;
        o.missing = MissingPolicy::dropGenes;
        const Table g = read(text, o);
        EXPECT_EQ(g.missingValues, 2);
        EXPECT_EQ(g.genes, (Names{"g2"}));
        EXPECT_EQ(g.droppedGenes, (Names{"g1", "g3"}));
        EXPECT_EQ(g.samples, (Names{"s1", "s2", "s3"}));
        EXPECT_EQ(g.values, (std::vector<double>{4, 5, 6}));

        o.missing = MissingPolicy::dropSamples;
        const Table s = read(text, o);
        EXPECT_EQ(s.genes, (Names{"g1", "g2", "g3"}));
        EXPECT_EQ(s.samples, (Names{"s3"}));
        EXPECT_EQ(s.droppedSamples, (Names{"s1", "s2"}));
        EXPECT_EQ(s.values, (std::vector<double>{3, 6, 9}));
    }
    for (const char* token : {"NA", "NaN", "nan", "null", "N/A", "\"\"", ""})
        EXPECT_EQ(read(std::string("c\ts\ng\t") + token + "\n", dropping(MissingPolicy::dropGenes)).missingValues, 1)
            << token;
}

TEST(TableInput, GzipIsInflatedWhateverTheNameAllMembers)
{
    const std::string two = gzipped(kPlain.substr(0, 20)) + gzipped(kPlain.substr(20));
    std::string out;
    ASSERT_EQ(inflateTable(two, out), "");
    EXPECT_EQ(out, kPlain);

    const std::string path = testing::TempDir() + "table_test_input.txt";
    const auto save = [&](const std::string& bytes) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    };
    save(two);
    ASSERT_EQ(loadTable(path, out), "");
    EXPECT_EQ(out, kPlain);
    save(kPlain);
    ASSERT_EQ(loadTable(path, out), "");
    EXPECT_EQ(out, kPlain);
    save(two.substr(0, two.size() - 3));
    EXPECT_EQ(loadTable(path, out), path + ": not a complete gzip stream");
    std::remove(path.c_str());
    EXPECT_EQ(loadTable(path, out), path + ": No such file or directory");
}
