// tavri-plot: draws a Tavri result file as an SVG picture.
#include "plot.h"

int main(int argc, char** argv) { return tavri_plot::RunCli(argc, argv); }
