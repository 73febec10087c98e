// The seven programs' table reader: tokens separated by any whitespace;
// after the last name of the name line and after the last value of every
// variable line the rest of that line is skipped. Counts come from the user,
// never from the file.
#include "programs_table.h"

#include <string>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

struct Cursor {
    std::string_view text;
    size_t pos = 0;
};

// The next token, or an empty view at the end of the text.
std::string_view nextToken(Cursor& c)
{
    while (c.pos < c.text.size() && isSpace(c.text[c.pos])) ++c.pos;
    size_t start = c.pos;
    while (c.pos < c.text.size() && !isSpace(c.text[c.pos])) ++c.pos;
    return c.text.substr(start, c.pos - start);
}

// Skips up to and including the next line feed (or to the end of the text).
void skipLine(Cursor& c)
{
    size_t nl = c.text.find('\n', c.pos);
    c.pos = nl == std::string_view::npos ? c.text.size() : nl + 1;
}

// 1-based number of the line on which offset pos stands.
size_t lineOf(std::string_view text, size_t pos)
{
    size_t line = 1;
    for (size_t k = 0; k < pos && k < text.size(); ++k) line += text[k] == '\n';
    return line;
}

}  // namespace

std::string getObsMat(int V, int N, Matrix& obs, Names& varNames, Names& obsNames,
                      std::string_view text)
{
    Cursor c{text};
    auto at = [&](size_t pos) { return "line " + std::to_string(lineOf(text, pos)) + ": "; };

    if (V == 0 && N == 0) return "";
    std::string_view corner = nextToken(c);
    if (corner.empty()) return "line 1: the file is empty; expected the name line";
    for (int j = 0; j < N; ++j) {
        std::string_view t = nextToken(c);
        if (t.empty())
            return at(c.pos) + "the file ends after " + std::to_string(j) + " of " +
                   std::to_string(N) + " observation names";
        obsNames[j] = std::string(t);
    }
    skipLine(c);

    for (int i = 0; i < V; ++i) {
        std::string_view t = nextToken(c);
        if (t.empty())
            return at(c.pos) + "the file ends after " + std::to_string(i) + " of " +
                   std::to_string(V) + " variable lines";
        std::string name(t);
        size_t dash = name.find('-');
        if (dash != std::string::npos) name.erase(dash, 1);
        varNames[i] = name;
        for (int k = 0; k < N; ++k) {
            size_t start = c.pos;
            std::string_view v = nextToken(c);
            auto where = [&] {
                return "variable \"" + shownToken(t) + "\" (number " + std::to_string(i + 1) +
                       "), value " + std::to_string(k + 1) + " of " + std::to_string(N) + ": ";
            };
            if (v.empty()) return at(start) + where() + "the file ends here; expected a number";
            std::string why = parseNumber(v, obs[k][i]);
            if (!why.empty())
                return at(c.pos - v.size()) + where() + why + ", found \"" + shownToken(v) + "\"";
        }
        skipLine(c);
    }
    return "";
}
