// Clusters six points on a line with the Tavri library and prints, per
// point, its label (-1 would be noise).
#include <cstdio>
#include <vector>

#include <tavri/tavri.hpp>

int main() {
    const std::vector<double> points = {0, 1, 2, 10, 11, 12};  // 6 rows x 1 column
    try {
        const tavri::Result result = tavri::Cluster(points.data(), 6, 1);
        std::printf("%d clusters%s:", result.n_clusters, result.has_noise ? " and noise" : "");
        for (const int label : result.labels) std::printf(" %d", label);
        std::printf("\n");
    } catch (const tavri::Error& error) {
        std::fprintf(stderr, "tavri: %s\n", error.what());
        return 1;
    }
    return 0;
}
