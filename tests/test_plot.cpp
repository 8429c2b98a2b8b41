// Tests of tavri-plot: result parsing, the SVG it draws, and its command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "plot.h"
#include "test_support.h"

#ifndef TAVRI_PLOT_EXE
#error "TAVRI_PLOT_EXE must name the built tavri-plot executable"
#endif
#ifndef TAVRI_DOCS_DIR
#error "TAVRI_DOCS_DIR must name the docs folder"
#endif

namespace {

using tavri_plot::BuildSvg;
using tavri_plot::ParseResult;
using tavri_plot::PlotOptions;
using tavri_plot::ResultData;

// ---------------------------------------------------------------------------
// A small strict XML well-formedness checker (no DTD support: only the five
// predefined entities and character references are valid).
class XmlChecker {
public:
    explicit XmlChecker(const std::string& text) : s_(text) {}

    bool Check(std::string& why) {
        if (!Run()) {
            why = why_ + " at byte " + std::to_string(pos_);
            return false;
        }
        return true;
    }

private:
    bool Fail(const std::string& why) {
        why_ = why;
        return false;
    }
    bool AtEnd() const { return pos_ >= s_.size(); }
    bool StartsWith(const char* text) const { return s_.compare(pos_, std::strlen(text), text) == 0; }
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    void SkipSpace() {
        while (!AtEnd() && IsSpace(s_[pos_])) ++pos_;
    }
    static bool NameStart(unsigned char c) { return std::isalpha(c) || c == '_' || c == ':' || c >= 0x80; }
    static bool NameChar(unsigned char c) { return NameStart(c) || std::isdigit(c) || c == '-' || c == '.'; }

    bool ValidChar(unsigned char c) const { return c >= 0x20 || c == '\t' || c == '\n' || c == '\r'; }

    bool Name(std::string& name) {
        std::size_t start = pos_;
        if (AtEnd() || !NameStart(static_cast<unsigned char>(s_[pos_]))) return Fail("expected a name");
        while (!AtEnd() && NameChar(static_cast<unsigned char>(s_[pos_]))) ++pos_;
        name = s_.substr(start, pos_ - start);
        return true;
    }

    // At '&': a predefined entity or a character reference to an XML char.
    bool Reference() {
        std::size_t semi = s_.find(';', pos_);
        if (semi == std::string::npos || semi - pos_ > 12) return Fail("unterminated reference");
        std::string body = s_.substr(pos_ + 1, semi - pos_ - 1);
        pos_ = semi + 1;
        if (body == "amp" || body == "lt" || body == "gt" || body == "quot" || body == "apos") return true;
        if (body.size() >= 2 && body[0] == '#') {
            unsigned long code = 0;
            bool hex = body[1] == 'x';
            std::string digits = body.substr(hex ? 2 : 1);
            if (digits.empty()) return Fail("empty character reference");
            for (char c : digits) {
                if (hex ? !std::isxdigit(static_cast<unsigned char>(c)) : !std::isdigit(static_cast<unsigned char>(c)))
                    return Fail("bad character reference");
                code = code * (hex ? 16 : 10) + static_cast<unsigned long>(std::isdigit(static_cast<unsigned char>(c))
                                                                              ? c - '0'
                                                                              : std::tolower(c) - 'a' + 10);
                if (code > 0x10FFFF) return Fail("character reference out of range");
            }
            bool ok = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                      (code >= 0xE000 && code <= 0xFFFD) || code >= 0x10000;
            return ok ? true : Fail("reference to a character XML forbids");
        }
        return Fail("unknown entity &" + body + ";");
    }

    bool Comment() {  // at "<!--"
        std::size_t end = s_.find("--", pos_ + 4);
        if (end == std::string::npos || s_.compare(end, 3, "-->") != 0) return Fail("bad comment");
        pos_ = end + 3;
        return true;
    }

    bool Pi() {  // at "<?"
        std::size_t end = s_.find("?>", pos_ + 2);
        if (end == std::string::npos) return Fail("unterminated processing instruction");
        pos_ = end + 2;
        return true;
    }

    bool Misc() {
        for (;;) {
            SkipSpace();
            if (StartsWith("<!--")) {
                if (!Comment()) return false;
            } else if (StartsWith("<?")) {
                if (!Pi()) return false;
            } else {
                return true;
            }
        }
    }

    bool StartTag(std::string& name, bool& empty) {  // at '<'
        ++pos_;
        if (!Name(name)) return false;
        std::set<std::string> seen;
        for (;;) {
            bool spaced = !AtEnd() && IsSpace(s_[pos_]);
            SkipSpace();
            if (AtEnd()) return Fail("unterminated start tag");
            if (StartsWith("/>")) {
                pos_ += 2;
                empty = true;
                return true;
            }
            if (s_[pos_] == '>') {
                ++pos_;
                empty = false;
                return true;
            }
            if (!spaced) return Fail("attributes must be separated by space");
            std::string attr;
            if (!Name(attr)) return false;
            if (!seen.insert(attr).second) return Fail("duplicate attribute " + attr);
            SkipSpace();
            if (AtEnd() || s_[pos_] != '=') return Fail("expected '=' after attribute " + attr);
            ++pos_;
            SkipSpace();
            if (AtEnd() || (s_[pos_] != '"' && s_[pos_] != '\'')) return Fail("attribute value not quoted");
            char quote = s_[pos_++];
            for (;;) {
                if (AtEnd()) return Fail("unterminated attribute value");
                char c = s_[pos_];
                if (c == quote) {
                    ++pos_;
                    break;
                }
                if (c == '<') return Fail("'<' in attribute value");
                if (!ValidChar(static_cast<unsigned char>(c))) return Fail("invalid character");
                if (c == '&') {
                    if (!Reference()) return false;
                } else {
                    ++pos_;
                }
            }
        }
    }

    bool Run() {
        if (StartsWith("<?xml")) {
            if (!Pi()) return false;
        }
        if (!Misc()) return false;
        if (AtEnd() || s_[pos_] != '<') return Fail("expected the root element");
        std::vector<std::string> stack;
        bool root_done = false;
        while (!root_done) {
            if (AtEnd()) return Fail("unclosed element <" + stack.back() + ">");
            char c = s_[pos_];
            if (c == '<') {
                if (StartsWith("<!--")) {
                    if (!Comment()) return false;
                } else if (StartsWith("<![CDATA[")) {
                    std::size_t end = s_.find("]]>", pos_);
                    if (end == std::string::npos) return Fail("unterminated CDATA");
                    pos_ = end + 3;
                } else if (StartsWith("<?")) {
                    if (!Pi()) return false;
                } else if (StartsWith("</")) {
                    pos_ += 2;
                    std::string name;
                    if (!Name(name)) return false;
                    SkipSpace();
                    if (AtEnd() || s_[pos_] != '>') return Fail("bad end tag");
                    ++pos_;
                    if (stack.empty() || stack.back() != name) return Fail("mismatched end tag </" + name + ">");
                    stack.pop_back();
                    root_done = stack.empty();
                } else {
                    std::string name;
                    bool empty = false;
                    if (!StartTag(name, empty)) return false;
                    if (!empty)
                        stack.push_back(name);
                    else if (stack.empty())
                        root_done = true;
                }
            } else if (c == '&') {
                if (stack.empty()) return Fail("text outside the root");
                if (!Reference()) return false;
            } else {
                if (!ValidChar(static_cast<unsigned char>(c))) return Fail("invalid character");
                if (StartsWith("]]>")) return Fail("']]>' in text");
                ++pos_;
            }
        }
        if (!Misc()) return false;
        if (!AtEnd()) return Fail("content after the root element");
        return true;
    }

    const std::string& s_;
    std::size_t pos_ = 0;
    std::string why_;
};

::testing::AssertionResult WellFormed(const std::string& xml) {
    std::string why;
    if (XmlChecker(xml).Check(why)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not well-formed: " << why;
}

// ---------------------------------------------------------------------------
// Files, processes and SVG inspection.

using test_support::ReadFile;
using test_support::ShellQuote;
using test_support::TempDir;
using test_support::WriteFile;

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

ToolRun RunPlot(const TempDir& dir, const std::vector<std::string>& args) {
    std::string command = ShellQuote(TAVRI_PLOT_EXE);
    for (const std::string& arg : args) command += " " + ShellQuote(arg);
    const std::string out_path = dir / "run.stdout";
    const std::string err_path = dir / "run.stderr";
    command += " >" + ShellQuote(out_path) + " 2>" + ShellQuote(err_path) + " </dev/null";
    ToolRun run;
    int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = ReadFile(out_path);
    run.err = ReadFile(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return run;
}

// Result lines as tavri writes them: "%lf" + TAB per coordinate, then the label.
std::string ResultLine(const std::vector<double>& coords, int label) {
    std::string line;
    char text[64];
    for (double v : coords) {
        std::snprintf(text, sizeof text, "%lf\t", v);
        line += text;
    }
    return line + std::to_string(label) + "\n";
}

// The body of the group with the given id, from its start tag to its "</g>".
std::string Group(const std::string& svg, const std::string& id) {
    std::size_t start = svg.find("<g id=\"" + id + "\"");
    if (start == std::string::npos) return "";
    std::size_t end = svg.find("</g>", start);
    return svg.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

std::string Attribute(const std::string& tag_text, const std::string& name) {
    std::size_t at = tag_text.find(" " + name + "=\"");
    if (at == std::string::npos) return "";
    at += name.size() + 3;
    return tag_text.substr(at, tag_text.find('"', at) - at);
}

struct Circle {
    double cx, cy, r;
};

std::vector<Circle> Circles(const std::string& group) {
    std::vector<Circle> circles;
    for (std::size_t at = group.find("<circle"); at != std::string::npos; at = group.find("<circle", at + 1)) {
        std::string tag = group.substr(at, group.find("/>", at) - at);
        circles.push_back({std::stod(Attribute(tag, "cx")), std::stod(Attribute(tag, "cy")),
                           std::stod(Attribute(tag, "r"))});
    }
    return circles;
}

// The numbers shown as tick labels in a tick group.
std::vector<double> TickLabels(const std::string& svg, const std::string& id) {
    std::string group = Group(svg, id);
    std::vector<double> values;
    for (std::size_t at = group.find("<text"); at != std::string::npos; at = group.find("<text", at + 1)) {
        std::size_t open = group.find('>', at) + 1;
        values.push_back(std::stod(group.substr(open, group.find('<', open) - open)));
    }
    return values;
}

bool IsRoundStep(double step) {
    double magnitude = std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    double mantissa = step / magnitude;
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (std::fabs(mantissa - m) < 1e-6) return true;
    return false;
}

// Three clusters of 5, 7 and 3 points plus a noise list of 4 (label 3).
std::string KnownResult() {
    std::string text;
    const int sizes[] = {5, 7, 3, 4};
    const double centres[][2] = {{-2, -2}, {2, 1.5}, {0, 2.5}, {0, 0}};
    for (int label = 0; label < 4; ++label)
        for (int k = 0; k < sizes[label]; ++k)
            text += ResultLine({centres[label][0] + 0.1 * k, centres[label][1] - 0.05 * k}, label);
    return text;
}

// ---------------------------------------------------------------------------

TEST(XmlCheckerTest, AcceptsWellFormedAndRejectsFaults) {
    EXPECT_TRUE(WellFormed("<?xml version=\"1.0\"?>\n<a x=\"1\" y='&amp;&#60;&#x41;'><b/><!-- c --><c>t&lt;</c></a>\n"));
    EXPECT_FALSE(WellFormed("<a><b></a></b>"));
    EXPECT_FALSE(WellFormed("<a x=1/>"));
    EXPECT_FALSE(WellFormed("<a x=\"1\"y=\"2\"/>"));
    EXPECT_FALSE(WellFormed("<a x=\"1\" x=\"2\"/>"));
    EXPECT_FALSE(WellFormed("<a>&nbsp;</a>"));
    EXPECT_FALSE(WellFormed("<a>&amp</a>"));
    EXPECT_FALSE(WellFormed("<a>&#1;</a>"));
    EXPECT_FALSE(WellFormed("<a>x < y</a>"));
    EXPECT_FALSE(WellFormed("<a x=\"<\"/>"));
    EXPECT_FALSE(WellFormed("<a/><b/>"));
    EXPECT_FALSE(WellFormed("<a>"));
    EXPECT_FALSE(WellFormed(std::string("<a>\x01</a>")));
}

TEST(PlotCli, KnownResultHasPointsPerColourAndLegendSizes) {
    TempDir dir;
    const std::string result = dir / "CTavri-known.txt";
    WriteFile(result, KnownResult());
    const std::string svg_path = dir / "known.svg";
    ToolRun run = RunPlot(dir, {result, "-o", svg_path, "--noise"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string svg = ReadFile(svg_path);
    ASSERT_TRUE(WellFormed(svg));

    const int sizes[] = {5, 7, 3};
    const std::string legend = Group(svg, "legend");
    std::set<std::string> fills;
    for (int label = 0; label < 3; ++label) {
        std::string group = Group(svg, "cluster-" + std::to_string(label));
        ASSERT_FALSE(group.empty()) << "no group for cluster " << label;
        EXPECT_EQ(Count(group, "<circle"), sizes[label]) << "cluster " << label;
        std::string fill = Attribute(group.substr(0, group.find('>')), "fill");
        EXPECT_NE(fill, tavri_plot::kNoiseColour);
        fills.insert(fill);
        EXPECT_NE(legend.find(">cluster " + std::to_string(label) + " (" + std::to_string(sizes[label]) + ")<"),
                  std::string::npos)
            << "legend entry for cluster " << label;
    }
    EXPECT_EQ(fills.size(), 3u) << "each cluster needs its own colour";

    const std::string noise = Group(svg, "noise");
    ASSERT_FALSE(noise.empty());
    EXPECT_EQ(Attribute(noise.substr(0, noise.find('>')), "fill"), tavri_plot::kNoiseColour);
    std::vector<Circle> noise_points = Circles(noise);
    ASSERT_EQ(noise_points.size(), 4u);
    const double cluster_radius = Circles(Group(svg, "cluster-0")).at(0).r;
    for (const Circle& c : noise_points) EXPECT_LT(c.r, cluster_radius) << "noise is drawn small";
    EXPECT_NE(legend.find(">noise (4)<"), std::string::npos);
    EXPECT_EQ(Group(svg, "cluster-3"), "") << "the noise list is not a cluster";
    EXPECT_EQ(svg.find("cluster 3"), std::string::npos);
    EXPECT_EQ(Count(svg, "<circle"), 5 + 7 + 3 + 4 + 4) << "one per point plus one legend swatch per entry";
}

TEST(PlotCli, WithoutNoiseFlagTheLastLabelIsACluster) {
    TempDir dir;
    const std::string result = dir / "CTavri-known.txt";
    WriteFile(result, KnownResult());
    ToolRun run = RunPlot(dir, {result, "-o", dir / "p.svg"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string svg = ReadFile(dir / "p.svg");
    ASSERT_TRUE(WellFormed(svg));
    EXPECT_EQ(Count(Group(svg, "cluster-3"), "<circle"), 4);
    EXPECT_NE(Group(svg, "legend").find(">cluster 3 (4)<"), std::string::npos);
    EXPECT_EQ(Group(svg, "noise"), "");
    EXPECT_EQ(svg.find("noise ("), std::string::npos);
}

TEST(PlotCli, DefaultOutputIsBesideTheResult) {
    TempDir dir;
    const std::string result = dir / "CTavri-known.txt";
    WriteFile(result, KnownResult());
    ToolRun run = RunPlot(dir, {result});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(Exists(result + ".svg"));
    EXPECT_TRUE(WellFormed(ReadFile(result + ".svg")));
}

TEST(PlotCli, OutputIsDeterministic) {
    TempDir dir;
    const std::string result = dir / "CTavri-known.txt";
    WriteFile(result, KnownResult());
    ASSERT_EQ(RunPlot(dir, {result, "-o", dir / "a.svg", "--noise"}).status, 0);
    ASSERT_EQ(RunPlot(dir, {result, "-o", dir / "b.svg", "--noise"}).status, 0);
    const std::string a = ReadFile(dir / "a.svg");
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, ReadFile(dir / "b.svg"));
}

TEST(PlotCli, TitleNamesTheInputFileEscaped) {
    TempDir dir;
    const std::string result = dir / "CTavri-a&b<c>'d\".txt";
    WriteFile(result, KnownResult());
    ToolRun run = RunPlot(dir, {result, "-o", dir / "t.svg"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string svg = ReadFile(dir / "t.svg");
    ASSERT_TRUE(WellFormed(svg));
    EXPECT_NE(svg.find(">Tavri clusters: a&amp;b&lt;c&gt;&apos;d&quot;.txt<"), std::string::npos);
    EXPECT_EQ(svg.find("CTavri-"), std::string::npos) << "the prefix is not part of the input's name";
}

TEST(PlotUnits, TitleFromPath) {
    EXPECT_EQ(tavri_plot::TitleFromPath("examples/CTavri-blobs.txt"), "blobs.txt");
    EXPECT_EQ(tavri_plot::TitleFromPath("CTavri-blobs.txt"), "blobs.txt");
    EXPECT_EQ(tavri_plot::TitleFromPath("/x/CTavri-dir/result.txt"), "result.txt");
    EXPECT_EQ(tavri_plot::TitleFromPath("other.txt"), "other.txt");
}

TEST(PlotUnits, EscapedTextIsAlwaysValidXml) {
    // Bytes a file name may hold but XML may not: controls, broken UTF-8,
    // an encoded surrogate; valid multi-byte UTF-8 must survive.
    const std::string nasty = "a\x01\x1f<&>\xff\xc3(\xed\xa0\x80 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    const std::string escaped = tavri_plot::XmlEscape(nasty);
    EXPECT_TRUE(WellFormed("<t a=\"" + escaped + "\">" + escaped + "</t>"));
    EXPECT_NE(escaped.find("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), std::string::npos);
    EXPECT_EQ(escaped.find('\xff'), std::string::npos);
    EXPECT_EQ(escaped.find('\xed'), std::string::npos);
}

TEST(PlotCli, PointsArePlacedByTheChosenCoordinates) {
    TempDir dir;
    const std::string result = dir / "CTavri-three.txt";
    // Coordinate 2 takes -1, 0, 2 and coordinate 0 takes 3, 1, 0.
    WriteFile(result, ResultLine({3, 9, -1}, 0) + ResultLine({1, 9, 0}, 0) + ResultLine({0, 9, 2}, 0));
    ToolRun run = RunPlot(dir, {result, "-x", "2", "-y", "0", "-o", dir / "p.svg"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string svg = ReadFile(dir / "p.svg");
    ASSERT_TRUE(WellFormed(svg));
    std::vector<Circle> c = Circles(Group(svg, "cluster-0"));
    ASSERT_EQ(c.size(), 3u);
    // Horizontal distances keep the 1:2 ratio of the x values.
    EXPECT_GT(c[1].cx, c[0].cx);
    EXPECT_NEAR((c[2].cx - c[1].cx) / (c[1].cx - c[0].cx), 2.0, 0.02);
    // Larger values sit higher (smaller SVG y), distances 2:1.
    EXPECT_GT(c[1].cy, c[0].cy);
    EXPECT_NEAR((c[1].cy - c[0].cy) / (c[2].cy - c[1].cy), 2.0, 0.02);
    EXPECT_NE(svg.find(">coordinate 2<"), std::string::npos);
    EXPECT_NE(svg.find(">coordinate 0<"), std::string::npos);
}

TEST(PlotCli, TicksAreRoundAndCoverTheData) {
    TempDir dir;
    const std::string result = dir / "CTavri-ticks.txt";
    WriteFile(result, ResultLine({-1.37, 0.004}, 0) + ResultLine({2.81, 0.093}, 1) + ResultLine({0.5, 0.05}, 1));
    ASSERT_EQ(RunPlot(dir, {result, "-o", dir / "p.svg"}).status, 0);
    const std::string svg = ReadFile(dir / "p.svg");
    for (const char* id : {"x-ticks", "y-ticks"}) {
        std::vector<double> ticks = TickLabels(svg, id);
        ASSERT_GE(ticks.size(), 3u) << id;
        EXPECT_LE(ticks.size(), 12u) << id;
        const double step = ticks[1] - ticks[0];
        EXPECT_TRUE(IsRoundStep(step)) << id << " step " << step;
        for (std::size_t i = 1; i < ticks.size(); ++i) EXPECT_NEAR(ticks[i] - ticks[i - 1], step, step * 1e-6) << id;
    }
    std::vector<double> x = TickLabels(svg, "x-ticks");
    std::vector<double> y = TickLabels(svg, "y-ticks");
    EXPECT_LE(x.front(), -1.37);
    EXPECT_GE(x.back(), 2.81);
    EXPECT_LE(y.front(), 0.004);
    EXPECT_GE(y.back(), 0.093);
}

TEST(PlotUnits, NiceTicks) {
    EXPECT_EQ(tavri_plot::NiceTicks(0, 10, 5), (std::vector<double>{0, 2, 4, 6, 8, 10}));
    for (auto range : {std::pair<double, double>{-1.37, 2.81}, {0.0001, 0.00093}, {-5e6, 3e7}, {-0.2, -0.1}}) {
        std::vector<double> t = tavri_plot::NiceTicks(range.first, range.second, 6);
        ASSERT_GE(t.size(), 3u);
        EXPECT_LE(t.size(), 12u);
        EXPECT_LE(t.front(), range.first);
        EXPECT_GE(t.back(), range.second);
        EXPECT_TRUE(IsRoundStep(t[1] - t[0])) << t[1] - t[0];
    }
}

TEST(PlotUnits, PaletteStartsColourBlindSafeAndStaysDistinct) {
    const char* okabe_ito[] = {"#E69F00", "#56B4E9", "#009E73", "#F0E442", "#0072B2", "#D55E00", "#CC79A7", "#000000"};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(tavri_plot::ClusterColour(i), okabe_ito[i]);
    std::set<std::string> seen;
    for (int i = 0; i < 300; ++i) {
        std::string c = tavri_plot::ClusterColour(i);
        ASSERT_EQ(c.size(), 7u);
        ASSERT_EQ(c[0], '#');
        unsigned r = 0, g = 0, b = 0;
        ASSERT_EQ(std::sscanf(c.c_str(), "#%2x%2x%2x", &r, &g, &b), 3) << c;
        EXPECT_TRUE(seen.insert(c).second) << "colour " << c << " repeats at " << i;
        if (i != 7) {  // black is meant; everything else must not pass for noise grey
            unsigned hi = std::max({r, g, b});
            unsigned lo = std::min({r, g, b});
            EXPECT_GT(hi - lo, 40u) << "colour " << c << " of cluster " << i << " is nearly grey";
        }
        EXPECT_EQ(c, tavri_plot::ClusterColour(i));
    }
}

TEST(PlotCli, OneDimensionalResultIsDrawnAlongALine) {
    TempDir dir;
    const std::string result = dir / "CTavri-line.txt";
    WriteFile(result, "-1.000000\t0\n0.000000\t0\n2.000000\t1\n0.500000\t1\n");
    ToolRun run = RunPlot(dir, {result, "-o", dir / "p.svg"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string svg = ReadFile(dir / "p.svg");
    ASSERT_TRUE(WellFormed(svg));
    EXPECT_EQ(Group(svg, "y-ticks"), "") << "one coordinate has no vertical axis";
    std::vector<Circle> a = Circles(Group(svg, "cluster-0"));
    std::vector<Circle> b = Circles(Group(svg, "cluster-1"));
    ASSERT_EQ(a.size(), 2u);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_NEAR((b[0].cx - a[1].cx) / (a[1].cx - a[0].cx), 2.0, 0.02);
    EXPECT_NEAR((b[1].cx - a[1].cx) / (a[1].cx - a[0].cx), 0.5, 0.02);
    // All points lie in one horizontal band, well inside the picture.
    double top = 1e9, bottom = -1e9;
    for (const auto* set : {&a, &b})
        for (const Circle& c : *set) {
            top = std::min(top, c.cy);
            bottom = std::max(bottom, c.cy);
        }
    EXPECT_LT(bottom - top, 200.0);
    EXPECT_NE(Group(svg, "legend").find(">cluster 1 (2)<"), std::string::npos);
    // There is no second coordinate to ask for.
    ToolRun bad = RunPlot(dir, {result, "-y", "1", "-o", dir / "q.svg"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_FALSE(Exists(dir / "q.svg"));
}

TEST(PlotCli, CoordinateIndexOutOfRangeOrInvalidFails) {
    TempDir dir;
    const std::string result = dir / "CTavri-known.txt";
    WriteFile(result, KnownResult());
    const std::vector<std::vector<std::string>> cases = {
        {"-x", "2"}, {"-y", "2"}, {"-x", "-1"}, {"-y", "one"}, {"-x"}};
    for (const auto& extra : cases) {
        std::vector<std::string> args = {result, "-o", dir / "p.svg"};
        args.insert(args.end(), extra.begin(), extra.end());
        ToolRun run = RunPlot(dir, args);
        EXPECT_EQ(run.status, 1) << extra[0];
        EXPECT_EQ(run.err.rfind("tavri-plot: ", 0), 0u) << run.err;
        EXPECT_FALSE(Exists(dir / "p.svg"));
    }
    ToolRun ok = RunPlot(dir, {result, "-x", "1", "-y", "1", "-o", dir / "p.svg"});
    EXPECT_EQ(ok.status, 0) << ok.err;
}

struct BadInput {
    const char* name;
    const char* content;  // nullptr: the file does not exist
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BadInput& input, std::ostream* os) { *os << input.name; }

class PlotBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(PlotBadInput, FailsWithOneLineMessage) {
    TempDir dir;
    const std::string result = dir / "CTavri-bad.txt";
    if (GetParam().content != nullptr) WriteFile(result, GetParam().content);
    ToolRun run = RunPlot(dir, {result});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("tavri-plot: ", 0), 0u) << run.err;
    EXPECT_EQ(Count(run.err, "\n"), 1) << run.err;
    EXPECT_EQ(run.err.back(), '\n');
    EXPECT_FALSE(Exists(result + ".svg"));
    EXPECT_EQ(ListDir(dir.path()).size(), GetParam().content != nullptr ? 1u : 0u) << "no temporary file is left";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlotBadInput,
    ::testing::Values(BadInput{"missing", nullptr}, BadInput{"empty", ""}, BadInput{"blank", "\n  \n\t\n"},
                      BadInput{"field_counts", "1.0\t2.0\t0\n1.0\t0\n"},
                      BadInput{"non_numeric", "1.0\tabc\t0\n"},
                      BadInput{"number_with_tail", "1.0x\t2.0\t0\n"},
                      BadInput{"negative_label", "1.0\t2.0\t-1\n"},
                      BadInput{"fractional_label", "1.0\t2.0\t1.5\n"},
                      BadInput{"huge_label", "1.0\t2.0\t99999999999\n"},
                      BadInput{"label_only", "3\n"}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

TEST(PlotUnits, ParseReportsTheLineAndAcceptsCrLfAndBlankLines) {
    ResultData data;
    std::string error;
    ASSERT_TRUE(ParseResult("1.5\t-2.25\t0\r\n\n0.0 1.0 7\r\n", data, error)) << error;
    EXPECT_EQ(data.dims, 2);
    EXPECT_EQ(data.labels, (std::vector<int>{0, 7}));
    EXPECT_EQ(data.coords, (std::vector<double>{1.5, -2.25, 0.0, 1.0}));
    EXPECT_FALSE(ParseResult("1\t2\t0\n1\t2\t0\n1\tz\t0\n", data, error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    EXPECT_FALSE(ParseResult("1\t2\t0\n\n1\t0\n", data, error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}

TEST(PlotUnits, NonFiniteCoordinatesAreCountedButNotDrawn) {
    // "%lf" prints nan for a value that is not a number; such a point cannot
    // be placed, but the cluster sizes still count it.
    ResultData data;
    std::string error;
    ASSERT_TRUE(ParseResult("nan\t1.0\t0\n0.5\t1.0\t0\n0.7\t0.2\t0\n", data, error)) << error;
    PlotOptions options;
    options.title = "t";
    const std::string svg = BuildSvg(data, options);
    ASSERT_TRUE(WellFormed(svg));
    EXPECT_EQ(Count(Group(svg, "cluster-0"), "<circle"), 2);
    EXPECT_NE(Group(svg, "legend").find(">cluster 0 (3)<"), std::string::npos);
    EXPECT_NE(svg.find("1 not drawn"), std::string::npos);
}

TEST(PlotUnits, ManyClustersKeepTheLegendShort) {
    ResultData data;
    data.dims = 2;
    for (int label = 0; label < 50; ++label)
        for (int k = 0; k <= label % 3; ++k) {
            data.coords.push_back(label);
            data.coords.push_back(k);
            data.labels.push_back(label);
        }
    PlotOptions options;
    options.noise = true;
    const std::string svg = BuildSvg(data, options);
    ASSERT_TRUE(WellFormed(svg));
    const std::string legend = Group(svg, "legend");
    EXPECT_EQ(Count(legend, ">cluster "), 29);
    // Hidden: clusters 29..48 (20 lists); their sizes follow label % 3 + 1.
    int hidden_points = 0;
    for (int label = 29; label < 49; ++label) hidden_points += label % 3 + 1;
    EXPECT_NE(legend.find(">+20 more clusters (" + std::to_string(hidden_points) + " points)<"), std::string::npos);
    EXPECT_NE(legend.find(">noise (" + std::to_string(49 % 3 + 1) + ")<"), std::string::npos);
}

TEST(PlotUnits, TenThousandPointsStayCompactAndWellFormed) {
    ResultData data;
    data.dims = 2;
    const int n = 10000;
    for (int i = 0; i < n; ++i) {
        int label = i % 13;  // label 12 plays the noise list
        double angle = i * 0.001;
        data.coords.push_back(label * 1.5 + std::cos(angle * 7) * 0.8);
        data.coords.push_back(std::sin(angle * 11) * 2.0 - label * 0.3);
        data.labels.push_back(label);
    }
    PlotOptions options;
    options.noise = true;
    options.title = "big.txt";
    const std::string svg = BuildSvg(data, options);
    ASSERT_TRUE(WellFormed(svg));
    EXPECT_EQ(Count(svg, "<circle"), n + 13);
    std::cout << "10000-point SVG: " << svg.size() << " bytes\n";
    RecordProperty("svg_bytes", static_cast<int>(svg.size()));
    EXPECT_LT(svg.size(), 50u * n) << "each point must stay a short element";
}

TEST(PlotCli, BadInputKeepsAnEarlierPicture) {
    TempDir dir;
    const std::string result = dir / "CTavri-bad.txt";
    WriteFile(result, "1.0\t2.0\t0\n1.0\tx\t0\n");
    WriteFile(dir / "old.svg", "earlier picture");
    ToolRun run = RunPlot(dir, {result, "-o", dir / "old.svg"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadFile(dir / "old.svg"), "earlier picture");
}

TEST(PlotCli, UnwritableOutputFailsAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string result = dir / "CTavri-known.txt";
    WriteFile(result, KnownResult());
    ToolRun missing_dir = RunPlot(dir, {result, "-o", dir / "no/such/dir/p.svg"});
    EXPECT_EQ(missing_dir.status, 1);
    EXPECT_EQ(missing_dir.err.rfind("tavri-plot: cannot write ", 0), 0u) << missing_dir.err;

    // A folder in the way: the rename fails after the temporary file is written.
    ASSERT_EQ(mkdir((dir / "taken").c_str(), 0755), 0);
    WriteFile(dir / "taken/inside", "keep");
    ToolRun blocked = RunPlot(dir, {result, "-o", dir / "taken"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_EQ(blocked.err.rfind("tavri-plot: cannot write ", 0), 0u) << blocked.err;
    EXPECT_EQ(ReadFile(dir / "taken/inside"), "keep");
    std::vector<std::string> names = ListDir(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"CTavri-known.txt", "taken"}));
}

TEST(PlotCli, UsageErrorsAndHelp) {
    TempDir dir;
    for (const char* flag : {"-h", "--help"}) {
        ToolRun help = RunPlot(dir, {flag});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("Usage: tavri-plot", 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
    }
    const std::string result = dir / "CTavri-known.txt";
    WriteFile(result, KnownResult());
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {result, "--bogus"}, {result, result}, {result, "-o"}}) {
        ToolRun run = RunPlot(dir, args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind("tavri-plot: ", 0), 0u) << run.err;
        EXPECT_EQ(Count(run.err, "\n"), 1) << run.err;
    }
}

TEST(ManPage, RendersWithoutWarnings) {
    if (std::system("command -v groff >/dev/null 2>&1") != 0) GTEST_SKIP() << "groff is not installed";
    TempDir dir;
    const std::string page = std::string(TAVRI_DOCS_DIR) + "/tavri.1";
    ASSERT_TRUE(Exists(page)) << page;
    const std::string command = "groff -man -Tutf8 -ww -z " + ShellQuote(page) + " 2>" + ShellQuote(dir / "warnings");
    int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
    EXPECT_EQ(ReadFile(dir / "warnings"), "");

    ASSERT_EQ(std::system(("groff -man -Tascii -P-cbou " + ShellQuote(page) + " >" + ShellQuote(dir / "text") + " 2>/dev/null")
                              .c_str()),
              0);
    const std::string text = ReadFile(dir / "text");
    for (const char* heading : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "EXIT STATUS", "DIAGNOSTICS",
                                "EXAMPLE", "SEE ALSO"})
        EXPECT_NE(text.find(std::string("\n") + heading + "\n"), std::string::npos) << heading;
    EXPECT_NE(text.find("tavri-plot"), std::string::npos);
}

}  // namespace
