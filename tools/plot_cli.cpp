// The command line of tavri-plot.
#include <iostream>

#include "plot.h"

namespace tavri_plot {

namespace {

const char kUsage[] =
    "Usage: tavri-plot RESULT [-o OUT.svg] [-x I] [-y J] [--noise]\n"
    "       tavri-plot -h | --help\n"
    "Draws a Tavri result file (CTavri-NAME) as an SVG scatter plot.\n"
    "  -o OUT.svg  picture to write (default: RESULT.svg)\n"
    "  -x I        coordinate on the horizontal axis, 0-based (default 0)\n"
    "  -y J        coordinate on the vertical axis, 0-based (default 1);\n"
    "              a result with one coordinate is drawn along a line\n"
    "  --noise     the highest label is the noise list: draw it small and grey\n"
    "  -h, --help  show this help\n";

int Fail(const std::string& reason) {
    std::cerr << "tavri-plot: " << reason << '\n';
    return 1;
}

}  // namespace

int RunCli(int argc, char** argv) {
    std::string result_path;
    bool have_result = false;
    std::string output;
    bool have_output = false;
    int x = 0;
    int y = 1;
    bool have_y = false;
    bool noise = false;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!options_done && arg.size() > 1 && arg[0] == '-') {
            if (arg == "-h" || arg == "--help") {
                std::cout << kUsage;
                return 0;
            } else if (arg == "--") {
                options_done = true;
            } else if (arg == "--noise") {
                noise = true;
            } else if (arg == "-o") {
                if (i + 1 >= argc) return Fail("-o needs a file name");
                output = argv[++i];
                have_output = true;
            } else if (arg == "-x" || arg == "-y") {
                if (i + 1 >= argc) return Fail(arg + " needs a coordinate index (0, 1, ...)");
                int value = 0;
                if (!ParseNonNegative(argv[++i], value))
                    return Fail(arg + " needs a coordinate index (0, 1, ...), not '" + Shown(argv[i]) + "'");
                if (arg == "-x") {
                    x = value;
                } else {
                    y = value;
                    have_y = true;
                }
            } else {
                return Fail("unknown option '" + Shown(arg) + "' (try --help)");
            }
            continue;
        }
        if (have_result) return Fail("more than one result file given (try --help)");
        result_path = arg;
        have_result = true;
    }
    if (!have_result) return Fail("no result file given (try --help)");

    LabelledPoints data;
    std::string error;
    if (!ReadResultFile(result_path, data, error)) return Fail(error);

    PlotOptions options;
    options.noise = noise;
    options.title = TitleFromPath(result_path);
    options.x = x;
    options.y = y;
    options.one_dimensional = data.dims == 1 && !have_y;
    auto out_of_range = [&](const char* flag, int value) {
        std::string has = data.dims == 1 ? "1 coordinate (index 0)"
                                         : std::to_string(data.dims) + " coordinates (indexes 0 to " +
                                               std::to_string(data.dims - 1) + ")";
        return Fail(std::string(flag) + " " + std::to_string(value) + " is out of range: the result has " + has);
    };
    if (x >= data.dims) return out_of_range("-x", x);
    if (!options.one_dimensional && y >= data.dims) return out_of_range("-y", y);

    if (!have_output) output = result_path + ".svg";
    if (!WriteOutput(output, BuildSvg(data, options), error)) return Fail(error);
    return 0;
}

}  // namespace tavri_plot
