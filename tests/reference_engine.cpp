// The plain reference run. Every stage is a direct loop over the records it
// reads; nothing is cached between passes, nothing is reordered, and every
// sum runs in index order, so each double is the one the rules define.
#include "reference_engine.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace reference {
namespace {

constexpr int kMaxPrototypes = 4000;  // larger data are sampled down to this
constexpr int kMaxRowsRead = 100000;
constexpr int kMinGroups = 2;         // the mutual-neighbour phase stops below this
constexpr double kThresholdFloor = 0.15;
constexpr double kDirectMergeRatio = 0.95;

// ---- Text, with the executable's own printf formats.

__attribute__((format(printf, 1, 2))) std::string Printf(const char* format, ...) {
    char text[512];  // "%lf" of the largest double takes 316 characters
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string RowText(const std::vector<double>& row) {
    std::string text;
    for (double v : row) text += Printf("%lf\t", v);
    return text;
}

std::string TableText(const Table& table) {
    std::string text;
    for (const auto& row : table) text += RowText(row) + "\n";
    return text;
}

// d_Eucl: squares summed in index order, 0.0 for a zero sum.
double Euclid(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum == 0.0 ? 0.0 : std::sqrt(sum);
}

// ---- Standardisation

struct Moments {
    double sum = 0.0;
    double mean = 0.0;
    double squares = 0.0;  // sum of (mean - v)^2
};

Moments ColumnMoments(const std::vector<double>& values) {
    Moments m;
    for (double v : values) m.sum += v;
    m.mean = m.sum / static_cast<double>(values.size());
    for (double v : values) m.squares += (m.mean - v) * (m.mean - v);
    return m;
}

Table StandardiseColumns(const Table& data, int& rescaled_columns) {
    Table result = data;
    rescaled_columns = 0;
    for (std::size_t j = 0; j < data[0].size(); ++j) {
        std::vector<double> column;
        for (const auto& row : data) column.push_back(row[j]);
        const StandardisedColumn standardised = StandardiseColumn(column);
        rescaled_columns += standardised.rescaled ? 1 : 0;
        for (std::size_t i = 0; i < data.size(); ++i) result[i][j] = standardised.values[i];
    }
    return result;
}

// Rows equal on every coordinate (==, so -0.0 equals 0.0) stand for one
// point, kept in the order of first occurrence. row_point receives, for every
// row, the index of its point.
Table DistinctRows(const Table& rows, std::vector<int>& row_point) {
    Table distinct;
    row_point.clear();
    for (const auto& row : rows) {
        std::size_t k = 0;
        while (k < distinct.size() && distinct[k] != row) ++k;
        if (k == distinct.size()) distinct.push_back(row);
        row_point.push_back(static_cast<int>(k));
    }
    return distinct;
}

// ---- Clustering: point records and the full distance matrix

struct Group {
    bool head = true;
    int tag = 0;
    int member_count = 1;  // left stale when the record is absorbed
    std::vector<int> members;
    double min_link = 0.0;
    double mean_link = 0.0;
};

struct Workspace {
    int n = 0;
    std::vector<double> distances;  // n x n, row by row
    std::vector<Group> groups;      // one record per point
    const double* Row(int p) const { return &distances[static_cast<std::size_t>(p) * n]; }
    double D(int p, int q) const { return Row(p)[q]; }
};

Workspace MakeWorkspace(const Table& points) {
    Workspace w;
    w.n = static_cast<int>(points.size());
    w.distances.assign(static_cast<std::size_t>(w.n) * w.n, 0.0);
    for (int i = 0; i < w.n; ++i)
        for (int j = i + 1; j < w.n; ++j) {
            const double d = Euclid(points[i], points[j]);
            w.distances[static_cast<std::size_t>(i) * w.n + j] = d;
            w.distances[static_cast<std::size_t>(j) * w.n + i] = d;
        }
    w.groups.resize(points.size());
    for (int i = 0; i < w.n; ++i) w.groups[i].members = {i};
    return w;
}

int CountHeads(const Workspace& w) {
    int heads = 0;
    for (const Group& g : w.groups) heads += g.head ? 1 : 0;
    return heads;
}

int CountMultiMemberHeads(const Workspace& w) {
    int count = 0;
    for (const Group& g : w.groups) count += g.head && g.member_count >= 2 ? 1 : 0;
    return count;
}

// Smallest member-to-member distance of groups a and b, strictly below
// `start` (k_voisins starts at 100000.0, Single_link at 100000000.0).
double ClosestMembers(const Workspace& w, int a, int b, double start) {
    double best = start;
    for (int p : w.groups[a].members) {
        const double* row = w.Row(p);
        for (int q : w.groups[b].members)
            if (row[q] < best) best = row[q];
    }
    return best;
}

// ConnectionSingle: group b is absorbed into group a with link distance d.
void Absorb(Workspace& w, int a, int b, double d) {
    Group& into = w.groups[a];
    Group& from = w.groups[b];
    const int ca = into.member_count;
    const int cb = from.member_count;
    if (ca == 1 || d <= into.min_link) into.min_link = d;
    from.head = false;
    into.mean_link = ((cb - 1) * from.mean_link + (ca - 1) * into.mean_link + d) / (ca + cb - 1);
    into.members.insert(into.members.end(), from.members.begin(), from.members.end());
    into.member_count = ca + cb;
    from.members.clear();
    from.members.shrink_to_fit();
}

// CalculRatio: how well link distance d fits the mean links of a and b.
double LinkRatio(const Workspace& w, int a, int b, double d) {
    const double ma = w.groups[a].mean_link;
    const double mb = w.groups[b].mean_link;
    const auto fit = [d](double m) { return std::fmin(m, d) / std::fmax(m, d); };
    if (ma != 0.0 && mb != 0.0) return std::sqrt(fit(ma) * fit(mb));
    if (ma != 0.0) return fit(ma);
    if (mb != 0.0) return fit(mb);
    return 1.0;
}

// ---- Phase 1: one pass of mutual nearest-neighbour linking
// (findclosest1KNN). Returns 0 when nothing merged, else the number of heads
// with two or more members; n_groups receives the number of heads.
int MutualPass(Workspace& w, double x, int& n_groups) {
    const int n = w.n;
    std::vector<int> closest_group(n, -1);  // -1: no nearest head
    std::vector<double> closest_distance(n, 10000.0);
    for (int j = 0; j < n; ++j) {
        if (!w.groups[j].head) continue;
        for (int k = 0; k < n; ++k) {
            if (k == j || !w.groups[k].head) continue;
            const double d = ClosestMembers(w, j, k, 100000.0);
            if (d < closest_distance[j]) {
                closest_distance[j] = d;
                closest_group[j] = k;
            }
        }
    }
    int heads = CountHeads(w);
    const double threshold = heads < n / 2 ? x * 0.95 : x * 0.0;
    std::vector<int> pair_heads;
    std::vector<double> pair_ratios;
    if (heads != 2)  // the last two groups are never linked
        for (int j = 0; j < n; ++j) {
            const int k = closest_group[j];
            if (!w.groups[j].head || k == -1 || !w.groups[k].head || closest_group[k] != j) continue;
            pair_heads.push_back(j);
            pair_ratios.push_back(LinkRatio(w, j, k, closest_distance[j]));
        }
    int merges = 0;
    for (std::size_t p = 0; p < pair_heads.size(); ++p) {
        const int j = pair_heads[p];
        const int k = closest_group[j];
        if (!w.groups[j].head || !w.groups[k].head || !(pair_ratios[p] >= threshold)) continue;
        Absorb(w, k, j, closest_distance[j]);
        ++merges;
        --heads;
    }
    n_groups = heads;
    return merges == 0 ? 0 : CountMultiMemberHeads(w);
}

// ---- Phase 2: density-driven merging

struct NeighbourTables {
    std::vector<int> nearest_not_smaller;
    std::vector<int> nearest_group;
    std::vector<double> nearest_distance;
};

// Whether group j, at the same distance from group i as its current nearest
// group k, takes k's place.
bool TieGoesToLater(const Workspace& w, int i, int j, int k, int examined) {
    const Group& gi = w.groups[i];
    const Group& gj = w.groups[j];
    const Group& gk = w.groups[k];
    if (j >= 2 && gi.member_count != 1 && gj.member_count != 1 &&
        std::fabs(gk.mean_link - gj.mean_link) > std::fabs(gi.mean_link - gj.mean_link))
        return true;
    return examined >= 2 && gk.member_count < gj.member_count;
}

// getdistance_DensityMin for one head i.
void FindNeighbours(const Workspace& w, int i, NeighbourTables& t) {
    double best = 1000000.0;
    double best_not_smaller = 100000.0;
    int examined = 0;  // live groups compared with i before j
    for (int j = 0; j < w.n; ++j) {
        if (j == i || !w.groups[j].head) continue;
        const double dist = ClosestMembers(w, i, j, 100000000.0);
        if (dist < best) {
            t.nearest_group[i] = j;
            best = dist;
        } else if (dist == best && TieGoesToLater(w, i, j, t.nearest_group[i], examined)) {
            t.nearest_group[i] = j;
        }
        if (w.groups[j].member_count >= w.groups[i].member_count) {
            if (dist < best_not_smaller) {
                t.nearest_not_smaller[i] = j;
                best_not_smaller = dist;
            } else if (dist == best_not_smaller && examined >= 2 &&
                       w.groups[t.nearest_not_smaller[i]].member_count < w.groups[j].member_count) {
                t.nearest_not_smaller[i] = j;
            }
        }
        ++examined;
    }
    t.nearest_distance[i] = best;
}

NeighbourTables BuildNeighbourTables(const Workspace& w) {
    NeighbourTables t;
    t.nearest_not_smaller.resize(w.n);
    t.nearest_group.resize(w.n);
    t.nearest_distance.assign(w.n, 0.0);
    for (int i = 0; i < w.n; ++i) {
        t.nearest_not_smaller[i] = i;
        t.nearest_group[i] = i;
        if (w.groups[i].head) FindNeighbours(w, i, t);
    }
    return t;
}

// What GetMutualdistance finds on one side: for every member of `from` (by
// position) the position of its nearest member of `to` closer than `reach`,
// or -1; and the position of the first member of `from` closest to `to`.
struct Side {
    std::vector<int> nearest;
    int contact = -1;
};

Side LookAcross(const Workspace& w, const Group& from, const Group& to, double reach) {
    Side side;
    side.nearest.assign(from.members.size(), -1);
    double closest = 100000.0;
    for (std::size_t s = 0; s < from.members.size(); ++s) {
        double near = 100000.0;
        for (std::size_t t = 0; t < to.members.size(); ++t) {
            const double d = w.D(from.members[s], to.members[t]);
            if (d < near && d < reach) {
                side.nearest[s] = static_cast<int>(t);
                near = d;
            }
            if (d < closest) {
                side.contact = static_cast<int>(s);
                closest = d;
            }
        }
    }
    return side;
}

// Members of g closer than reach to its contact point. Without a contact
// point (nothing nearer than 100000.0) the count is ours to choose: 0.
double ContactCount(const Workspace& w, const Group& g, int contact, double reach) {
    if (contact < 0) return 0.0;
    int count = 0;
    for (int p : g.members) count += w.D(p, g.members[contact]) < reach ? 1 : 0;
    return count;
}

struct Contact {
    int mutual_pairs = 0;
    double count_a = 0.0;
    double count_b = 0.0;
};

// GetMutualdistance for two heads a and b at link distance x.
Contact MutualPointPairs(const Workspace& w, int a, int b, double x) {
    const double reach = x + x;
    const Group& ga = w.groups[a];
    const Group& gb = w.groups[b];
    const Side side_a = LookAcross(w, ga, gb, reach);
    const Side side_b = LookAcross(w, gb, ga, reach);
    Contact c;
    c.count_a = ContactCount(w, ga, side_a.contact, reach);
    c.count_b = ContactCount(w, gb, side_b.contact, reach);
    for (std::size_t s = 0; s < side_a.nearest.size(); ++s)
        if (side_a.nearest[s] != -1 && side_b.nearest[side_a.nearest[s]] == static_cast<int>(s)) ++c.mutual_pairs;
    return c;
}

// The neighbour density ratio of group i against its nearest group g at x.
double DensityRatio(const Workspace& w, int i, int g, double x) {
    const Group& gi = w.groups[i];
    const Group& gg = w.groups[g];
    if (gg.member_count != 1) return std::fmin(x, gg.mean_link) / std::fmax(x, gg.mean_link);
    if (gi.member_count == 1) return 0.0;
    return std::fmin(gi.mean_link, x) / std::fmax(gi.mean_link, x);
}

// The mutual-pair and balance tests; both switches are 1.0 in every run,
// since no option sets them.
bool TestsRefuse(const Workspace& w, int i, int e, double x, double ratio, double u) {
    const Contact c = MutualPointPairs(w, i, e, x);
    const int smaller = std::min(static_cast<int>(c.count_a), static_cast<int>(c.count_b));
    const int limit = std::max(2, static_cast<int>(smaller * 0.5));
    if (c.mutual_pairs * (1.0 - ratio) > limit) return true;
    return u > ratio * (std::fmin(c.count_a, c.count_b) / std::fmax(c.count_a, c.count_b));
}

// AlgoUnit_DensityNeighborMin: one merge pass at density threshold T.
// Returns the number of heads left.
int DensityPass(Workspace& w, double threshold, double u) {
    const int n = w.n;
    if (n <= 1) return n;
    NeighbourTables t = BuildNeighbourTables(w);
    int countdown = n;
    for (int i = 0; i < n; ++i) {
        const int e = t.nearest_not_smaller[i];
        const int g = t.nearest_group[i];
        if (e == i || !w.groups[i].head || !w.groups[g].head || !w.groups[e].head) continue;
        const double x = t.nearest_distance[i];
        const double ratio = DensityRatio(w, i, g, x);
        if (!(ratio > threshold && e == g)) continue;
        if (ratio < kDirectMergeRatio && TestsRefuse(w, i, e, x, ratio, u)) continue;
        Absorb(w, e, i, x);
        --countdown;
        for (int j = 0; j < n; ++j) {
            if (!w.groups[j].head) continue;
            if (t.nearest_not_smaller[j] == i) t.nearest_not_smaller[j] = t.nearest_not_smaller[i];
            if (t.nearest_group[j] == i) t.nearest_group[j] = t.nearest_group[i];
        }
        if (countdown == 2) break;
    }
    return CountHeads(w);
}

// ---- Noise assignment: FinishConnection_without, one pass.
int AttachPass(Workspace& w) {
    const int n = w.n;
    std::vector<int> attach_to(n, -1);
    std::vector<double> attach_distance(n, 1e10);
    for (int i = 0; i < n; ++i) {
        if (!w.groups[i].head || w.groups[i].tag != 0) continue;
        for (int j = 0; j < n; ++j) {
            if (!w.groups[j].head || w.groups[j].tag == 0 || j == i) continue;
            const double d = ClosestMembers(w, i, j, 100000.0);
            if (d < attach_distance[i]) {
                attach_distance[i] = d;
                attach_to[i] = j;
            }
        }
    }
    int attached = 0;
    for (int b = 0; b < n; ++b) {
        if (!w.groups[b].head || w.groups[b].tag == 1 || attach_to[b] == -1) continue;
        const int a = attach_to[b];  // ConnectionSingleWithTag: the tagged group absorbs
        if (w.groups[b].tag == 1)
            Absorb(w, b, a, attach_distance[b]);
        else
            Absorb(w, a, b, attach_distance[b]);
        ++attached;
    }
    return attached;
}

void FinishNoise(Workspace& w) {
    for (Group& g : w.groups) g.tag = g.head && g.member_count >= w.n / 100 ? 1 : 0;
    while (AttachPass(w) != 0) {
    }
}

// FillListe_densitymin, then the labels the result file gives every point.
void ExtractLists(const Workspace& w, int min_size, Clustering& result) {
    std::vector<std::vector<int>> lists;
    std::vector<int> noise;
    for (const Group& g : w.groups) {
        if (!g.head) continue;
        if (g.member_count > min_size)
            lists.push_back(g.members);
        else
            noise.insert(noise.end(), g.members.begin(), g.members.end());
    }
    result.noise_list = !noise.empty();
    if (result.noise_list) lists.push_back(noise);
    result.list_count = static_cast<int>(lists.size());
    result.labels.assign(w.n, result.list_count);
    for (std::size_t k = 0; k < lists.size(); ++k)
        for (int p : lists[k]) result.labels[p] = static_cast<int>(k);
}

// ---- Sampling workspace, sized as the rules size it.

struct SamplingState {
    int n_rows = 0;
    int max_prototypes = 0;
    std::vector<int> assignment, active, farthest_member, prototype_row, population, skip_flag;
    std::vector<double> distance_to_prototype, radius;
    std::vector<double> prototype_distance;  // (K+1) x (K+1)
    int split_prototype = -1;

    SamplingState(int n, int k) : n_rows(n), max_prototypes(k) {
        const std::size_t m = static_cast<std::size_t>(std::max(n, k + 1));
        assignment.assign(m, 0);
        active.assign(m, 0);
        farthest_member.assign(m, -1);
        prototype_row.assign(m, 0);
        population.assign(m, 0);
        skip_flag.assign(static_cast<std::size_t>(k) + 1, 0);
        distance_to_prototype.assign(m, 0.0);
        radius.assign(m, 0.0);
        prototype_distance.assign((static_cast<std::size_t>(k) + 1) * (static_cast<std::size_t>(k) + 1), 0.0);
    }
    double& PrototypeDistance(int a, int b) {
        return prototype_distance[static_cast<std::size_t>(a) * (max_prototypes + 1) + b];
    }
};

// InitParametres with the minimum-corner start: returns the first prototype's row.
int StartSampling(const Table& rows, SamplingState& s) {
    const int n = s.n_rows;
    for (int i = 0; i < n; ++i) {
        s.active[i] = 1;
        s.distance_to_prototype[i] = 1e10;
        s.radius[i] = -1e10;
        s.assignment[i] = 0;
    }
    std::vector<double> corner(rows[0].size(), 1e10);
    for (const auto& row : rows)
        for (std::size_t j = 0; j < row.size(); ++j)
            if (row[j] < corner[j]) corner[j] = row[j];
    double best = 100000.0;
    int first = 0;
    for (int i = 0; i < n; ++i) {
        const double d = Euclid(corner, rows[i]);
        if (d < best) {
            best = d;
            first = i;
        }
    }
    s.distance_to_prototype[first] = 0.0;
    s.population[0] = n;
    s.farthest_member[0] = first;
    s.active[first] = 0;
    s.prototype_row[0] = first;
    return first;
}

// InitBoucle: `row` becomes prototype b; skip flags from last step's radii.
void StartStep(SamplingState& s, int b, int row) {
    s.prototype_row[b] = row;
    for (int j = 0; j < b; ++j) s.skip_flag[j] = s.PrototypeDistance(b, j) * 0.5 > s.radius[j] ? 1 : 0;
    for (int j = 0; j <= b; ++j) {
        s.radius[j] = 0.0;
        s.farthest_member[j] = -1;
    }
}

// The best-scoring prototype's farthest member, or -1 (no radius above 0).
int ChooseSplit(SamplingState& s, int k) {
    int largest_population = 0;
    double largest_radius = 0.0;
    for (int j = 0; j < k; ++j) {
        largest_population = std::max(largest_population, s.population[j]);
        if (s.radius[j] > largest_radius) largest_radius = s.radius[j];
    }
    double best = 0.0;
    for (int j = 0; j < k; ++j) {
        const double score = (s.radius[j] / largest_radius) *
                             (static_cast<double>(s.population[j]) / static_cast<double>(largest_population));
        if (score > best) {
            s.split_prototype = j;
            best = score;
        }
    }
    return s.split_prototype == -1 ? -1 : s.farthest_member[s.split_prototype];
}

// FindNewInstance_PROBA: rows move to the newest prototype k-1 when strictly
// nearer, radii are measured anew, and the next prototype's row is chosen.
int NextPrototypeRow(const Table& rows, SamplingState& s, int k) {
    const int last = k - 1;
    const int q = s.prototype_row[last];
    s.assignment[q] = last;
    if (k > 1) {
        s.population[last] = 1;
        --s.population[s.split_prototype];
    }
    s.split_prototype = -1;
    for (int i = 0; i < s.n_rows; ++i) {
        if (s.active[i] != 1) continue;
        int g = s.assignment[i];
        double d = s.distance_to_prototype[i];
        if (s.skip_flag[g] == 0 && !(s.PrototypeDistance(g, last) >= 2 * d)) {
            const double e = Euclid(rows[i], rows[q]);
            if (e < d) {
                s.distance_to_prototype[i] = e;
                --s.population[g];
                ++s.population[last];
                s.assignment[i] = last;
                g = last;
                d = e;
            }
        }
        if (d >= s.radius[g]) {
            s.radius[g] = d;
            s.farthest_member[g] = i;
        }
    }
    return ChooseSplit(s, k);
}

// Update1knnPrototype, the part later steps read: distances from every
// prototype to the new prototype k.
void RecordPrototypeDistances(const Table& rows, SamplingState& s, int k) {
    const int new_row = s.farthest_member[s.split_prototype];
    for (int j = 0; j < k; ++j) {
        const double e = Euclid(rows[s.prototype_row[j]], rows[new_row]);
        s.PrototypeDistance(j, k) = e;
        s.PrototypeDistance(k, j) = e;
    }
}

std::string Echo(const RunOptions& options) {
    if (!options.echo) return "";
    std::string text = Printf("Data:  %s,", options.file_name.c_str());
    if (options.sampling == 1) text += " Sampling is active if required\n";
    text += Printf(" u=%f\n", options.u);
    if (options.finish == 1) text += "Tavri is completed to have no noise\n";
    return text;
}

}  // namespace

RunOptions ParseCommandLine(const std::string& file_name, const std::vector<std::string>& words) {
    RunOptions options;
    options.file_name = file_name;
    options.echo = !words.empty();
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {  // the last word has no value
        const std::string option = words[i].substr(0, 2);
        const char* value = words[i + 1].c_str();
        if (option == "-u") options.u = std::strtod(value, nullptr);
        if (option == "-s") options.sampling = std::atoi(value);
        if (option == "-d") throw std::invalid_argument("the reference runs beside its data: no -d");
        if (option == "-f") options.finish = std::atoi(value);
    }
    return options;
}

StandardisedColumn StandardiseColumn(const std::vector<double>& values) {
    const std::size_t n = values.size();
    StandardisedColumn column{std::vector<double>(n, 0.0), false};
    if (std::all_of(values.begin(), values.end(), [&](double v) { return v == values[0]; })) return column;
    std::vector<double> work = values;
    Moments m = ColumnMoments(work);
    if (!std::isfinite(m.sum) || !std::isfinite(m.squares) || m.squares < DBL_MIN) {
        // Out of range in plain arithmetic: redo on values scaled by a power
        // of two, which brings the largest magnitude into [0.5, 1).
        double largest = 0.0;
        for (double v : values) largest = std::max(largest, std::fabs(v));
        int exponent = 0;
        std::frexp(largest, &exponent);
        for (double& v : work) v = std::ldexp(v, -exponent);
        m = ColumnMoments(work);
        column.rescaled = true;
    }
    const double deviation = std::sqrt(m.squares / static_cast<double>(n));
    for (std::size_t i = 0; i < n; ++i) column.values[i] = (work[i] - m.mean) / deviation;
    return column;
}

Clustering Cluster(const Table& points, double u, int finish) {
    Workspace w = MakeWorkspace(points);
    Clustering result;
    int n_groups = w.n;
    int previous = 0;
    double x = 0.0;  // ratio threshold: 0 until multi-member groups start to pair up
    for (;;) {
        const int merged = MutualPass(w, x, n_groups);
        const int multi = CountMultiMemberHeads(w);
        if (previous > multi && x == 0.0)
            x = 1.0;
        else
            previous = multi;
        if (merged == 0 || n_groups < kMinGroups) break;
    }
    result.phase1_groups = n_groups;
    double threshold = 0.8;
    do {
        for (int last = -1;;) {
            const int m = DensityPass(w, threshold, u);
            if (m == last || m <= 2) break;
            last = m;
        }
        threshold -= 0.05;
    } while (kThresholdFloor < threshold);
    if (finish != 0) FinishNoise(w);
    ExtractLists(w, w.n / 100, result);
    return result;
}

Sample SampleRows(const Table& rows, int max_prototypes) {
    const int n = static_cast<int>(rows.size());
    SamplingState s(n, max_prototypes);
    int next = StartSampling(rows, s);
    int k = 0;
    for (int b = 0;; b = k) {
        k = b + 1;
        StartStep(s, b, next);
        next = NextPrototypeRow(rows, s, k);
        if (next == -1) break;
        s.distance_to_prototype[next] = 0.0;  // marked as the coming prototype k
        s.active[next] = 0;
        s.prototype_row[k] = next;
        // The cost and radius-limit stops cannot fire with a cost threshold
        // of 0.0 and a radius limit of -1.0, so only the counts end the loop.
        if (k >= max_prototypes || k == n - 1) break;
        RecordPrototypeDistances(rows, s, k);
    }
    Sample sample;
    sample.prototype_rows.assign(s.prototype_row.begin(), s.prototype_row.begin() + k);
    sample.row_prototype.assign(s.assignment.begin(), s.assignment.begin() + n);
    return sample;
}

RunOutputs RunTavri(const Table& data, const RunOptions& options) {
    const int rows = static_cast<int>(data.size());
    const int cols = rows == 0 ? 0 : static_cast<int>(data[0].size());
    const bool sampled = options.sampling == 1 && rows > kMaxPrototypes;
    if (rows == 0 || cols == 0) throw std::invalid_argument("no data: the run would fail");
    if (rows > kMaxPrototypes && !sampled) throw std::invalid_argument("too many rows without sampling");
    if (rows > kMaxRowsRead) throw std::invalid_argument("the executable would read only the first rows");
    RunOutputs out;
    out.sampled = sampled;
    out.console = Echo(options) + Printf("DATA LOADED=%d patterns, %d dimensions\n", rows, cols);
    const Table standardised = StandardiseColumns(data, out.rescaled_columns);
    out.norm = TableText(standardised);

    Table points;
    std::vector<int> row_point;  // every row read -> the clustered point that stands for it
    if (sampled) {
        const Sample sample = SampleRows(standardised, kMaxPrototypes);
        out.console += Printf("N_instance = %d\n", static_cast<int>(sample.prototype_rows.size()));
        for (int r : sample.prototype_rows) points.push_back(standardised[r]);
        out.s_norm = TableText(points);
        row_point = sample.row_prototype;
    } else {
        points = DistinctRows(standardised, row_point);
    }
    out.points_clustered = static_cast<int>(points.size());
    const Clustering clustering = Cluster(points, options.u, options.finish);
    out.console += Printf("n_cluster phase 1=%d (%d)\n", clustering.phase1_groups, out.points_clustered);

    if (sampled)
        for (std::size_t j = 0; j < points.size(); ++j)
            out.ctavri += RowText(points[j]) + Printf("%d\n", clustering.labels[j]);
    else
        for (int r = 0; r < rows; ++r)
            out.ctavri += RowText(standardised[r]) + Printf("%d\n", clustering.labels[row_point[r]]);
    for (int r = 0; r < rows; ++r) out.ltavri += Printf("%d\n", clustering.labels[row_point[r]]);

    if (clustering.noise_list)
        out.console += Printf("Tavri(with sampling) (%d cluster,noise) ...\n", clustering.list_count);
    else
        out.console += Printf("Tavri(without sampling) (%d clusters,no noise) ...\n", clustering.list_count);
    return out;
}

}  // namespace reference
