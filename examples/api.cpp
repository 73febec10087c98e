// api-example TABLE ORDER [METHOD]: reads an expression table, computes its
// network through the public API with the command's default levels
// (0.01, 0.001, 0.0001) and prints the edges as the command's edge table
// (PREFIX_edges.tsv): source, target, r, p, q and the strictest level.
#include <assocnet/assocnet.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

void putShortest(std::string& line, double x)
{
    char buf[32];
    line.append(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
}

// A name as the edge table holds it: between double quotes with its quotes
// doubled when it holds a quote, a tab or a line end.
std::string field(const std::string& name)
{
    if (name.find_first_of("\"\t\n\r") == std::string::npos) return name;
    std::string s = "\"";
    for (char c : name) s += c == '"' ? "\"\"" : std::string(1, c);
    return s + '"';
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string method = argc > 3 ? argv[3] : "pearson";
    const std::string order = argc > 2 ? argv[2] : "";
    if (argc < 3 || argc > 4 || (method != "pearson" && method != "spearman") || order.size() != 1 ||
        order[0] < '0' || order[0] > '3') {
        std::cerr << "usage: api-example TABLE ORDER [METHOD]  (ORDER 0 to 3, METHOD pearson or "
                     "spearman)\n";
        return 2;
    }
    try {
        const assocnet::Table table = assocnet::readTable(argv[1]);
        assocnet::Options options;
        options.method = method == "spearman" ? assocnet::Method::spearman : assocnet::Method::pearson;
        options.order = order[0] - '0';
        assocnet::Callbacks callbacks;
        callbacks.warning = [](std::string_view text) {
            std::cerr << "api-example: warning: " << text << '\n';
        };
        const assocnet::Result net = assocnet::network(table.data(), options, callbacks);

        std::string text = "source\ttarget\tr\tp\tq\tlevel\n";
        for (const assocnet::Edge& e : net.edges) {
            text += field(net.genes[e.i]) + '\t' + field(net.genes[e.j]) + '\t';
            putShortest(text, e.r);
            text += '\t';
            putShortest(text, e.p);
            text += '\t';
            putShortest(text, e.q);
            text += '\t' + net.levels[e.level].name + '\n';
            if (text.size() > (1 << 20)) {
                std::fwrite(text.data(), 1, text.size(), stdout);
                text.clear();
            }
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (std::fflush(stdout) != 0) {
            std::cerr << "api-example: standard output could not be written\n";
            return 1;
        }
    } catch (const assocnet::Error& e) {
        std::cerr << "api-example: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
