// Tests of tavri-plot, by theme: the picture of a result (PlotSvg), its scales and ticks (PlotScale, PlotAxes), the
// files it reads (PlotInput, PlotLabels, PlotNoise), its command line and help (PlotCli), its output (PlotOutput).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cfloat>
#include <cmath>
#include <regex>
#include <set>

#include "plot.h"
#include "test_support.h"

using test_support::Lines;
using test_support::ReadFile;
using test_support::TempDir;
constexpr auto npos = std::string::npos;

// Well-formed in short: no control byte, '&' only as a predefined entity or a character reference,
// and removing innermost elements (tags with quoted values, closed by their own name) leaves no '<'.
static bool WellFormed(std::string xml) {
    static const std::regex bad(R"([\x00-\x08\x0B\x0C\x0E-\x1F]|&(?!(amp|lt|gt|quot|apos|#\d+|#x[\da-fA-F]+);))"),
        inner(R"(<\?xml[^<>]*\?>|<([\w:.-]+)(?:\s+[\w:.-]+="[^"<]*")*\s*(/>|>[^<]*</\1>))");
    if (std::regex_search(xml, bad)) return false;
    for (std::string before; before != xml;) xml = std::regex_replace(before = xml, inner, "");
    return xml.find('<') == npos;
}

// A runaway allocation then fails at once instead of filling the machine; the sanitizers need the address space.
#if defined(__SANITIZE_ADDRESS__)
#define TAVRI_MEMORY_LIMIT ""
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRI_MEMORY_LIMIT ""
#endif
#endif
#ifndef TAVRI_MEMORY_LIMIT
#define TAVRI_MEMORY_LIMIT "ulimit -v 2000000; "
#endif

// tavri-plot run in `dir`: its exit status and what it wrote on its error stream.
static test_support::RunResult Plot(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", TAVRI_MEMORY_LIMIT "exec \"$0\" \"$@\" 2>&1 >/dev/null", TAVRI_PLOT_EXE});
    return test_support::Run("/bin/sh", args, dir.path());
}

// `script` run by /bin/sh in `dir` with the plotter as $0 and `args` after it: exit status and standard output.
static test_support::RunResult Shell(const TempDir& dir, const std::string& script, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"-c", TAVRI_MEMORY_LIMIT + script, TAVRI_PLOT_EXE});
    return test_support::Run("/bin/sh", args, dir.path());
}

// From the start tag of the group with this id to its end tag; "" when there is none.
static std::string Group(const std::string& svg, const std::string& id) {
    const std::size_t at = svg.find("<g id=\"" + id + "\"");
    return at == npos ? "" : svg.substr(at, svg.find("</g>", at) - at);
}

// Every value of the numeric attribute `name` in `text`, in order.
static std::vector<double> Numbers(const std::string& text, const std::string& name) {
    std::vector<double> values;
    const std::regex value(" " + name + "=\"([^\"]*)\"");
    for (std::sregex_iterator it(text.begin(), text.end(), value), end; it != end; ++it)
        values.push_back(std::stod((*it)[1]));
    return values;
}

// Every value of a position or size attribute and of a rotation is a plain finite decimal (no nan, inf or stray bytes).
static bool NumbersFinite(const std::string& svg) {
    static const std::regex value(R"~( (?:x|y|x1|y1|x2|y2|cx|cy|r|width|height)="([^"]*)"| transform="rotate\(([^)]*)\)")~"),
        decimal(R"(-?\d+(\.\d+)?%?( |$))");
    for (std::sregex_iterator it(svg.begin(), svg.end(), value), end; it != end; ++it) {
        const std::string numbers = (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
        if (std::regex_replace(numbers, decimal, "") != "") return false;
    }
    return true;
}

// The texts of the tick labels of one axis group, as numbers; a text that is not one whole finite number is NaN.
static std::vector<double> TickValues(const std::string& group) {
    std::vector<double> values;
    static const std::regex text(">([^<]*)</text>");
    for (std::sregex_iterator it(group.begin(), group.end(), text), end; it != end; ++it) {
        const std::string s = (*it)[1];
        char* stop = nullptr;
        const double v = std::strtod(s.c_str(), &stop);
        values.push_back(!s.empty() && *stop == '\0' && std::isfinite(v) ? v : NAN);
    }
    return values;
}

// Values huge, tiny or close together for their size: the picture is drawn at once, every number in it finite, each
// axis with 2 to 30 ticks whose labels are distinct, increasing numbers, and every point inside the frame.
TEST(PlotScale, ExtremeRangesGiveBoundedTicksAndFiniteNumbers) {
    EXPECT_FALSE(NumbersFinite("<circle cx=\"nan\"/>") || NumbersFinite("<line x1=\"1e+400\"/>") ||
                 NumbersFinite("<text transform=\"rotate(-90 inf 2.0)\"/>"));  // the check below can fail
    TempDir dir;
    const std::vector<std::string> results = {
        "1e16\t0\t0\n10000000000000002\t1\t0\n",                             // 1 ulp apart at 1e16
        "1700000000000000000\t1\t0\n1700000000000000256\t2\t0\n1700000000000001024\t3\t1\n",  // timestamps
        "1e308\t-1e308\t0\n-1e308\t1e308\t1\n",                                // span beyond the doubles
        "-1.7976931348623157e308\t1.7976931348623157e308\t0\n1.7976931348623157e308\t1.7976931348623157e308\t0\n",
        "1e-308\t2e-308\t0\n3e-308\t5e-323\t1\n",                              // subnormal spans
        "4.9e-324\t0\t0\n1e-323\t0\t0\n"};
    for (std::size_t i = 0; i < 2 * results.size(); ++i) {  // each also with both axes at one scale
        dir.Write("r", results[i / 2]);
        const auto run = Plot(dir, i % 2 == 0 ? std::vector<std::string>{"r"} : std::vector<std::string>{"r", "--equal"});
        ASSERT_EQ(run.status, 0) << i << ": " << run.output;
        const std::string svg = ReadFile(dir / "r.svg");
        EXPECT_TRUE(WellFormed(svg) && NumbersFinite(svg)) << i;
        for (const char* axis : {"x-ticks", "y-ticks"}) {
            const auto ticks = TickValues(Group(svg, axis));
            EXPECT_TRUE(ticks.size() >= 2 && ticks.size() <= 30) << i << axis << ticks.size();
            for (std::size_t k = 1; k < ticks.size(); ++k) EXPECT_LT(ticks[k - 1], ticks[k]) << i << axis << k;
        }
        const std::string frame = svg.substr(svg.find("<rect x="), svg.find("fill=\"none\"") - svg.find("<rect x=")),
                          points = svg.substr(0, svg.find("<g id=\"legend\""));
        const double left = Numbers(frame, "x").at(0), top = Numbers(frame, "y").at(0);
        const double right = left + Numbers(frame, "width").at(0), bottom = top + Numbers(frame, "height").at(0);
        EXPECT_EQ(Numbers(points, "cx").size(), Lines(results[i / 2]).size()) << i;
        for (const double x : Numbers(points, "cx")) EXPECT_TRUE(x >= left && x <= right) << i << " cx " << x;
        for (const double y : Numbers(points, "cy")) EXPECT_TRUE(y >= top && y <= bottom) << i << " cy " << y;
    }
}

// NiceTicks on its own: 2 to kMaxTicks finite, increasing ticks for any finite ends, covering them where the ticks
// beyond stay finite; round steps on ordinary ranges. TickText: a complete number that reads back finite, with the
// digits that tell neighbours apart, never "-0".
TEST(PlotScale, TicksAndTheirTextsForAnyFiniteEnds) {
    EXPECT_EQ(tavri_plot::NiceTicks(0, 10, 5), (std::vector<double>{0, 2, 4, 6, 8, 10}));
    EXPECT_EQ(tavri_plot::NiceTicks(-250, 1000, 5), (std::vector<double>{-400, -200, 0, 200, 400, 600, 800, 1000}));
    const double max = DBL_MAX, tiny = DBL_TRUE_MIN;
    const std::vector<std::pair<double, double>> ends = {
        {1e16, 1e16 + 2}, {1.7e18, 1.7e18 + 256}, {-max, max}, {max, max}, {-max, -max}, {0, tiny}, {tiny, tiny},
        {-1e-308, 1e-308}, {1, 1}, {0, max}, {-1, max}, {1e300, max}};
    for (const auto& [lo, hi] : ends) {
        const auto ticks = tavri_plot::NiceTicks(lo, hi, 6);
        ASSERT_TRUE(ticks.size() >= 2 && ticks.size() <= static_cast<std::size_t>(tavri_plot::kMaxTicks)) << lo;
        for (std::size_t k = 0; k < ticks.size(); ++k) {
            EXPECT_TRUE(std::isfinite(ticks[k]) && (k == 0 || ticks[k - 1] < ticks[k])) << lo << " " << hi << " " << k;
            const std::string text = tavri_plot::TickText(ticks[k], ticks[1] - ticks[0]);
            const double back = std::strtod(text.c_str(), nullptr);
            EXPECT_TRUE(std::isfinite(back) && !(text[0] == '-' && back == 0)) << text;
        }
        if (hi < 1e300) {
            EXPECT_TRUE(ticks.front() <= lo && ticks.back() >= hi) << lo << " " << hi;
        }
    }
    const std::vector<std::tuple<double, double, std::string>> texts = {
        {0.5, 0.5, "0.5"}, {0.0, 0.2, "0.0"}, {-0.0, 1, "0"}, {-0.0, 1e-9, "0"}, {1200000, 200000, "1200000"},
        {1e16, 10, "1e+16"}, {1.000000000000001e16, 10, "1.000000000000001e+16"}, {1.5e308, 5e307, "1.5e+308"},
        {-1e308, 5e307, "-1e+308"}, {5e-309, 5e-309, "5e-309"}, {1.5e-308, 5e-309, "1.5e-308"},
        {1.7e18, 1e17, "1.7e+18"}, {0.000001, 0.000001, "0.000001"}, {0.0000015, 0.0000005, "1.5e-06"},
        {DBL_MAX, INFINITY, "1.7976931348623157e+308"}, {-DBL_MAX, DBL_MAX, "-1.7976931348623157e+308"}};
    for (const auto& [value, step, text] : texts) EXPECT_EQ(tavri_plot::TickText(value, step), text) << value;
}

// --noise: the highest label is drawn small and grey; each cluster has its own colour; the legend names 29
// clusters and sums up the rest. The title drops "CTavri-", escaped, a '?' per byte XML cannot hold. Gaps keep
// their ratio, larger values sit higher, ticks span the data; 1-D (CRLF, a blank line) uses the same x axis.
TEST(PlotSvg, ClustersLegendTitleAndPlacement) {
    for (const char* bad : {"<a><b></a></b>", "<a x=1/>", "<a>&amp</a>", "<a>x < y</a>", "<a>", "<a>\x01</a>"})
        EXPECT_FALSE(WellFormed(bad)) << bad;  // the check below can fail
    TempDir dir;
    const std::string name = "CTavri-a&b<c>'d\"\x01\xff\xed\xa0\x80\xc3\xa9.txt";  // a control, broken UTF-8
    std::string text, legend = "\n";  // the result as tavri writes it ("%lf", tab, ...), the legend's text
    for (int label = 0; label < 50; ++label) {
        for (int k = 0; k < label % 4 + 2; ++k)  // 2 to 5 points a label
            text += std::to_string(label + 0.1 * k) + "\t0.000000\t" + std::to_string(label) + "\n";
        if (label < 29) legend += "cluster " + std::to_string(label) + " (" + std::to_string(label % 4 + 2) + ")\n";
    }
    dir.Write(name, text);
    // Coordinate 2 takes -1.3, 0.2, 3.2 (gaps 1.5 and 3), coordinate 0 takes 0, -1, -3 (gaps 1 and 2).
    dir.Write("xy", "0\t9\t-1.3\t0\n-1\t9\t0.2\t0\n-3\t9\t3.2\t0\n");
    dir.Write("line", "-1.300000\t0\r\n0.200000\t0\r\n3.200000\t0\r\n\nnot read\n");
    ASSERT_EQ(Plot(dir, {name, "--noise"}).status + Plot(dir, {"xy", "-x", "2", "-y", "0"}).status +
              Plot(dir, {"--", "line"}).status, 0);
    const std::string svg = ReadFile(dir / (name + ".svg")), placed = ReadFile(dir / "xy.svg"),
                      line = ReadFile(dir / "line.svg");
    ASSERT_TRUE(WellFormed(svg) && WellFormed(placed) && WellFormed(line));
    EXPECT_NE(svg.find(">Tavri clusters: a&amp;b&lt;c&gt;&apos;d&quot;?????\xc3\xa9.txt<"), npos);
    std::set<std::string> fills;
    for (int label = 0; label < 50; ++label) {
        const std::string group = Group(svg, label == 49 ? "noise" : "cluster-" + std::to_string(label));
        EXPECT_EQ(Numbers(group, "r").size(), label % 4 + 2u) << label;
        fills.insert(group.substr(group.find(" fill=\"") + 7, 7));
    }
    EXPECT_TRUE(fills.size() == 50 && Group(svg, "noise").find(tavri_plot::kNoiseColour) != npos);
    EXPECT_EQ(std::regex_replace(Group(svg, "legend"), std::regex("<[^>]*>"), ""),
              legend + "+20 more clusters (70 points)\nnoise (3)\n");
    EXPECT_LT(Numbers(Group(svg, "noise"), "r").at(0), Numbers(Group(svg, "cluster-0"), "r").at(0));

    const auto x = Numbers(Group(placed, "cluster-0"), "cx"), y = Numbers(Group(placed, "cluster-0"), "cy"),
               ticks = Numbers(Group(placed, "x-ticks"), "x1");
    for (const auto& v : {x, y}) EXPECT_NEAR((v.at(2) - v.at(1)) / (v.at(1) - v.at(0)), 2.0, 0.02);
    EXPECT_TRUE(x[1] > x[0] && y[1] > y[0] && ticks.front() <= x[0] && ticks.back() >= x[2]);
    EXPECT_EQ(Numbers(Group(line, "cluster-0"), "cx"), x);
    EXPECT_TRUE(placed.find(">coordinate 2 (standardised)<") != npos &&
                placed.find(">coordinate 0 (standardised)<") != npos && Group(line, "y-ticks").empty() &&
                line.find(">cluster 0 (3)<") != npos);
}

// Coordinates that are not finite (possible from a caller of the library, never from a file) are left out of the
// picture and counted in its subtitle; every number written stays finite.
TEST(PlotSvg, NonFiniteCoordinatesAreLeftOutAndCounted) {
    tavri_plot::LabelledPoints data;
    data.dims = 2;
    data.coords = {0, 0, NAN, 1, 2, INFINITY, 3, 4, -INFINITY, NAN};
    data.labels = {0, 0, 1, 1, 1};
    tavri_plot::PlotOptions options;
    const std::string svg = tavri_plot::BuildSvg(data, options);
    EXPECT_TRUE(WellFormed(svg) && NumbersFinite(svg));
    EXPECT_EQ(Numbers(Group(svg, "cluster-0"), "cx").size() + Numbers(Group(svg, "cluster-1"), "cx").size(), 2u);
    EXPECT_NE(svg.find(">5 points, 2 clusters; 3 not drawn (coordinate not finite)<"), npos);
}

// Each failure: exit 1, exactly one "tavri-plot: " line on stderr saying why, the folder as it was (no temporary
// file, the earlier picture kept).
static void ExpectFailures(const TempDir& dir, const std::vector<std::vector<std::string>>& cases,
                           const std::string& varied = "in") {
    dir.Write(varied, "");
    const std::vector<std::string> before = dir.FileNames();
    const std::string picture = ReadFile(dir / "in.svg");
    for (const auto& c : cases) {  // the file `varied`, the arguments..., the line expected
        dir.Write(varied, c[0]);
        const auto run = Plot(dir, std::vector<std::string>(c.begin() + 1, c.end() - 1));
        EXPECT_EQ(run.status, 1) << c.back();
        EXPECT_EQ(run.output, "tavri-plot: " + c.back() + "\n");
        EXPECT_TRUE(dir.FileNames() == before && ReadFile(dir / "in.svg") == picture) << c.back();
    }
}

// Every field of a result file is checked: coordinates are complete finite decimals, the label a non-negative
// int, the field count the same on every line; the fault is named by file, line and column. The forms tavri
// itself accepts (signs, a bare point, exponents, CRLF, tabs and spaces, underflow) all read.
TEST(PlotInput, ResultFieldsAreCheckedAndFaultsNamed) {
    TempDir dir;
    dir.Write("in.svg", "earlier picture");
    const std::string bad = " is not a finite decimal number";
    ExpectFailures(dir, {
        {"\n \t\n", "in", "in: no points"},
        {"3\n", "in", "in: line 1: expected coordinates followed by a label, found 1 field"},
        {"1\t2\t0\n1\t0\n", "in", "in: line 2: 2 fields, earlier lines have 3"},
        {"1.0x\t2\t0\n", "in", "in: line 1, column 1: '1.0x'" + bad},
        {"0 0 0\n1\tnan\t0\n", "in", "in: line 2, column 2: 'nan'" + bad},
        {"inf 2 0\n", "in", "in: line 1, column 1: 'inf'" + bad},
        {"1 -Infinity 0\n", "in", "in: line 1, column 2: '-Infinity'" + bad},
        {"0x1p3 2 0\n", "in", "in: line 1, column 1: '0x1p3'" + bad},
        {"1,5 2 0\n", "in", "in: line 1, column 1: '1,5'" + bad},
        {"1 2e 0\n", "in", "in: line 1, column 2: '2e'" + bad},
        {". 2 0\n", "in", "in: line 1, column 1: '.'" + bad},
        {"+-1 2 0\n", "in", "in: line 1, column 1: '+-1'" + bad},
        {"1\v 2 0\n", "in", "in: line 1, column 1: '1?'" + bad},
        {"1 1e309 0\n", "in", "in: line 1, column 2: '1e309' is beyond the range of a double"},
        {"1\t2\t1.5\n", "in", "in: line 1: label '1.5' is not a non-negative integer"},
        {"1\t2\t-1\n", "in", "in: line 1: label '-1' is not a non-negative integer"},
        {"1\t2\t9999999999\n", "in", "in: line 1: label '9999999999' is not a non-negative integer"}});
    dir.Write("r", "+1.5 .5\t0\r\n5. -0 1\r\n 1e-400\t1E+2 2\t\n");
    ASSERT_EQ(Plot(dir, {"r"}).status, 0);
    EXPECT_NE(ReadFile(dir / "r.svg").find(">3 points, 3 clusters<"), npos);
}

// Command-line faults name the option; a missing file names the system's reason.
TEST(PlotCli, UsageFaultsExitOneWithOneLine) {
    TempDir dir;
    dir.Write("in.svg", "earlier picture");
    std::filesystem::create_directory(dir.Path("taken"));
    const std::string ok = "1\t2\t0\n3\t4\t1\n";
    ExpectFailures(dir, {
        {"0.5\t0\n", "in", "-y", "1", "-y 1 is out of range: the result has 1 coordinate (index 0)"},
        {ok, "in", "-x", "2", "-x 2 is out of range: the result has 2 coordinates (indexes 0 to 1)"},
        {ok, "no result file given (try --help)"},
        {ok, "in", "in", "more than one result file given (try --help)"},
        {ok, "in", "--bogus", "unknown option '--bogus' (try --help)"},
        {ok, "in", "-o", "-o needs a file name"},
        {ok, "in", "-x", "-1", "-x needs a coordinate index (0, 1, ...), not '-1'"},
        {ok, "in", "-y", "-y needs a coordinate index (0, 1, ...)"},
        {ok, "no", "cannot open no: No such file or directory"},
        {ok, "taken", "cannot read taken: Is a directory"},
        {ok, "in", "-o", "taken", "cannot write taken: Is a directory"}});
}

// --equal: one unit takes as many pixels across as up, whichever axis is the wider, for the points and the ticks
// alike; the widened axis keeps its ticks inside the frame. Without it each axis fills the frame on its own.
TEST(PlotAxes, EqualScaleGivesBothAxesOnePixelsPerUnit) {
    TempDir dir;
    dir.Write("wide", "0 0 0\n10 0 0\n0 1 0\n");
    dir.Write("tall", "0 0 0\n1 0 0\n0 10 0\n");
    for (const char* name : {"wide", "tall"}) {
        ASSERT_EQ(Plot(dir, {name, "--equal"}).status + Plot(dir, {name, "-o", "free.svg"}).status, 0);
        double ratio[2];  // pixels per unit across over pixels per unit up, with --equal and without
        for (int equal = 1; equal >= 0; --equal) {
            const std::string svg = ReadFile(equal ? dir / (std::string(name) + ".svg") : dir / "free.svg");
            ASSERT_TRUE(WellFormed(svg) && NumbersFinite(svg));
            const auto x = Numbers(Group(svg, "cluster-0"), "cx"), y = Numbers(Group(svg, "cluster-0"), "cy");
            const double span = name[0] == 'w' ? 10 : 1;  // of coordinate 0; coordinate 1 spans 11 - span
            ratio[equal] = ((x[1] - x[0]) / span) / ((y[0] - y[2]) / (11 - span));
            if (!equal) continue;
            const auto xt = Numbers(Group(svg, "x-ticks"), "x1"), yt = Numbers(Group(svg, "y-ticks"), "y1");
            const auto xv = TickValues(Group(svg, "x-ticks")), yv = TickValues(Group(svg, "y-ticks"));
            ASSERT_TRUE(xt.size() >= 2 && yt.size() >= 2 && xv.size() == xt.size() && yv.size() == yt.size());
            EXPECT_NEAR(((xt[1] - xt[0]) / (xv[1] - xv[0])) / ((yt[0] - yt[1]) / (yv[1] - yv[0])), 1.0, 0.01) << name;
            for (const double v : xt) EXPECT_TRUE(v >= 80 && v <= 700) << name << v;
            for (const double v : yt) EXPECT_TRUE(v >= 70 && v <= 610) << name << v;
        }
        EXPECT_NEAR(ratio[1], 1.0, 0.01) << name;
        EXPECT_GT(std::fabs(ratio[0] - 1.0), 0.5) << name;
    }
}

// --help and --version answer on standard output alone and exit 0; words after them are not looked at, files
// before them not read. The version is the project's.
TEST(PlotCli, HelpAndVersionGoToStandardOutput) {
    TempDir dir;
    const auto version = Shell(dir, "exec \"$0\" no-such-file --version -x bad 2>&1");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, "tavri-plot " TAVRI_PROJECT_VERSION "\n");
    EXPECT_TRUE(std::regex_match(version.output, std::regex("tavri-plot [0-9]+\\.[0-9]+\\.[0-9]+\n")));
    for (const char* flag : {"-h", "--help"}) {
        const auto help = Shell(dir, std::string("exec \"$0\" ") + flag + " --bogus 2>&1");
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.output.rfind("Usage: tavri-plot RESULT", 0), 0u) << help.output;
        EXPECT_EQ(Shell(dir, std::string("exec \"$0\" ") + flag + " 2>/dev/null").output, help.output);
    }
    EXPECT_EQ(dir.FileNames(), std::vector<std::string>());
}

// The help and the man page tell of the same options, and the man page shows the help's examples and defaults.
TEST(PlotCli, HelpAndManPageAgree) {
    TempDir dir;
    const std::string help = Shell(dir, "exec \"$0\" --help").output;
    const std::string man = std::regex_replace(ReadFile(TAVRI_PLOT_MAN), std::regex(R"(\\-)"), "-");
    const std::set<std::string> options = test_support::OptionsOf(help, false);
    EXPECT_EQ(options, (std::set<std::string>{"-o", "-x", "-y", "--labels", "--equal", "--noise", "--no-noise", "-h",
                                              "--help", "--version"}));
    EXPECT_EQ(test_support::OptionsOf(ReadFile(TAVRI_PLOT_MAN), true), options);
    std::size_t examples = 0;
    for (const std::string& line : Lines(help.substr(help.find("Examples:")))) {
        if (line.rfind("  tavri-plot ", 0) != 0) continue;
        ++examples;
        EXPECT_NE(man.find(line.substr(2)), npos) << line;
    }
    EXPECT_EQ(examples, 3u);
    for (const char* said : {"Default: 0.", "Default: 1;", "Default: off;", "Default: none;", "Default for both:",
                             "the input's name followed by", "RTavri-", "standard output", ".B 0\n", ".B 1\n"})
        EXPECT_NE(man.find(said), npos) << said;
}

// With --labels every data row is drawn in the data's own units, coloured by the label on its line of the labels
// file; the axes name the data columns. A blank line ends both files, as it ends tavri's reading of the data.
TEST(PlotLabels, DataRowsAreDrawnInTheirOwnUnitsByLabel) {
    TempDir dir;
    dir.Write("d.txt", "100 5000\n200\t6000\n300 7000\r\n1000 5500\n\nnot data\n");
    dir.Write("LTavri-d.txt", "0\n0\n1\n1\n\nnot a label\n");
    ASSERT_EQ(Plot(dir, {"d.txt", "--labels", "LTavri-d.txt"}).status, 0);
    const std::string svg = ReadFile(dir / "d.txt.svg");
    ASSERT_TRUE(WellFormed(svg) && NumbersFinite(svg));
    EXPECT_NE(svg.find(">Tavri clusters: d.txt<"), npos);
    EXPECT_NE(svg.find(">4 points, 2 clusters<"), npos);
    EXPECT_NE(svg.find(">column 0 of d.txt<"), npos);
    EXPECT_NE(svg.find(">column 1 of d.txt<"), npos);
    const auto x0 = Numbers(Group(svg, "cluster-0"), "cx"), x1 = Numbers(Group(svg, "cluster-1"), "cx");
    ASSERT_TRUE(x0.size() == 2 && x1.size() == 2);
    EXPECT_NEAR((x0[1] - x0[0]) / (x1[1] - x0[0]), 100.0 / 900.0, 0.001);  // 100, 200 and 1000 in raw units
    const auto ticks = TickValues(Group(svg, "x-ticks"));
    EXPECT_TRUE(ticks.size() >= 2 && ticks.front() <= 100 && ticks.back() >= 1000) << ticks.size();

    ASSERT_EQ(Plot(dir, {"d.txt", "--labels", "LTavri-d.txt", "-x", "1", "-y", "0", "-o", "swapped.svg"}).status, 0);
    const std::string swapped = ReadFile(dir / "swapped.svg");
    EXPECT_LT(swapped.find(">column 1 of d.txt<"), swapped.find(">column 0 of d.txt<"));  // the x axis comes first
}

// A labels file must give one non-negative integer a line and as many lines as the data has rows; the data file
// is read as strictly as a result file. Each fault names its file and line.
TEST(PlotLabels, FaultsNameTheFileAndLine) {
    TempDir dir;
    dir.Write("in.svg", "earlier picture");
    dir.Write("d", "1 2\n3 4\n5 6\n");
    dir.Write("L", "0\n1\n1\n");
    const std::string bad = "expected one label (a non-negative integer), found ";
    ExpectFailures(dir, {
        {"0\n1\n", "d", "--labels", "in", "d has 3 rows but in has 2 labels: line i must label row i"},
        {"0\n1\n1\n2\n", "d", "--labels", "in", "d has 3 rows but in has 4 labels: line i must label row i"},
        {"0\n1 2\n1\n", "d", "--labels", "in", "in: line 2: 2 fields, earlier lines have 1"},
        {"0 1\n2 1\n3 1\n", "d", "--labels", "in", "in: line 1: 2 fields, expected one label (a non-negative integer)"},
        {"0\n-1\n1\n", "d", "--labels", "in", "in: line 2: " + bad + "'-1'"},
        {"0\n1\n1.5\r\n", "d", "--labels", "in", "in: line 3: " + bad + "'1.5'"},
        {"\n0\n", "d", "--labels", "in", "in: no labels"},
        {"1 2\n3 nan\n5 6\n", "in", "--labels", "L", "in: line 2, column 2: 'nan' is not a finite decimal number"},
        {"1 2\n3\n5 6\n", "in", "--labels", "L", "in: line 2: 1 column, earlier lines have 2"},
        {" \n1 2\n", "in", "--labels", "L", "in: no data rows"},
        {"", "d", "--labels", "L", "-x", "2", "-x 2 is out of range: the data has 2 columns (indexes 0 to 1)"},
        {"", "d", "--labels", "nothing", "cannot open nothing: No such file or directory"},
        {"", "d", "--labels", "--labels needs a file name"},
        {"", "--labels", "L", "no data file given (try --help)"},
        {"", "d", "in", "--labels", "L", "more than one data file given (try --help)"}});
}

// The noise list: without options the run summary beside the result (RTavri-NAME for CTavri-NAME) or beside the
// labels file (for LTavri-NAME) decides; --noise and --no-noise overrule it, the last of them given wins. Without
// a summary, or for a file not named by tavri, there is no noise list.
TEST(PlotNoise, TheRunSummaryDecidesUnlessAnOptionDoes) {
    TempDir dir;
    std::filesystem::create_directory(dir.Path("sub"));
    const std::string result = "0 0 0\n1 1 0\n2 2 1\n3 3 1\n4 4 2\n";
    for (const char* name : {"CTavri-r", "sub/CTavri-r", "plain"}) dir.Write(name, result);
    dir.Write("d", "0 0\n1 1\n2 2\n");
    dir.Write("LTavri-d", "0\n1\n1\n");
    const std::string noise = "lists=3 clusters=2 noise=1 rows=9 points=5 sampled=0\n";
    const std::string none = "lists=3 clusters=3 noise=0 rows=5 points=5 sampled=0\n";
    struct Case { std::string summary_name, summary; std::vector<std::string> args; int noise_points; };
    const std::vector<Case> cases = {
        {"", "", {"CTavri-r"}, 0},
        {"RTavri-r", noise, {"CTavri-r"}, 1},
        {"sub/RTavri-r", noise, {"sub/CTavri-r"}, 1},
        {"RTavri-r", "lists=3 noise=1 clusters=2 future=7 points=5 sampled=1 rows=9", {"CTavri-r"}, 1},
        {"RTavri-r", none, {"CTavri-r"}, 0},
        {"RTavri-r", noise, {"CTavri-r", "--no-noise"}, 0},
        {"RTavri-r", none, {"CTavri-r", "--noise"}, 1},
        {"RTavri-r", "broken", {"CTavri-r", "--no-noise", "--noise"}, 1},  // an option: the summary is not read
        {"RTavri-r", noise, {"CTavri-r", "--noise", "--no-noise"}, 0},
        {"RTavri-plain", noise, {"plain"}, 0},
        {"RTavri-d", "lists=2 clusters=1 noise=1 rows=3 points=2 sampled=1\n", {"d", "--labels", "LTavri-d"}, 2},
        {"RTavri-d", "lists=2 clusters=2 noise=0 rows=3 points=2 sampled=1\n", {"d", "--labels", "LTavri-d"}, 0}};
    for (const Case& c : cases) {
        if (!c.summary_name.empty()) dir.Write(c.summary_name, c.summary);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "out.svg"});
        const auto run = Plot(dir, args);
        ASSERT_EQ(run.status, 0) << c.summary_name << ": " << run.output;
        const std::string svg = ReadFile(dir / "out.svg"), legend = Group(svg, "legend");
        EXPECT_EQ(Numbers(Group(svg, "noise"), "r").size(), static_cast<std::size_t>(c.noise_points)) << c.summary;
        EXPECT_EQ(legend.find(">noise (" + std::to_string(c.noise_points) + ")<") != npos, c.noise_points > 0);
        if (!c.summary_name.empty()) std::filesystem::remove(dir.Path(c.summary_name));
    }
}

// A summary that is malformed, or whose counts do not fit the file it sits beside, is refused with one line naming
// it (a summary of another run would colour a cluster as noise); --noise or --no-noise plot without it.
TEST(PlotNoise, SummaryFaultsAreNamed) {
    TempDir dir;
    dir.Write("in.svg", "earlier picture");
    dir.Write("CTavri-r", "0 0 0\n1 1 0\n2 2 1\n3 3 1\n4 4 2\n");
    dir.Write("d", "0 0\n1 1\n2 2\n");
    dir.Write("LTavri-d", "0\n1\n1\n");
    const std::string other = ": not the summary of this run (--noise or --no-noise skip it)";
    ExpectFailures(dir, {
        {"lists=3 clusters=2 noise=1 rows=5 points=4 sampled=0", "CTavri-r",
         "RTavri-r: points=4 but CTavri-r has 5 points" + other},
        {"lists=2 clusters=1 noise=1 rows=5 points=5 sampled=0", "CTavri-r",
         "RTavri-r: lists=2 but CTavri-r has label 2" + other},
        {"lists=3 clusters=2 noise=1 rows=5 points=5", "CTavri-r", "RTavri-r: no sampled= value"},
        {"lists clusters=2 noise=1 rows=5 points=5 sampled=0", "CTavri-r",
         "RTavri-r: line 1: 'lists' is not a key=value pair"},
        {"lists=3 clusters=2 noise=x rows=5 points=5 sampled=0", "CTavri-r",
         "RTavri-r: 'noise=x' needs a non-negative integer"},
        {"lists=3 clusters=1 noise=2 rows=5 points=5 sampled=0", "CTavri-r", "RTavri-r: noise=2 is neither 0 nor 1"},
        {"lists=3 clusters=3 noise=1 rows=5 points=5 sampled=0", "CTavri-r",
         "RTavri-r: clusters=3 and noise=1 do not add up to lists=3"},
        {"lists=3 lists=3 clusters=2 noise=1 rows=5 points=5 sampled=0", "CTavri-r", "RTavri-r: lists= given twice"},
        {"lists=3 clusters=2 noise=1 rows=5 points=5 sampled=0\nmore\n", "CTavri-r",
         "RTavri-r: line 2: a summary is one line"}}, "RTavri-r");
    ExpectFailures(dir, {{"lists=2 clusters=1 noise=1 rows=4 points=2 sampled=1", "d", "--labels", "LTavri-d",
                          "RTavri-d: rows=4 but LTavri-d has 3 labels" + other}}, "RTavri-d");
    std::filesystem::remove(dir.Path("RTavri-d"));
    std::filesystem::create_directory(dir.Path("RTavri-d"));
    ExpectFailures(dir, {{"", "d", "--labels", "LTavri-d", "cannot read RTavri-d: Is a directory"}});
}

static bool IsLink(const std::string& path) { return std::filesystem::is_symlink(std::filesystem::symlink_status(path)); }

// "-o -" is standard output; a FIFO, a link to the plotter's own standard output (as /dev/stdout is) and a link to a
// regular file are written through, each left what it was. The same picture every time, and no stray file.
TEST(PlotOutput, StandardOutputFifosAndLinksAreWrittenInPlace) {
    TempDir dir;
    dir.Write("r", "1\t2\t0\n3\t4\t1\n");
    ASSERT_EQ(Plot(dir, {"r"}).status, 0);
    const std::string picture = ReadFile(dir / "r.svg");
    ASSERT_TRUE(WellFormed(picture) && picture.size() < 16384);  // fits a pipe's buffer unread
    const auto to_stdout = Shell(dir, "exec \"$0\" r -o - 2>&1");
    EXPECT_TRUE(to_stdout.status == 0 && to_stdout.output == picture) << to_stdout.output;

    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
    const int reader = open(dir.Path("fifo").c_str(), O_RDONLY | O_NONBLOCK);  // lets the plotter open it
    ASSERT_GE(reader, 0);
    EXPECT_EQ(Plot(dir, {"r", "-o", "fifo"}).status, 0);
    std::string through_fifo(2 * picture.size(), '\0');
    const ssize_t got = read(reader, through_fifo.data(), through_fifo.size());
    close(reader);
    through_fifo.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    EXPECT_EQ(through_fifo, picture);
    EXPECT_TRUE(std::filesystem::is_fifo(dir.Path("fifo")));

    std::filesystem::create_symlink("/proc/self/fd/1", dir.Path("stdout"));
    const auto through_link = Shell(dir, "exec \"$0\" r -o stdout 2>&1");
    EXPECT_TRUE(through_link.status == 0 && through_link.output == picture) << through_link.output;
    dir.Write("target.svg", "earlier picture");
    std::filesystem::create_symlink("target.svg", dir.Path("link.svg"));
    EXPECT_EQ(Plot(dir, {"r", "-o", "link.svg"}).status, 0);
    EXPECT_TRUE(IsLink(dir / "stdout") && IsLink(dir / "link.svg") && ReadFile(dir / "target.svg") == picture);
    EXPECT_EQ(dir.FileNames(), std::vector<std::string>({"fifo", "link.svg", "r", "r.svg", "stdout", "target.svg"}));
}

// A regular file is replaced by a new one (a hard link to the old keeps the old text); when the writing fails the
// earlier file stays as it was and no temporary file is left. Failures name the output and the system's reason.
TEST(PlotOutput, RegularFilesAreReplacedWholeAndFailuresTouchNothing) {
    TempDir dir;
    dir.Write("r", "1\t2\t0\n3\t4\t1\n");
    dir.Write("r.svg", "earlier picture");
    std::filesystem::create_hard_link(dir.Path("r.svg"), dir.Path("old.svg"));
    ASSERT_EQ(Plot(dir, {"r"}).status, 0);
    EXPECT_TRUE(WellFormed(ReadFile(dir / "r.svg")) && ReadFile(dir / "old.svg") == "earlier picture");

    dir.Write("r.svg", "earlier picture");
    std::filesystem::create_symlink("/dev/full", dir.Path("full"));
    struct Case { std::string script, says; };
    const std::vector<Case> cases = {
        // Writes past one 512-byte block fail (EFBIG) instead of killing the process.
        {"trap '' XFSZ; ulimit -f 1; exec \"$0\" r 2>&1", "tavri-plot: cannot write r.svg: File too large\n"},
        {"exec \"$0\" r -o full 2>&1", "tavri-plot: cannot write full: No space left on device\n"},
        {"exec \"$0\" r -o - 2>&1 >/dev/full", "tavri-plot: cannot write standard output: No space left on device\n"},
        {"exec \"$0\" r -o no/r.svg 2>&1", "tavri-plot: cannot write no/r.svg: No such file or directory\n"}};
    for (const Case& c : cases) {
        const auto run = Shell(dir, c.script);
        EXPECT_EQ(run.status, 1) << c.script;
        EXPECT_EQ(run.output, c.says);
        EXPECT_EQ(ReadFile(dir / "r.svg"), "earlier picture") << c.script;
        EXPECT_EQ(dir.FileNames(), std::vector<std::string>({"full", "old.svg", "r", "r.svg"})) << c.script;
    }
}
