#include "sampling.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <new>
#include <vector>

namespace {

// The matrix helpers report failure by a null result; here, as for every other
// allocation of the step, running out of memory ends the run.
double** TakeMatrix(int rows, int cols) {
    double** m = Reservmemdouble(rows, cols);
    if (m == nullptr) throw std::bad_alloc();
    return m;
}

}  // namespace

// ---- Parameter block -------------------------------------------------------

ParamFCNNrule* InitParamFCNNrule(int n) {
    ParamFCNNrule* p = new ParamFCNNrule();
    p->n_rows = n;
    p->distance = d_Eucl;
    p->cost_history = new double[n];
    p->max_radius_history = new double[n];
    for (int i = 0; i < n; ++i) {
        // Stands for "no cost yet": larger than any normalised cost.
        p->cost_history[i] = 1e10;
        p->max_radius_history[i] = 0.0;
    }
    // n_dims is only known after creation: the centroid pass takes the matrix.
    p->centroids = nullptr;
    p->centroid_rows = n;
    p->centroid_cols = 0;
    p->max_prototypes = n;
    p->scale_by_inertia = 0;
    return p;
}

void InitSingleParamFCNNrule(ParamFCNNrule* p) {
    p->track_criteria = 0;
    p->start_mode = 1;
    p->n_dims = 1;
    p->build_member_lists = 1;
    p->gravity_on = 0;
    p->skip_tests = 1;
    p->cost_threshold = 0.01;
}

void LibereParamFCNNrule(ParamFCNNrule* p) {
    delete[] p->cost_history;
    p->cost_history = nullptr;
    delete[] p->max_radius_history;
    p->max_radius_history = nullptr;
    Delete2D(p->centroids, p->centroid_rows);
    p->centroids = nullptr;
    p->centroid_cols = 0;
}

// ---- Workspace -------------------------------------------------------------

int InitMemory(Internal* w, ParamFCNNrule* p) {
    const int n = p->n_rows;
    const int k1 = p->max_prototypes + 1;
    const int m = max(n, k1);
    w->skip_flag = new int[k1]();
    w->assignment = new int[m]();
    w->farthest_member = new int[m]();
    w->prototype_row = new int[m]();
    w->active = new int[m]();
    w->prototype_distance = TakeMatrix(k1, k1);
    w->distance_to_prototype = new double[m]();
    w->radius = new double[m]();
    w->population = new int[m]();
    w->split_prototype = -1;
    w->scale = 1.0;
    w->radius_limit = -1.0;
    w->tri = new Tri();
    InitTri(w->tri, k1);
    return 1;
}

void InitTri(Tri* t, int n) { t->label = new int[n](); }

void LibereMemoireAlgorithme(Internal* w, ParamFCNNrule* p) {
    delete[] w->skip_flag;
    delete[] w->assignment;
    delete[] w->farthest_member;
    delete[] w->prototype_row;
    delete[] w->active;
    delete[] w->distance_to_prototype;
    delete[] w->radius;
    delete[] w->population;
    Delete2D(w->prototype_distance, p->max_prototypes + 1);
    w->skip_flag = w->assignment = w->farthest_member = w->prototype_row = w->active = w->population = nullptr;
    w->distance_to_prototype = w->radius = nullptr;
    w->prototype_distance = nullptr;
    if (w->tri != nullptr) {
        LibereTri(w->tri);
        delete w->tri;
        w->tri = nullptr;
    }
}

void LibereTri(Tri* t) {
    delete[] t->label;
    t->label = nullptr;
}

// ---- Initialisation --------------------------------------------------------

int InitProgramme(double** data, Internal* w, ParamFCNNrule* p) {
    InitMemory(w, p);
    const int n = p->n_rows;
    // A twentieth of the rows, but never fewer than 1000 (nor more than exist).
    const int s = min(n, max(n / 20, 1000));
    w->scale = p->scale_by_inertia == 1 ? InertieGenAleaListe(data, n, p->n_dims, s) : 1.0;
    const int f = InitParametres(data, w, p);
    // Radii are never negative, so this limit never stops the iteration.
    w->radius_limit = -1.0;
    return f;
}

double InertieGenAleaListe(double** data, int n, int dims, int s) {
    std::srand(static_cast<unsigned>(static_cast<std::uint32_t>(std::time(nullptr))));
    // Draws are taken modulo n-1: fewer than two rows (or an empty sample) give no estimate.
    if (n < s || n < 2 || s < 1) return 0.0;
    std::vector<double> mean(static_cast<std::size_t>(max(dims, 0)), 0.0);
    std::vector<int> drawn(static_cast<std::size_t>(s));
    for (int t = 0; t < s; ++t) {
        const int r = std::rand() % (n - 1);
        drawn[t] = r;
        const double* row = data[r];
        for (int j = 0; j < dims; ++j) mean[j] += row[j];
    }
    for (int j = 0; j < dims; ++j) mean[j] /= s;
    double sum = 0.0;
    for (int t = 0; t < s; ++t) {
        const double d = d_Eucl(mean.data(), data[drawn[t]], dims);
        sum += d * d;
    }
    return std::sqrt(sum / s);
}

int InitParametres(double** data, Internal* w, ParamFCNNrule* p) {
    const int n = p->n_rows;
    const int dims = p->n_dims;
    const int kmax = p->max_prototypes;
    for (int a = 0; a < kmax; ++a) std::fill(w->prototype_distance[a], w->prototype_distance[a] + kmax, 0.0);
    for (int i = 0; i < n; ++i) {
        w->active[i] = 1;
        // Farther than any real distance, so the first pass assigns every row.
        w->distance_to_prototype[i] = 1e10;
        w->radius[i] = -1e10;
        w->assignment[i] = 0;
    }
    for (int j = 0; j < kmax; ++j) w->skip_flag[j] = 0;

    int f = 0;
    if (p->start_mode != 0 && p->start_mode != -1) {
        if (n >= 2) f = std::rand() % (n - 1);
    } else {
        const bool maximum = p->start_mode == -1;
        std::vector<double> corner(static_cast<std::size_t>(max(dims, 0)), maximum ? -1e10 : 1e10);
        for (int i = 0; i < n; ++i) {
            const double* row = data[i];
            for (int j = 0; j < dims; ++j) {
                if (maximum ? row[j] > corner[j] : row[j] < corner[j]) corner[j] = row[j];
            }
        }
        // Strict comparison: the first row at the smallest distance wins.
        double best = 100000.0;
        for (int i = 0; i < n; ++i) {
            const double d = p->distance(corner.data(), data[i], dims);
            if (d < best) {
                best = d;
                f = i;
            }
        }
    }
    w->distance_to_prototype[f] = 0.0;
    w->population[0] = n;
    w->farthest_member[0] = f;
    w->active[f] = 0;
    w->prototype_row[0] = f;
    return f;
}

// ---- Iteration -------------------------------------------------------------

int SamplingApproach_PROBA(double** data, int* rows_out, int& k, int* pops_out, double* dens_out, int** lists,
                           ParamFCNNrule* p, int* row_assignment) {
    (void)lists;
    if (p == nullptr) return 0;
    // Nothing to represent or no room for a prototype.
    if (p->n_rows < 1 || p->max_prototypes < 1) {
        k = 0;
        return 0;
    }
    Internal* w = new Internal();
    int next = InitProgramme(data, w, p);
    int b = 0;
    for (;;) {
        k = b + 1;
        InitBoucle(w, b, next);
        next = FindNewInstance_PROBA(data, w, p, k);
        if (next == -1) break;
        ProcessCriteria(k, w, p);
        UpdateAlgorithm(w, k, next);
        const int stop = CalculCost(w, p, k);
        if (stop == 1 || TestFin(w, p, k) == 1) break;
        Update1knnPrototype(data, w, p, k);
        b = k;
    }
    for (int j = 0; j < k; ++j) {
        rows_out[j] = w->prototype_row[j];
        pops_out[j] = w->population[j];
        // A prototype whose members all coincide with it has no spread: density 0.0, not infinite.
        dens_out[j] = w->radius[j] != 0.0 ? static_cast<double>(w->population[j]) / w->radius[j] : 0.0;
    }
    if (row_assignment != nullptr) std::copy(w->assignment, w->assignment + p->n_rows, row_assignment);
    if (p->gravity_on == 1) UpdateWithGravity(data, w, p, k);
    LibereMemoireAlgorithme(w, p);
    delete w;
    return k;
}

void InitBoucle(Internal* w, int b, int row) {
    w->prototype_row[b] = row;
    const double* to_newest = w->prototype_distance[b];
    // Radii are still those of the previous step: a prototype whose whole ball
    // lies closer to it than half-way to the newest prototype keeps its members.
    for (int j = 0; j < b; ++j) w->skip_flag[j] = to_newest[j] * 0.5 > w->radius[j] ? 1 : 0;
    for (int j = 0; j <= b; ++j) {
        w->radius[j] = 0.0;
        w->farthest_member[j] = -1;
    }
}

int FindNewInstance_PROBA(double** data, Internal* w, ParamFCNNrule* p, int k) {
    const int last = k - 1;
    const int q = w->prototype_row[last];
    const int n = p->n_rows;
    const int dims = p->n_dims;
    const DistanceFn distance = p->distance;
    const bool use_skips = p->skip_tests != 0;
    w->assignment[q] = last;
    if (k > 1) {
        // q leaves the prototype it was split from.
        w->population[last] = 1;
        if (w->split_prototype >= 0) --w->population[w->split_prototype];
    }
    w->split_prototype = -1;

    const double* newest = data[q];
    // The matrix is symmetric: entry [g][last] is read from the newest prototype's row.
    const double* to_newest = w->prototype_distance[last];
    int* assignment = w->assignment;
    int* population = w->population;
    int* farthest = w->farthest_member;
    const int* active = w->active;
    const int* skip_flag = w->skip_flag;
    double* dist = w->distance_to_prototype;
    double* radius = w->radius;
    for (int i = 0; i < n; ++i) {
        if (active[i] != 1) continue;
        int g = assignment[i];
        double d = dist[i];
        // When the newest prototype is at least 2d from g, it is at least d from the row.
        if (!use_skips || (skip_flag[g] == 0 && !(to_newest[g] >= 2.0 * d))) {
            const double e = distance(data[i], newest, dims);
            // Strict: a tie leaves the row with the older prototype.
            if (e < d) {
                dist[i] = e;
                --population[g];
                ++population[last];
                assignment[i] = last;
                g = last;
                d = e;
            }
        }
        // >=: of members at the same largest distance the later row is kept.
        if (d >= radius[g]) {
            radius[g] = d;
            farthest[g] = i;
        }
    }

    if (k >= 1) {
        int pmax = 0;
        double rmax = 0.0;
        for (int j = 0; j < k; ++j) {
            if (population[j] > pmax) pmax = population[j];
            if (radius[j] > rmax) rmax = radius[j];
        }
        // Strict: on equal scores the lower prototype number is split. With
        // rmax 0.0 every score is NaN and nothing is chosen.
        double best = 0.0;
        for (int j = 0; j < k; ++j) {
            const double score = (radius[j] / rmax) * (static_cast<double>(population[j]) / pmax);
            if (score > best) {
                w->split_prototype = j;
                best = score;
            }
        }
    }
    return w->split_prototype == -1 ? -1 : farthest[w->split_prototype];
}

void ProcessCriteria(int k, Internal* w, ParamFCNNrule* p) {
    if (p->track_criteria == 0 || k < 1) return;
    double largest = 0.0;
    for (int j = 0; j < k; ++j) {
        if (w->radius[j] > largest) largest = w->radius[j];
    }
    p->max_radius_history[k - 1] = largest;
}

void UpdateAlgorithm(Internal* w, int k, int row) {
    if (row == -1) return;
    w->distance_to_prototype[row] = 0.0;
    w->active[row] = 0;
    w->prototype_row[k] = row;
}

int CalculCost(Internal* w, ParamFCNNrule* p, int k) {
    double sum = 0.0;
    for (int j = 0; j < k; ++j) sum += static_cast<double>(w->population[j]) * w->radius[j];
    const double cost = sum / (static_cast<double>(p->n_rows) * w->scale);
    if (k >= 1) p->cost_history[k - 1] = cost;
    return cost < p->cost_threshold ? 1 : 0;
}

int TestFin(Internal* w, ParamFCNNrule* p, int& k) {
    if (k >= p->max_prototypes || k == p->n_rows - 1) return 1;
    if (p->track_criteria == 1 && k >= 1 && w->radius_limit > p->max_radius_history[k - 1]) return 1;
    return 0;
}

void Update1knnPrototype(double** data, Internal* w, ParamFCNNrule* p, int k) {
    const double* newest = data[w->prototype_row[k]];
    double** pd = w->prototype_distance;
    for (int j = 0; j < k; ++j) {
        const double e = p->distance(data[w->prototype_row[j]], newest, p->n_dims);
        pd[j][k] = e;
        pd[k][j] = e;
    }
}

int UpdateWithGravity(double** data, Internal* w, ParamFCNNrule* p, int k) {
    const int dims = p->n_dims;
    if (p->centroids == nullptr || p->centroid_cols < dims) {
        Delete2D(p->centroids, p->centroid_rows);
        p->centroids = TakeMatrix(p->centroid_rows, dims);
        p->centroid_cols = dims;
    }
    double** c = p->centroids;
    for (int j = 0; j < k; ++j) std::fill(c[j], c[j] + dims, 0.0);
    for (int i = 0; i < p->n_rows; ++i) {
        const int g = w->assignment[i];
        if (g < 0 || g >= k) continue;
        const double* row = data[i];
        for (int t = 0; t < dims; ++t) c[g][t] += row[t];
    }
    for (int j = 0; j < k; ++j) {
        for (int t = 0; t < dims; ++t) c[j][t] /= w->population[j];
    }
    return 1;
}

void AttributionPattern(int k, int** lists, Internal* w, ParamFCNNrule* p) {
    if (p->build_member_lists == 0 || lists == nullptr || k <= 0) return;
    const int n = p->n_rows;
    std::vector<int> fill(static_cast<std::size_t>(k), 0);
    for (int i = 0; i < n; ++i) {
        const int g = w->assignment[i];
        if (g >= 0 && g < k) ++fill[g];
    }
    for (int j = 0; j < k; ++j) {
        delete[] lists[j];
        lists[j] = fill[j] > 0 ? new int[fill[j]] : nullptr;
        fill[j] = 0;
    }
    for (int i = 0; i < n; ++i) {
        const int g = w->assignment[i];
        if (g >= 0 && g < k) lists[g][fill[g]++] = i;
    }
}

void UpdateInstance(int n, int value, int* out, int& count, Internal* w) {
    for (int i = 0; i < n; ++i) {
        if (w->tri->label[i] == value) out[count++] = w->prototype_row[i];
    }
}

int InegalTriangular(double** m, double x, int r, int col) {
    const double v = m[r][col];
    return (v < 2.0 * x || std::isnan(v)) ? 1 : 0;
}

void DisablePrototype(const double* radii, const double* row, int n, int* flags) {
    for (int i = 0; i < n - 1; ++i) flags[i] = row[i] * 0.5 > radii[i] ? 1 : 0;
}

// ---- Front end -------------------------------------------------------------

int SamplingApproach_PROBA_P(double** data, int n, int dims, double threshold, double** prototypes, int& count,
                             double* densities, int* rows, int* populations, char* reserved, int* options,
                             int* row_assignment) {
    (void)reserved;
    const int kmax = count;
    ParamFCNNrule* p = InitParamFCNNrule(n);
    InitSingleParamFCNNrule(p);
    p->n_dims = dims;
    p->n_rows = n;
    p->max_prototypes = kmax;
    p->track_criteria = 1;
    p->cost_threshold = threshold;
    p->gravity_on = 0;
    if (options != nullptr) {
        p->start_mode = options[1];
        p->scale_by_inertia = options[3];
    }
    // The member lists are never filled by the iteration, so none are made.
    int m = SamplingApproach_PROBA(data, rows, count, populations, densities, nullptr, p, row_assignment);
    m = SelectinstanceWithListe(data, dims, rows, m, 0, nullptr, prototypes);
    count = m;
    LibereParamFCNNrule(p);
    delete p;
    return m;
}

int SelectinstanceWithListe(double** data, int dims, const int* rows, int m, int min_count, int* counts,
                            double** out) {
    if (m <= 0) return 0;
    if (counts == nullptr) {
        for (int j = 0; j < m; ++j) std::copy(data[rows[j]], data[rows[j]] + dims, out[j]);
        return m;
    }
    int kept = 0;
    for (int j = 0; j < m; ++j) {
        if (counts[j] < min_count) continue;
        std::copy(data[rows[j]], data[rows[j]] + dims, out[kept]);
        counts[kept] = counts[j];
        ++kept;
    }
    return kept;
}
