// The GraphML writer: a well-formed document, every name and number read
// back through libxml2, and a large graph that reaches its file in whole
// lines.
#include "writers.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>
#include <vector>

namespace {

// The child elements of an XML element with the given name, in order.
std::vector<xmlNode*> children(xmlNode* parent, const char* name)
{
    std::vector<xmlNode*> found;
    const xmlChar* wanted = reinterpret_cast<const xmlChar*>(name);
    for (xmlNode* c = parent->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && xmlStrEqual(c->name, wanted)) found.push_back(c);
    return found;
}

std::string attribute(xmlNode* element, const char* name)
{
    xmlChar* value = xmlGetProp(element, reinterpret_cast<const xmlChar*>(name));
    std::string text = value ? reinterpret_cast<const char*>(value) : "(none)";
    xmlFree(value);
    return text;
}

// The text of each <data> child of an element, by key, joined as "key=text;".
std::string dataOf(xmlNode* element)
{
    std::string all;
    for (xmlNode* d : children(element, "data")) {
        xmlChar* content = xmlNodeGetContent(d);
        all += attribute(d, "key") + "=" + reinterpret_cast<const char*>(content) + ";";
        xmlFree(content);
    }
    return all;
}

}  // namespace

TEST(GraphmlWriter, WellFormedWithEveryNameAndNumberReadBack)
{
    const Names names = {"G1", "a\"b'c", "<x>&amp;", "\xc3\xa9t\xc3\xa9]]>", "lone"};
    // A subnormal q (which igraph cannot read) is written as 0.
    const std::vector<Edge> edges = {{0, 1, 0.8, 1e-7, 2.5e-5, 0},
                                     {1, 3, -0.71234567, 0.1 + 0.2, 5e-324, 1},
                                     {1, 2, 1, 0, 1, 0}};
    TextOut out;
    writeGraphml(names, EdgeVector(edges), out);
    const std::string xml(text(out));
    EXPECT_EQ(xml.back(), '\n');
    xmlDoc* doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                XML_PARSE_NONET);
    ASSERT_NE(doc, nullptr) << xml;
    xmlNode* root = xmlDocGetRootElement(doc);
    ASSERT_NE(root->ns, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(root->ns->href),
                 "http://graphml.graphdrawing.org/xmlns");
    std::string keys;
    for (xmlNode* k : children(root, "key"))
        keys += attribute(k, "id") + " " + attribute(k, "for") + " " + attribute(k, "attr.name") +
                " " + attribute(k, "attr.type") + ";";
    EXPECT_EQ(keys, "name node name string;degree node degree int;r edge r double;"
                    "p edge p double;q edge q double;");
    const std::vector<xmlNode*> graph = children(root, "graph");
    ASSERT_EQ(graph.size(), 1u);
    EXPECT_EQ(attribute(graph[0], "edgedefault"), "undirected");
    const std::vector<xmlNode*> nodes = children(graph[0], "node");
    const int degrees[] = {1, 3, 1, 1, 0};
    ASSERT_EQ(nodes.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        std::string id = "n";  // built in two steps: GCC 12 warns on "n" + std::string
        id += std::to_string(i);
        EXPECT_EQ(attribute(nodes[i], "id"), id);
        EXPECT_EQ(dataOf(nodes[i]),
                  "name=" + names[i] + ";degree=" + std::to_string(degrees[i]) + ";");
    }
    std::string got;
    for (xmlNode* e : children(graph[0], "edge"))
        got += attribute(e, "source") + "-" + attribute(e, "target") + ":" + dataOf(e) + "\n";
    EXPECT_EQ(got, "n0-n1:r=0.8;p=1e-07;q=2.5e-05;\n"
                   "n1-n3:r=-0.71234567;p=0.30000000000000004;q=0;\n"
                   "n1-n2:r=1;p=0;q=1;\n");
    xmlFreeDoc(doc);
}

TEST(GraphmlWriter, LargeGraphReachesTheFileInWholeLines)
{
    const int V = 3000;
    const Names names = numberedNames(V);
    std::vector<Edge> edges;
    for (int k = 0; k < 20000; ++k)
        edges.push_back({k % V, (k * 7 + 1) % V, k / 2e4, 1e-9 * k, 0.5, 0});
    TextOut inMemory;
    writeGraphml(names, EdgeVector(edges), inMemory);
    TempFile file;
    ASSERT_GE(file.fd, 0);
    TextOut out;
    out.fd = file.fd;
    writeGraphml(names, EdgeVector(edges), out);
    EXPECT_GT(out.written, 1 << 20);  // most of it already written, up to a line end
    EXPECT_EQ(file.contents().back(), '\n');
    flushOut(out);
    EXPECT_EQ(file.contents(), text(inMemory));
}
