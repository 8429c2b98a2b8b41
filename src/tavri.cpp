#include "tavri.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

// Start values of the minimum searches: each stands for "farther than any real
// distance" (standardised data stays far below all of them), and the searches
// compare strictly, so among equal candidates the first met wins unless a tie
// rule says otherwise.
constexpr double kGroupDistanceCap = 100000.0;     // k_voisins; not-smaller and contact searches
constexpr double kNoNearestHead = 10000.0;         // phase 1: farther heads are nobody's nearest
constexpr double kNoNearestGroup = 1000000.0;      // phase 2 neighbour tables
constexpr double kEmptySingleLink = 100000000.0;   // Single_link of an empty group
constexpr double kNoClosestPair = 10000000.0;      // D_groupe_DensityMin with nothing examined
constexpr double kNoAttachment = 10000000000.0;    // noise assignment; above the k_voisins cap,
                                                   // so any tagged head becomes a target
constexpr int kSpareIndex = 100000;

int32_t* Members(HPtC_S& rec) { return *rec.member_list; }
const int32_t* Members(const HPtC_S& rec) { return *rec.member_list; }

std::size_t Count(int n) { return static_cast<std::size_t>(n > 0 ? n : 0); }

// Deletes the array of a list cell, then the cell, and clears the field.
void ReleaseList(int32_t**& cell) {
    if (cell == nullptr) return;
    delete[] *cell;
    *cell = nullptr;
    delete cell;
    cell = nullptr;
}

int32_t** NewList(int n, int32_t first) {
    int32_t** cell = new int32_t*;
    *cell = new int32_t[Count(n)];
    (*cell)[0] = first;
    return cell;
}

// D(p, q): matrix entry [p][q], or the callback on rows p and q.
class PointDistance {
public:
    PointDistance(double** data, double** dist, int dims, DistanceFn distance)
        : data_(data), dist_(dist), dims_(dims), distance_(distance) {}
    double operator()(int p, int q) const {
        return dist_ != nullptr ? dist_[p][q] : distance_(data_[p], data_[q], dims_);
    }

private:
    double** data_;
    double** dist_;
    int dims_;
    DistanceFn distance_;
};

int CountHeadsOfAtLeast(const HPtC_S* recs, int n, int size) {
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (recs[i].is_head != 0 && recs[i].member_count >= size) ++count;
    return count;
}

// Puts a fresh copy of `size` point indices into cluster_members[k].
void StoreList(int** cluster_members, int* cluster_sizes, int k, const int32_t* points, int size) {
    delete[] cluster_members[k];
    cluster_members[k] = new int[Count(size)];
    std::copy(points, points + size, cluster_members[k]);
    cluster_sizes[k] = size;
}

// One side of a contact search between groups a and b, seen from `own`
// (a when own_is_a, else b); distances are always taken as D(point of a,
// point of b). Fills near[s] with the position in `other` of the nearest point
// strictly within `radius` of own member s (-1 when none) and returns the
// number of own members strictly within `radius` of the contact point: the
// first own member at the smallest distance to `other`. No distance below the
// cap leaves no contact point and a count of 0.
double ScanContactSide(const HPtC_S& own, const HPtC_S& other, bool own_is_a, double radius, const PointDistance& D,
                       std::vector<int>& near) {
    const int32_t* mine = Members(own);
    const int32_t* theirs = Members(other);
    auto across = [&](int p, int q) { return own_is_a ? D(p, q) : D(q, p); };
    int contact = -1;
    double closest = kGroupDistanceCap;
    for (int s = 0; s < own.member_count; ++s) {
        near[s] = -1;
        double nearest = kGroupDistanceCap;
        for (int t = 0; t < other.member_count; ++t) {
            const double d = across(mine[s], theirs[t]);
            if (d < nearest && d < radius) {
                near[s] = t;
                nearest = d;
            }
            if (d < closest) {
                contact = s;
                closest = d;
            }
        }
    }
    if (contact < 0) return 0.0;
    int count = 0;
    for (int s = 0; s < own.member_count; ++s) {
        const double d = own_is_a ? D(mine[s], mine[contact]) : D(mine[contact], mine[s]);
        if (d < radius) ++count;
    }
    return count;
}

}  // namespace

// ---- Point records ---------------------------------------------------------

int algo_init(double** /*data*/, int n, int dims, const int* weights, HPtC_S* recs) {
    for (int i = 0; i < n; ++i) {
        HPtC_S& rec = recs[i];
        rec.is_head = 1;
        rec.dims = dims;
        rec.member_count = 1;
        rec.spare_index = kSpareIndex;
        rec.tag = 0;
        rec.min_link = 0.0;
        rec.mean_link = 0.0;
        rec.member_list = NewList(n, i);
        rec.weight_list = NewList(n, weights != nullptr ? weights[i] : 1);
        rec.spare_value = new double[1];
        rec.spare_value[0] = 0.0;
    }
    return 1;
}

int algo_delete(int n, HPtC_S* recs) {
    for (int i = 0; i < n; ++i) {
        ReleaseList(recs[i].member_list);
        ReleaseList(recs[i].weight_list);
        delete[] recs[i].spare_value;
        recs[i].spare_value = nullptr;
    }
    return 1;
}

double Real_dense(const HPtC_S* recs, int n, int min_size, int& n_large) {
    n_large = 0;
    double points = 0.0;
    for (int i = 0; i < n; ++i) {
        if (recs[i].is_head != 0 && recs[i].member_count > min_size) {
            ++n_large;
            points += recs[i].member_count;
        }
    }
    return points / n;
}

// ---- Phase 1: mutual nearest-neighbour linking ----------------------------

int k_voisins(double** data, double** dist, const HPtC_S& a, const HPtC_S& b, double& best_distance,
              int& best_pos_a, int& best_pos_b, DistanceFn distance) {
    const PointDistance D(data, dist, a.dims, distance);
    const int32_t* in_a = Members(a);
    const int32_t* in_b = Members(b);
    best_distance = kGroupDistanceCap;
    for (int i = 0; i < a.member_count; ++i) {
        for (int j = 0; j < b.member_count; ++j) {
            const double d = D(in_a[i], in_b[j]);
            if (d < best_distance) {
                best_distance = d;
                best_pos_a = i;
                best_pos_b = j;
            }
        }
    }
    return 1;
}

double CalculRatio(const HPtC_S* recs, int a, int b, double d) {
    const double ma = recs[a].mean_link;
    const double mb = recs[b].mean_link;
    auto ratio = [d](double m) { return std::fmin(m, d) / std::fmax(m, d); };
    // A single point (mean link exactly 0.0) has no spacing to compare with.
    if (ma != 0.0 && mb != 0.0) return std::sqrt(ratio(ma) * ratio(mb));
    if (ma != 0.0) return ratio(ma);
    if (mb != 0.0) return ratio(mb);
    return 1.0;
}

void ConnectionSingle(HPtC_S* recs, int a, int b, double d) {
    HPtC_S& into = recs[a];
    HPtC_S& from = recs[b];
    const int ca = into.member_count;
    const int cb = from.member_count;
    // A single point has no link yet: its min_link 0.0 is no bound.
    if (ca == 1 || d <= into.min_link) into.min_link = d;
    from.is_head = 0;
    into.mean_link = (static_cast<double>(cb - 1) * from.mean_link + static_cast<double>(ca - 1) * into.mean_link + d) /
                     static_cast<double>(ca + cb - 1);
    const int32_t* moved = Members(from);
    std::copy(moved, moved + cb, Members(into) + ca);
    into.member_count = ca + cb;
    ReleaseList(from.member_list);
    ReleaseList(from.weight_list);
}

int findclosest1KNN(double** data, double** dist, int n, HPtC_S* recs, double x, int& n_groups,
                    DistanceFn distance) {
    std::vector<int> closest_group(Count(n), -1);  // -1: no head nearer than kNoNearestHead
    std::vector<double> closest_distance(Count(n));
    std::vector<int> pair_heads;  // heads of mutual pairs, ascending; each pair appears at both heads
    std::vector<double> pair_ratios;
    pair_heads.reserve(Count(n));
    pair_ratios.reserve(Count(n));

    int pos_a = 0;
    int pos_b = 0;
    for (int j = 0; j < n; ++j) {
        closest_distance[j] = kNoNearestHead;
        if (recs[j].is_head == 0) continue;
        for (int k = 0; k < n; ++k) {
            if (k == j || recs[k].is_head == 0) continue;
            double d = 0.0;
            k_voisins(data, dist, recs[j], recs[k], d, pos_a, pos_b, distance);
            if (d < closest_distance[j]) {  // ties keep the lowest k
                closest_distance[j] = d;
                closest_group[j] = k;
            }
        }
    }

    int h = CountHeadsOfAtLeast(recs, n, 0);
    // Late in the phase (fewer than n/2 groups) only well-proportioned links may merge.
    const double threshold = (h < n / 2) ? x * 0.95 : x * 0.0;

    // Two groups are never joined here: that decision belongs to the density phase.
    if (h != 2) {
        for (int j = 0; j < n; ++j) {
            const int k = closest_group[j];
            if (recs[j].is_head == 0 || k < 0) continue;
            if (recs[k].is_head != 0 && closest_group[k] == j) {
                pair_heads.push_back(j);
                pair_ratios.push_back(CalculRatio(recs, j, k, closest_distance[j]));
            }
        }
    }

    // The lower head of a pair is listed first, so the higher one absorbs it;
    // the pair's second entry then finds the lower one gone.
    int merges = 0;
    for (std::size_t p = 0; p < pair_heads.size(); ++p) {
        const int j = pair_heads[p];
        const int k = closest_group[j];
        if (recs[j].is_head != 0 && recs[k].is_head != 0 && pair_ratios[p] >= threshold) {
            ConnectionSingle(recs, k, j, closest_distance[j]);
            ++merges;
            --h;
        }
    }

    n_groups = h;
    return merges == 0 ? 0 : CountHeadsOfAtLeast(recs, n, 2);
}

// ---- Phase 2: density-driven merging --------------------------------------

double Single_link(const HPtC_S& a, const HPtC_S& b, double** dist) {
    if (a.member_count <= 0) return kEmptySingleLink;
    const int32_t* in_a = Members(a);
    const int32_t* in_b = Members(b);
    double best = kEmptySingleLink;
    for (int i = 0; i < a.member_count; ++i) {
        const double* row = dist[in_a[i]];
        for (int j = 0; j < b.member_count; ++j)
            if (row[in_b[j]] < best) best = row[in_b[j]];
    }
    return best;
}

std::vector<double> getdistance_DensityMin(double** /*data*/, double** dist, const HPtC_S* recs, int n,
                                           int* nearest_not_smaller, int* nearest_group, DistanceFn /*distance*/) {
    std::vector<double> nearest_distance(Count(n));
    for (int i = 0; i < n; ++i) {
        nearest_not_smaller[i] = i;
        nearest_group[i] = i;
        nearest_distance[i] = 0.0;
        const HPtC_S& group = recs[i];
        if (group.is_head == 0) continue;

        double best = kNoNearestGroup;
        double best_not_smaller = kGroupDistanceCap;
        int examined = 0;  // live groups compared with i before j
        for (int j = 0; j < n; ++j) {
            const HPtC_S& other = recs[j];
            if (j == i || other.is_head == 0) continue;
            const double d = Single_link(group, other, dist);

            if (d < best) {
                nearest_group[i] = j;
                best = d;
            } else if (d == best) {
                // A tie keeps the group found first unless j's spacing is closer
                // to i's own (both multi-point, from record 2 up) or, from the
                // third group compared on, j is the larger group.
                const HPtC_S& kept = recs[nearest_group[i]];
                const bool closer_spacing = j >= 2 && group.member_count != 1 && other.member_count != 1 &&
                                            std::fabs(kept.mean_link - other.mean_link) >
                                                std::fabs(group.mean_link - other.mean_link);
                const bool larger = examined >= 2 && kept.member_count < other.member_count;
                if (closer_spacing || larger) nearest_group[i] = j;
            }

            if (other.member_count >= group.member_count) {
                if (d < best_not_smaller) {
                    nearest_not_smaller[i] = j;
                    best_not_smaller = d;
                } else if (d == best_not_smaller && examined >= 2 &&
                           recs[nearest_not_smaller[i]].member_count < other.member_count) {
                    nearest_not_smaller[i] = j;
                }
            }
            ++examined;
        }
        nearest_distance[i] = best;
    }
    return nearest_distance;
}

int GetMutualdistance(double** data, double** dist, const HPtC_S* recs, int n, int a, int b, double x,
                      double& count_a, double& count_b, DistanceFn distance) {
    const HPtC_S& ga = recs[a];
    const HPtC_S& gb = recs[b];
    if (ga.is_head == 0 || gb.is_head == 0) return 0;
    count_a = 0.0;
    count_b = 0.0;
    const PointDistance D(data, dist, ga.dims, distance);
    const double radius = x + x;  // the contact region: strictly within twice the link distance
    std::vector<int> near_a(Count(n));  // per member of a: position in b's list of its nearest point, or -1
    std::vector<int> near_b(Count(n));  // the same from b's side
    count_a = ScanContactSide(ga, gb, true, radius, D, near_a);
    count_b = ScanContactSide(gb, ga, false, radius, D, near_b);

    int mutual = 0;
    for (int s = 0; s < ga.member_count; ++s)
        if (near_a[s] != -1 && near_b[near_a[s]] == s) ++mutual;
    return mutual;
}

int AlgoUnit_DensityNeighborMin(double** data, double** dist, HPtC_S* recs, int n, int /*n_groups*/,
                                int /*min_groups*/, double threshold, double direct_ratio, const double* tests,
                                DistanceFn distance) {
    if (n <= 0) return 0;
    if (n == 1) return 1;
    const bool mutual_test = tests[0] == 1.0;
    const bool balance_test = tests[1] == 1.0;
    const double u = tests[2];

    std::vector<int> nearest_not_smaller(Count(n));
    std::vector<int> nearest_group(Count(n));
    const std::vector<double> nearest_distance = getdistance_DensityMin(
        data, dist, recs, n, nearest_not_smaller.data(), nearest_group.data(), distance);

    int countdown = n;  // counts points, not groups: at most n - 2 absorptions per pass
    for (int i = 0; i < n; ++i) {
        const int e = nearest_not_smaller[i];
        const int g = nearest_group[i];
        if (e == i || recs[i].is_head == 0 || recs[g].is_head == 0 || recs[e].is_head == 0) continue;

        const double x = nearest_distance[i];
        // A link set against a single point is judged by the multi-point side's spacing.
        double ratio = 0.0;
        if (recs[g].member_count != 1)
            ratio = std::fmin(x, recs[g].mean_link) / std::fmax(x, recs[g].mean_link);
        else if (recs[i].member_count != 1)
            ratio = std::fmin(recs[i].mean_link, x) / std::fmax(recs[i].mean_link, x);
        if (!(ratio > threshold) || e != g) continue;  // a NaN ratio never merges

        if (ratio < direct_ratio) {
            double count_i = 0.0;
            double count_e = 0.0;
            const int mutual = GetMutualdistance(data, dist, recs, n, i, e, x, count_i, count_e, distance);
            if (mutual_test) {
                // Refused when the weak link is backed by many mutual point pairs for the contact size.
                const int smaller = std::min(static_cast<int>(count_i), static_cast<int>(count_e));
                const int limit = std::max(2, static_cast<int>(smaller * 0.5));
                if (static_cast<double>(mutual) * (1.0 - ratio) > static_cast<double>(limit)) continue;
            }
            // Refused when the contact regions differ too much in size; a NaN product does not refuse.
            if (balance_test && u > ratio * (std::fmin(count_i, count_e) / std::fmax(count_i, count_e))) continue;
        }

        ConnectionSingle(recs, e, i, x);
        --countdown;
        // Entries that pointed at i now point where i went (e): the tables keep
        // describing the pass start, moved along by the merges.
        for (int j = 0; j < n; ++j) {
            if (recs[j].is_head == 0) continue;
            if (nearest_not_smaller[j] == i) nearest_not_smaller[j] = nearest_not_smaller[i];
            if (nearest_group[j] == i) nearest_group[j] = nearest_group[i];
        }
        if (countdown == 2) break;
    }

    int heads = 0;
    for (int i = 0; i < n; ++i)
        if (recs[i].is_head == 1) ++heads;
    return heads;
}

double D_groupe_DensityMin(double** data, double** dist, const HPtC_S& a, const HPtC_S& b, int& point_a,
                           int& point_b, DistanceFn distance) {
    double best = kNoClosestPair;
    if (a.is_head == 0 || b.is_head == 0) return best;
    const PointDistance D(data, dist, a.dims, distance);
    const int32_t* in_a = Members(a);
    const int32_t* in_b = Members(b);
    for (int i = 0; i < a.member_count; ++i) {
        for (int j = 0; j < b.member_count; ++j) {
            const double d = D(in_a[i], in_b[j]);
            if (d < best) {
                best = d;
                point_a = in_a[i];
                point_b = in_b[j];
            }
        }
    }
    return best;
}

// ---- Cluster extraction ----------------------------------------------------

int GetListe(const HPtC_S* recs, int n, int** cluster_members, int* cluster_sizes) {
    int k = 0;
    for (int i = 0; i < n; ++i) {
        if (recs[i].is_head == 0) continue;
        StoreList(cluster_members, cluster_sizes, k, Members(recs[i]), recs[i].member_count);
        ++k;
    }
    return k;
}

int FillListe_densitymin(const HPtC_S* recs, int min_size, int n, int** cluster_members, int* cluster_sizes,
                         int& noise_flag) {
    noise_flag = 0;
    // A group of exactly min_size points is noise: clusters must be strictly larger.
    auto is_noise = [&](const HPtC_S& rec) { return rec.member_count <= min_size; };
    int k = 0;
    int noise_total = 0;
    for (int i = 0; i < n; ++i) {
        const HPtC_S& rec = recs[i];
        if (rec.is_head != 1) continue;
        if (is_noise(rec)) {
            noise_total += rec.member_count;
        } else {
            StoreList(cluster_members, cluster_sizes, k, Members(rec), rec.member_count);
            ++k;
        }
    }
    if (noise_total == 0) return k;

    delete[] cluster_members[k];
    int* noise = new int[Count(noise_total)];
    cluster_members[k] = noise;
    int filled = 0;
    for (int i = 0; i < n; ++i) {
        const HPtC_S& rec = recs[i];
        if (rec.is_head != 1 || !is_noise(rec)) continue;
        std::copy(Members(rec), Members(rec) + rec.member_count, noise + filled);
        filled += rec.member_count;
    }
    cluster_sizes[k] = noise_total;
    noise_flag = 1;
    return k + 1;
}

// ---- Noise assignment ------------------------------------------------------

int FinishConnection_without(HPtC_S* recs, double** data, double** dist, int n, DistanceFn distance) {
    std::vector<int> attach_to(Count(n), -1);  // untagged head -> its nearest tagged head, -1 for none
    std::vector<double> attach_distance(Count(n), kNoAttachment);

    // Targets are chosen from the groups as they stand before any attachment.
    int pos_a = 0;
    int pos_b = 0;
    for (int i = 0; i < n; ++i) {
        if (recs[i].is_head == 0 || recs[i].tag != 0) continue;
        for (int j = 0; j < n; ++j) {
            if (j == i || recs[j].is_head == 0 || recs[j].tag == 0) continue;
            double d = 0.0;
            k_voisins(data, dist, recs[i], recs[j], d, pos_a, pos_b, distance);
            if (d < attach_distance[i]) {  // ties keep the lowest tagged head
                attach_distance[i] = d;
                attach_to[i] = j;
            }
        }
    }

    int attached = 0;
    for (int b = 0; b < n; ++b) {
        if (recs[b].is_head == 0 || recs[b].tag == 1 || attach_to[b] == -1) continue;
        ConnectionSingleWithTag(recs, attach_to[b], b, attach_distance[b]);
        ++attached;
    }
    return attached;
}

void ConnectionSingleWithTag(HPtC_S* recs, int a, int b, double d) {
    if (recs[b].tag == 1)
        ConnectionSingle(recs, b, a, d);
    else
        ConnectionSingle(recs, a, b, d);
}

// ---- Driver and result file ------------------------------------------------

int algoMutuel(double** data, int n, int dims, int& n_groups, int min_groups, const double* params,
               DistanceFn distance, int** cluster_members, int* cluster_sizes, int& noise_flag) {
    const double threshold_floor = params[0];
    const int density_phase = static_cast<int>(params[1]);
    const double tests[3] = {params[2], params[3], params[4]};  // mutual switch, balance switch, u
    const int finish = static_cast<int>(params[5]);
    noise_flag = 0;
    if (n < 0) n = 0;

    std::vector<HPtC_S> recs(Count(n));
    algo_init(data, n, dims, nullptr, recs.data());
    double** dist = Reservmemdouble(n, n);
    if (dist == nullptr) {
        std::printf("Memory error\n");
        algo_delete(n, recs.data());
        n_groups = 0;
        return -1;
    }
    GenereMatriceDistance(data, n, dims, nullptr, dist, distance);
    n_groups = n;

    // Phase 1: every mutual pair merges until a pass leaves fewer multi-point
    // groups than the one before; from then on the link ratio must also fit.
    int previous = 0;
    double x = 0.0;
    for (;;) {
        const int result = findclosest1KNN(data, dist, n, recs.data(), x, n_groups, distance);
        const int multi = CountHeadsOfAtLeast(recs.data(), n, 2);
        if (previous > multi && x == 0.0)
            x = 1.0;
        else
            previous = multi;
        if (result == 0 || n_groups < min_groups) break;
    }

    if (density_phase == 0) {
        n_groups = GetListe(recs.data(), n, cluster_members, cluster_sizes);
    } else {
        std::printf("n_cluster phase 1=%d (%d)\n", n_groups, n);
        const int cmin = min(min_groups, n_groups);
        int m = n_groups;
        // The threshold falls by repeated subtraction, so its values are those
        // of 0.8 - 0.05 - 0.05 ... in doubles (0.1999999999999999, not 0.2).
        double threshold = 0.8;
        do {
            int last = -1;
            for (;;) {
                m = AlgoUnit_DensityNeighborMin(data, dist, recs.data(), n, m, cmin, threshold, 0.95, tests, distance);
                n_groups = m;
                if (m == last || m <= 2) break;
                last = m;
            }
            threshold = threshold - 0.05;
        } while (threshold_floor < threshold);

        const int min_cluster = n / 100;
        if (finish != 0) {
            for (HPtC_S& rec : recs) rec.tag = (rec.is_head == 1 && rec.member_count >= min_cluster) ? 1 : 0;
            while (FinishConnection_without(recs.data(), data, dist, n, distance) != 0) {
            }
        }
        n_groups = FillListe_densitymin(recs.data(), min_cluster, n, cluster_members, cluster_sizes, noise_flag);
    }

    algo_delete(n, recs.data());
    Delete2D(dist, n);
    return n_groups;
}

int PrintResultClustering(const char* path, double** matrix, int n, int dims, int** cluster_members,
                          int n_lists, const int* cluster_sizes) {
    std::vector<int> label(Count(n));
    std::vector<int> listed(Count(n), 0);
    // A point in several lists keeps the last one's label.
    for (int k = 0; k < n_lists; ++k) {
        for (int e = 0; e < cluster_sizes[k]; ++e) {
            const int p = cluster_members[k][e];
            listed[p] = 1;
            label[p] = k;
        }
    }
    for (int p = 0; p < n; ++p)
        if (listed[p] == 0) label[p] = n_lists;  // one past the last list: held by none

    std::string text;
    text.reserve(Count(n) * (Count(dims) * 12 + 8));
    for (int p = 0; p < n; ++p) {
        for (int c = 0; c < dims; ++c) {
            AppendFixed6(text, matrix[p][c]);
            text.push_back('\t');
        }
        AppendInt(text, label[p]);
        text.push_back('\n');
    }
    return WriteFileAtomically(path, text);
}
