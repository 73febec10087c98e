// The reader of the tables users have: every form of one small table reads
// to the same genes, samples and values; the first line is the header unless
// told otherwise or too ambiguous; what is no table is refused with its exact
// message; missing values are refused or dropped; gzip files are inflated,
// all members; legacy names are the raw fields, and names that are no UTF-8
// are found.
#include "command_table.h"
#include "table.h"
#include "table_bytes.h"

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

TableOptions withHeader(HeaderRule rule)
{
    TableOptions o;
    o.header = rule;
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
         "# by hand\n\n!x\nprobe\ts1\ts2\ts3\n \t\ng1\t1\t2.5\t-3\n\ng2\t4\t5\t6e-1\n", {}, '\t', true},
        {"GEO series matrix", geo, {}, '\t', true},
        {"samples in rows", "probe,g1,g2\ns1,1,4\ns2,2.5,5\ns3,-3,6e-1\n", inRows(), ',', true},
        {"CRLF", withLineEnds(kPlain, "\r\n"), {}, '\t', true},
        {"CR only", withLineEnds(kPlain, "\r"), {}, '\t', true},
        {"byte-order mark", "\xef\xbb\xbf" + kPlain, {}, '\t', true},
        {"semicolons, decimal commas", "probe;s1;\"s2\";s3\ng1;1;2,5;-3\ng2;4;5;6e-1\n", {}, ';', true},
        {"semicolons, decimal points", "probe;s1;s2;s3\ng1;1;2.5;-3\ng2;4;5;0.6\n", {}, ';', true},
        {"trailing tabs on every line", withLineEnds(kPlain, "\t\t\n"), {}, '\t', true},
        {"trailing commas on the gene lines", "probe,s1,s2,s3\ng1,1,2.5,-3,\ng2,4,5,6e-1,\n", {}, ',', true},
        {"trailing tab on the name line", "s1\ts2\ts3\t\ng1\t1\t2.5\t-3\ng2\t4\t5\t6e-1\n", {}, '\t', false},
        {"no header, told", "g1\t1\t2.5\t-3\ng2\t4\t5\t6e-1\n", withHeader(HeaderRule::absent), '\t', false},
    };
    for (const auto& f : forms) {
        SCOPED_TRACE(f.form);
        const Table t = read(f.text, f.options);
        EXPECT_EQ(t.genes, (Names{"g1", "g2"}));
        const bool named = f.options.header != HeaderRule::absent;
        EXPECT_EQ(t.samples, named ? (Names{"s1", "s2", "s3"}) : (Names{"1", "2", "3"}));
        EXPECT_EQ(t.values, (std::vector<double>{1, 2.5, -3, 4, 5, 0.6}));
        EXPECT_EQ(t.delimiter, f.delimiter);
        EXPECT_EQ(t.cornerToken, f.corner);
        EXPECT_EQ(t.nameLine, named);
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

TEST(TableHeader, TheFirstLineIsTheHeaderUnlessItCouldAsWellBeAGeneLine)
{
    // Sample IDs: whole numbers with leading zeros, or beside values that are not.
    EXPECT_EQ(read("probe 01005 01010\ng1 1 2\n").samples, (Names{"01005", "01010"}));
    EXPECT_EQ(read("probe 1005 1010\ng1 1.5 2\n").samples, (Names{"1005", "1010"}));
    // Quoted, after an empty corner or none: names.
    for (const char* text : {"\"g\"\t\"1\"\t\"2\"\ng1\t1\t2\n", "1 2\ng1 1 2\n", "\"\",\"1\",\"2\"\ng1,1,2\n",
                             "\t1\t2\ng1\t1\t2\n"}) {
        EXPECT_EQ(read(text).samples, (Names{"1", "2"})) << text;
        EXPECT_TRUE(read(text).nameLine) << text;
    }
    // No clear evidence either way: refused, never a guess.
    const std::string could = "line 1: the first line could be the name line or a gene line: ";
    const std::string which = "; say which with --header or --no-header";
    EXPECT_EQ(problem("g1 1 2\ng2 3 4\n"),
              could + "its fields after the first are distinct whole numbers, and so are the values" + which);
    for (const char* text : {"g1 1.5 2\ng2 3 4\n", "g1 1 1\ng2 3.5 4\n", "g1 -1 2\ng2 3.5 4\n",
                             "g1 1e3 NA\ng2 3.5 4\n", "g1;1,5;2\ng2;3,5;4\n"})
        EXPECT_EQ(problem(text), could + "every field after the first is a number (or a missing value)" + which)
            << text;
    EXPECT_EQ(problem("s1\tNA\ns2\t1\n", inRows()),
              "line 1: the first line could be the name line or a sample line: every field after the "
              "first is a number (or a missing value)" + which);
    // Told (--no-header is among the forms above).
    const Table told = read("g1 1.5 2\ng2 3 4\n", withHeader(HeaderRule::present));
    EXPECT_EQ(told.genes, (Names{"g2"}));
    EXPECT_EQ(told.samples, (Names{"1.5", "2"}));
    EXPECT_EQ(problem("g1 1\n", withHeader(HeaderRule::present)), "line 1: no gene lines after the name line");
    EXPECT_EQ(read("g1 1\n", withHeader(HeaderRule::absent)).genes, (Names{"g1"}));
}

TEST(TableHeader, CommentsStandOnlyBeforeItAndGeosClosingLineEndsTheTable)
{
    // A gene's name may start with # or ! (a spreadsheet's #N/A).
    const Table t = read("#x\n!y\np\ts1\ts2\n#N/A\t1\t2\n!g\t3\t4\ng\t5\t6\n!series_matrix_table_end\n\n");
    EXPECT_EQ(t.genes, (Names{"#N/A", "!g", "g"}));
    EXPECT_EQ(t.values, (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(problem("p\ts1\ts2\ng\t1\t2\n# a note\n"), "line 3: 1 fields, expected 3 (a gene name and 2 values)");
}

TEST(TableHeader, SeparatorsEndingEveryLineAreNoColumnAndSaySo)
{
    const struct {
        std::string text;
        TableOptions options;
        std::string warning;
    } cases[] = {
        {"p\ts1\ts2\t\ng1\t1\t2\t\n", {}, "every line ends with a tab: the empty column after it is ignored"},
        {"p,s1,s2,,\ng1,1,2,,\n", {},
         "every line ends with 2 commas: the empty columns after them are ignored"},
        {"g1\t1\t2\t\n", withHeader(HeaderRule::absent),
         "every line ends with a tab: the empty column after it is ignored"},
        {"p;s1;s2\ng1;1;2;\n", {},
         "every gene line ends with a semicolon that the name line does not have: ignored"},
        {"p\ts1\ts2\t\ng1\t1\t2\n", {},
         "the name line ends with a tab that the gene lines do not have: ignored"},
        {"p\tg1\tg2\t\ns1\t1\t2\n", inRows(),
         "the name line ends with a tab that the sample lines do not have: ignored"},
    };
    for (const auto& c : cases) {
        const Table t = read(c.text, c.options);
        EXPECT_EQ(t.values, (std::vector<double>{1, 2})) << c.text;
        EXPECT_EQ(t.warnings, (std::vector<std::string>{c.warning})) << c.text;
    }
    // A sample empty on every gene line is still a sample (the names say so).
    EXPECT_EQ(read("p\ts1\ts2\ng1\t1\t\ng2\t3\t\n", dropping(MissingPolicy::dropSamples)).droppedSamples,
              (Names{"s2"}));
    // A trailing tab on the gene lines only: the samples dropped are the ones named.
    const Table t = read("p\ts1\ts2\ts3\ng1\t1\tNA\t3\t\ng2\t4\t5\t6\t\n", dropping(MissingPolicy::dropSamples));
    EXPECT_EQ(t.droppedSamples, (Names{"s2"}));
    EXPECT_EQ(t.samples, (Names{"s1", "s3"}));
    EXPECT_EQ(t.values, (std::vector<double>{1, 3, 4, 6}));
}

TEST(TableNames, EmptyGeneNamesAreRefusedOtherEncodingsConvertedOnRequest)
{
    EXPECT_EQ(problem("p\ts1\ng1\t1\n\t2\n"), "line 3: the gene name (column 1) is empty");
    EXPECT_EQ(problem("p,g1,\"\",g3\ns1,1,2,3\n", inRows()), "line 1: the gene name in column 3 is empty");
    EXPECT_EQ(problem("g1,,g3\ns1,1,2,3\n", inRows()), "line 1: the gene name in column 3 is empty");
    TableOptions latin1, cp1252;
    latin1.encoding = NameEncoding::latin1;
    cp1252.encoding = NameEncoding::cp1252;
    const std::string text = "p\tK\xf6ln\ng\x80\x96\xe9\t1\n";
    EXPECT_EQ(read(text, latin1).genes, (Names{"g\xc2\x80\xc2\x96\xc3\xa9"}));
    EXPECT_EQ(read(text, latin1).samples, (Names{"K\xc3\xb6ln"}));
    EXPECT_EQ(read(text, cp1252).genes, (Names{"g\xe2\x82\xac\xe2\x80\x93\xc3\xa9"}));
    // As they are, such names are refused once for the whole table.
    const Table raw = read(text + "\xe9t\xe9\t2\nok\t3\n\xff\t4\n\xfe\t5\n");
    EXPECT_EQ(namesNotUtf8(raw.genes, raw.samples),
              "5 names are not UTF-8 text: gene \"g\\x80\\x96\\xe9\", gene \"\\xe9t\\xe9\", gene "
              "\"\\xff\" and more; convert the table with iconv -f WINDOWS-1252 -t UTF-8 (or from its "
              "own encoding), or read it with --encoding cp1252 or --encoding latin1");
    EXPECT_EQ(namesNotUtf8({"ok"}, {"K\xf6ln"}).substr(0, 42), "1 name is not UTF-8 text: sample \"K\\xf6ln\"");
    // UTF-8 passes, but not its overlong forms, surrogates or truncated sequences.
    EXPECT_EQ(namesNotUtf8({"\xce\x94Np63", "\xe2\x88\x92", "\xf0\x9f\x98\x80", "a\tb"}, {"K\xc3\xb6ln"}), "");
    for (const char* bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x88"})
        EXPECT_NE(namesNotUtf8({bad}, {}), "") << bad;
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
        {"probe\ts1\ts2\ng1\t1\t\xe2\x88\x92\x31.2\n",
         "line 2: gene \"g1\", sample \"s2\" (column 3): expected a number, found \"\xe2\x88\x92\x31.2\""},
        {"probe\ts1\ts2\ng1\t1\t\xff-\xc3\n",
         "line 2: gene \"g1\", sample \"s2\" (column 3): expected a number, found \"\\xff-\\xc3\""},
        {"probe;s1;s2\ng1;1,5;2\ng2;1.5;3\n",
         "line 3: gene \"g2\", sample \"s1\" (column 2): expected a number with a decimal comma, as "
         "\"1,5\" on line 2 (the table is separated by ';'), found \"1.5\""},
        {"probe;s1;s2\ng1;1.234,5;2\n",
         "line 2: gene \"g1\", sample \"s1\" (column 2): expected a number with one decimal comma (the "
         "table is separated by ';'), found \"1.234,5\""},
        {"p s1 s2\ng1 1 2\ng2 1e999 0\n", "line 3: gene \"g2\", sample \"s1\" (column 2): expected a "
                                           "number within the range of a double, found \"1e999\""},
        {"probe\ts1\ts2\ng1\t1\tNA\ng2\t\t2\n",
         "line 2: 2 missing values (empty, NA, NaN, null, N/A, #N/A or None); the first is gene \"g1\", sample "
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
    TableOptions o = dropping(MissingPolicy::dropGenes);
    o.naValues = {"-999", "Missing"};
    for (const char* token : {"NA", "NaN", "nan", "null", "N/A", "\"\"", "", "na", "NULL", "n/a", "#N/A",
                              "#n/a", "None", "NONE", "-999", "MISSING"})
        EXPECT_EQ(read(std::string("c\ts\tt\ng\t") + token + "\t1.5\n", o).missingValues, 1) << token;
    EXPECT_EQ(problem("c\ts\ng\t-999\n", dropping(MissingPolicy::dropGenes)), "");
}

TEST(TableInput, GzipIsInflatedWhateverTheNameAllMembers)
{
    const std::string two = gzipped(kPlain.substr(0, 20)) + gzipped(kPlain.substr(20));
    std::string out;
    ASSERT_EQ(inflateTable(two, out), "");
    EXPECT_EQ(out, kPlain);

    const std::string path = testing::TempDir() + "command_table_test_input.txt";
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
