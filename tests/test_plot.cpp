// Tests of tavri-plot: the SVG it draws from a result file, its command line and its failures.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "plot.h"
#include "test_support.h"

namespace {

using test_support::ReadFile;
using test_support::TempDir;
constexpr auto npos = std::string::npos;

// Well-formed in short: no control byte, '&' only as a predefined entity or a character
// reference, every '<' opens a whole tag with quoted values, and the tags nest.
::testing::AssertionResult WellFormed(const std::string& xml) {
    static const std::regex bad(R"([\x00-\x08\x0B\x0C\x0E-\x1F]|&(?!(amp|lt|gt|quot|apos|#\d+|#x[\da-fA-F]+);))"),
        tag(R"(<(/?)([\w:.-]+)(?:\s+[\w:.-]+="[^"<]*")*\s*(/?)>|<\?xml[^<>]*\?>|<)");
    std::vector<std::string> open;
    bool ok = !std::regex_search(xml, bad);
    for (std::sregex_iterator it(xml.begin(), xml.end(), tag), end; ok && it != end; ++it) {
        const std::smatch& m = *it;
        if (m[1] == "/") ok = !open.empty() && open.back() == m[2];
        if (ok && m[1] == "/") open.pop_back();
        else if (m[2].matched && m[3] != "/") open.push_back(m[2]);
        else if (m.str() == "<") ok = false;  // a '<' that opens no tag
    }
    return ::testing::AssertionResult(ok && open.empty()) << "not well-formed";
}

// tavri-plot run in `dir`, its error stream joined to its output.
test_support::RunResult Plot(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1", TAVRI_PLOT_EXE});
    return test_support::Run("/bin/sh", args, dir.path());
}

// From the start tag of the group with this id to its end tag; "" when there is none.
std::string Group(const std::string& svg, const std::string& id) {
    const std::size_t at = svg.find("<g id=\"" + id + "\"");
    return at == npos ? "" : svg.substr(at, svg.find("</g>", at) - at);
}

// Every value of the numeric attribute `name` in `text`, in order; with "" the text of every text element.
std::vector<double> Numbers(const std::string& text, const std::string& name) {
    std::vector<double> values;
    const std::regex value(name.empty() ? ">([^<]+)</text>" : " " + name + "=\"([^\"]*)\"");
    for (std::sregex_iterator it(text.begin(), text.end(), value), end; it != end; ++it)
        values.push_back(std::stod((*it)[1]));
    return values;
}

}  // namespace

TEST(PlotUnits, WellFormedCheckCatchesFaultsAndEscapedNamesPassIt) {
    EXPECT_TRUE(WellFormed("<?xml version=\"1.0\"?>\n<a x=\"1\" y=\"&amp;&#60;\"><b/>t&lt;</a>\n"));
    for (const char* bad : {"<a><b></a></b>", "<a x=1/>", "<a>&nbsp;</a>", "<a>&amp</a>", "<a>x < y</a>",
                            "<a x=\"<\"/>", "<a>", "<a>\x01</a>"})
        EXPECT_FALSE(WellFormed(bad)) << bad;
    // Bytes a file name may hold but XML may not: controls, broken UTF-8, an encoded surrogate.
    const std::string escaped =
        tavri_plot::XmlEscape("a\x01\x1f<&>\xff\xc3(\xed\xa0\x80 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    EXPECT_TRUE(WellFormed("<t a=\"" + escaped + "\">" + escaped + "</t>"));
    EXPECT_TRUE(escaped.find_first_of("\xff\xed") == npos &&  // valid UTF-8 stays, the rest is replaced
                escaped.substr(escaped.size() - 10) == " \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80") << escaped;
}

// With --noise the highest label is drawn small and grey as noise; without it, it is a cluster.
// Each cluster has its own colour; the legend names 29 clusters and sums up the rest (labels 29
// to 48 hold 70 points, label 49 holds 3). The picture goes beside the result, titled with the
// input's name, escaped, without "CTavri-".
TEST(PlotCli, ClustersNoiseLegendAndTitle) {
    TempDir dir;
    const std::string name = "CTavri-a&b<c>'d\".txt";
    std::string text;  // as tavri writes it: "%lf" and a tab per coordinate, then the label
    for (int label = 0; label < 50; ++label)  // 2 to 5 points per label
        for (int k = 0; k < label % 4 + 2; ++k)
            text += std::to_string(label + 0.1 * k) + "\t0.000000\t" + std::to_string(label) + "\n";
    dir.Write(name, text);
    for (const bool noise : {true, false}) {
        ASSERT_EQ(Plot(dir, {name, noise ? "--noise" : "--"}).status, 0);
        const std::string svg = ReadFile(dir.Path(name + ".svg")), legend = Group(svg, "legend");
        ASSERT_TRUE(WellFormed(svg));
        EXPECT_NE(svg.find(">Tavri clusters: a&amp;b&lt;c&gt;&apos;d&quot;.txt<"), npos);
        std::set<std::string> fills;
        for (int label = 0; label < 50; ++label) {
            const bool is_noise = noise && label == 49;
            const std::size_t size = label % 4 + 2;
            const std::string group = Group(svg, is_noise ? "noise" : "cluster-" + std::to_string(label));
            const std::string entry =
                (is_noise ? "noise" : "cluster " + std::to_string(label)) + " (" + std::to_string(size) + ")";
            const std::string fill = group.substr(group.find(" fill=\"") + 7, 7);
            EXPECT_EQ(Numbers(group, "r").size(), size) << entry;
            EXPECT_EQ(legend.find(">" + entry + "<") != npos, label < 29 || is_noise) << entry;
            EXPECT_TRUE(fills.insert(fill).second && (fill == tavri_plot::kNoiseColour) == is_noise) << entry << fill;
        }
        EXPECT_NE(legend.find(noise ? ">+20 more clusters (70 points)<" : ">+21 more clusters (73 points)<"), npos);
        EXPECT_TRUE(!noise || Numbers(Group(svg, "noise"), "r").at(0) < Numbers(Group(svg, "cluster-0"), "r").at(0));
    }
}

// -x and -y pick the coordinates: gaps keep their ratio and larger values sit higher. A result with
// one coordinate is drawn along a line; CRLF and blank lines are read; a nan point counts but is not drawn.
TEST(PlotCli, PointsArePlacedByTheChosenCoordinates) {
    TempDir dir;
    // Coordinate 2 takes -1.3, 0.2, 3.2 (gaps 1.5 and 3), coordinate 0 takes 3, 1, 0 (gaps 2 and 1).
    dir.Write("r.txt", "3\t9\t-1.3\t0\n1\t9\t0.2\t0\n0\t9\t3.2\t0\n");
    dir.Write("line.txt", "-1.000000\t0\r\n\n0.000000\t0\r\nnan\t0\r\n2.000000\t0\r\n");
    ASSERT_EQ(Plot(dir, {"r.txt", "-x", "2", "-y", "0"}).status + Plot(dir, {"line.txt"}).status, 0);
    const std::string svg = ReadFile(dir.Path("r.txt.svg")), line = ReadFile(dir.Path("line.txt.svg"));
    ASSERT_TRUE(WellFormed(svg) && WellFormed(line));
    const auto x = Numbers(Group(svg, "cluster-0"), "cx"), y = Numbers(Group(svg, "cluster-0"), "cy"),
               lx = Numbers(Group(line, "cluster-0"), "cx");
    ASSERT_TRUE(x.size() == 3 && y.size() == 3 && lx.size() == 3);
    EXPECT_NEAR((x[2] - x[1]) / (x[1] - x[0]), 2.0, 0.02);
    EXPECT_NEAR((y[1] - y[0]) / (y[2] - y[1]), 2.0, 0.02);
    EXPECT_NEAR((lx[2] - lx[1]) / (lx[1] - lx[0]), 2.0, 0.02);
    EXPECT_TRUE(x[1] > x[0] && y[1] > y[0] && Group(line, "y-ticks").empty());
    const std::vector<double> ticks = Numbers(Group(svg, "x-ticks"), "");  // round values around the data
    EXPECT_TRUE(ticks.size() > 2 && ticks.front() <= -1.3 && ticks.back() >= 3.2 && svg.find(">coordinate 2<") != npos);
    EXPECT_TRUE(line.find(">cluster 0 (4)<") != npos && line.find("1 not drawn") != npos);
}

// Each failure exits 1 with one "tavri-plot: " line saying why, and leaves the folder as it was:
// no new picture, no temporary file, the earlier picture intact.
TEST(PlotCli, FailuresExitOneWithOneLineAndTouchNothing) {
    TempDir dir;
    dir.Write("in.svg", "earlier picture");
    std::filesystem::create_directory(dir.Path("taken"));
    const std::string ok = "1\t2\t0\n3\t4\t1\n";
    struct Case { std::string content; std::vector<std::string> args; std::string says; };
    const std::vector<Case> cases = {
        {"\n \t\n", {"in"}, "no points"}, {"3\n", {"in"}, "line 1"},
        {"1\t2\t0\n\n1\t0\n", {"in"}, "line 3"}, {"1\t2\t0\n1\tz\t0\n", {"in"}, "line 2"},
        {"1.0x\t2\t0\n", {"in"}, "line 1"}, {"1\t2\t1.5\n", {"in"}, "label"}, {"1\t2\t9999999999\n", {"in"}, "label"},
        {"0.5\t0\n", {"in", "-y", "1"}, "out of range"}, {ok, {"in", "-x", "2"}, "out of range"}, {ok, {}, "no result"},
        {ok, {"in", "in"}, "more than one"}, {ok, {"in", "--bogus"}, "unknown option"}, {ok, {"in", "-y"}, "-y needs"},
        {ok, {"in", "-x", "-1"}, "-x needs"}, {ok, {"in", "-o"}, "-o needs"}, {ok, {"missing"}, "cannot open"},
        {ok, {"in", "-o", "no/such/p.svg"}, "cannot write"}, {ok, {"in", "-o", "taken"}, "cannot write"}};
    for (const Case& c : cases) {
        dir.Write("in", c.content);
        const auto run = Plot(dir, c.args);
        EXPECT_TRUE(run.status == 1 && run.output.rfind("tavri-plot: ", 0) == 0 && run.output.find(c.says) != npos &&
                    run.output.find('\n') == run.output.size() - 1) << c.says << ": " << run.output;
        EXPECT_EQ(dir.FileNames(), (std::vector<std::string>{"in", "in.svg", "taken"})) << c.says;
        EXPECT_EQ(ReadFile(dir.Path("in.svg")), "earlier picture") << c.says;
    }
}
