// GraphML 1.0: an undirected graph of every name as a node (its name and its
// degree among the edges) and every edge given (its r, p and q), written by
// libxml2's text writer, which escapes the names, into the TextOut.
#include "output.h"

#include <libxml/xmlIO.h>
#include <libxml/xmlwriter.h>

#include <charconv>
#include <cmath>
#include <new>

namespace {

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// The output buffer's sink: appends what libxml2 hands over to the TextOut,
// ending the TextOut's line at the last line feed of each chunk so that its
// blocks reach the file at line ends as they grow. A failed allocation goes
// back to libxml2 as a failed write rather than through its frames.
int appendToOut(void* context, const char* buffer, int length)
{
    TextOut& out = *static_cast<TextOut*>(context);
    const std::string_view chunk(buffer, static_cast<size_t>(length));
    const size_t last = chunk.rfind('\n');
    try {
        if (last == std::string_view::npos) {
            put(out, chunk);
            return length;
        }
        put(out, chunk.substr(0, last));
        endLine(out);
        put(out, chunk.substr(last + 1));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return length;
}

// The text writer, freed (with its output buffer flushed) on every way out.
struct Writer {
    xmlTextWriterPtr w = nullptr;
    explicit Writer(TextOut& out)
    {
        // The library's globals are set up once, before any thread uses them.
        static const bool ready = (xmlInitParser(), true);
        (void)ready;
        xmlOutputBufferPtr buffer = xmlOutputBufferCreateIO(appendToOut, nullptr, &out, nullptr);
        if (buffer == nullptr) throw std::bad_alloc();
        w = xmlNewTextWriter(buffer);  // owns the buffer from here on
        if (w == nullptr) {
            xmlOutputBufferClose(buffer);
            throw std::bad_alloc();
        }
    }
    ~Writer() { xmlFreeTextWriter(w); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // The text writer fails only when it, or the sink, cannot allocate.
    static void check(int rc)
    {
        if (rc < 0) throw std::bad_alloc();
    }
    void start(const char* element) { check(xmlTextWriterStartElement(w, xml(element))); }
    void end() { check(xmlTextWriterEndElement(w)); }
    void attribute(const char* name, const char* value)
    {
        check(xmlTextWriterWriteAttribute(w, xml(name), xml(value)));
    }
    // <data key="key">text</data>
    void data(const char* key, const char* text)
    {
        start("data");
        attribute("key", key);
        check(xmlTextWriterWriteString(w, xml(text)));
        end();
    }
    void key(const char* id, const char* domain, const char* type)
    {
        start("key");
        attribute("id", id);
        attribute("for", domain);
        attribute("attr.name", id);
        attribute("attr.type", type);
        end();
    }
};

// The shortest round-trip text of x, or a whole number, as a C string.
// Subnormal numbers, which igraph's reader refuses as out of range, become a
// zero of their sign, as deeper underflow already does.
struct Number {
    char text[32];
    explicit Number(double x)
    {
        if (std::fpclassify(x) == FP_SUBNORMAL) x = std::copysign(0.0, x);
        *std::to_chars(text, text + sizeof text - 1, x).ptr = '\0';
    }
    explicit Number(long long n) { *std::to_chars(text, text + sizeof text - 1, n).ptr = '\0'; }
};

// The id of node i: "n" and its number.
struct NodeId {
    char text[16] = "n";
    explicit NodeId(int i) { *std::to_chars(text + 1, text + sizeof text - 1, i).ptr = '\0'; }
};

}  // namespace

void writeGraphml(const Names& names, const EdgeList& edges, TextOut& out)
{
    std::vector<long long> degree(names.size(), 0);
    edges.forEach(0, false, [&](std::span<const Edge> batch) {
        for (const Edge& e : batch) {
            ++degree[e.i];
            ++degree[e.j];
        }
    });
    Writer x(out);
    Writer::check(xmlTextWriterSetIndent(x.w, 1));
    Writer::check(xmlTextWriterSetIndentString(x.w, xml("  ")));
    Writer::check(xmlTextWriterStartDocument(x.w, "1.0", "UTF-8", nullptr));
    x.start("graphml");
    x.attribute("xmlns", "http://graphml.graphdrawing.org/xmlns");
    x.attribute("xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance");
    x.attribute("xsi:schemaLocation",
                "http://graphml.graphdrawing.org/xmlns "
                "http://graphml.graphdrawing.org/xmlns/1.0/graphml.xsd");
    x.key("name", "node", "string");
    x.key("degree", "node", "int");
    x.key("r", "edge", "double");
    x.key("p", "edge", "double");
    x.key("q", "edge", "double");
    x.start("graph");
    x.attribute("id", "G");
    x.attribute("edgedefault", "undirected");
    for (size_t i = 0; i < names.size(); ++i) {
        x.start("node");
        x.attribute("id", NodeId(static_cast<int>(i)).text);
        x.data("name", names[i].c_str());
        x.data("degree", Number(degree[i]).text);
        x.end();
    }
    edges.forEach(0, true, [&](std::span<const Edge> batch) {
        for (const Edge& e : batch) {
            x.start("edge");
            x.attribute("source", NodeId(e.i).text);
            x.attribute("target", NodeId(e.j).text);
            x.data("r", Number(e.r).text);
            x.data("p", Number(e.p).text);
            x.data("q", Number(e.q).text);
            x.end();
        }
    });
    Writer::check(xmlTextWriterEndDocument(x.w));  // closes graph and graphml
}
