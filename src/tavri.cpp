#include "tavri.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <stdexcept>
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

std::size_t Count(int n) { return static_cast<std::size_t>(n > 0 ? n : 0); }

// What a strict minimum search starting at `cap` over the point pairs ends
// with, given their minimum `link`: NaN (no pair counted) and values at or
// above the cap leave the cap.
inline double Capped(double link, double cap) { return link < cap ? link : cap; }

// Group distances are stored capped at kLinkCap: every reader caps there or
// lower (Single_link at kLinkCap, k_voisins at 100000.0, phase 1 compares with
// 10000.0), so nothing is lost, and NaN (no pair) reads as the cap. The capped
// minimum of two groups' distances is the minimum of their capped distances.
constexpr double kLinkCap = kEmptySingleLink;
inline double MinLink(double a, double b) { return b < a ? b : a; }

constexpr int32_t kNone = -1;

// Applies to row r the merges of its columns that it has not seen yet, up to
// merges[upto]: each absorbing column takes the smaller value, in merge order.
void CatchUp(GroupSpace& ws, int32_t r, std::size_t upto) {
    double* row = ws.link[r];
    std::size_t i = ws.caught_up[r];
    if (upto - i > 64) {  // many scattered columns: bring the row in as a stream first
        for (int c = 0; c < ws.n; c += 8) __builtin_prefetch(row + c, 1);
    }
    for (; i < upto; ++i) {
        const auto& m = ws.merges[i];
        row[m.first] = MinLink(row[m.first], row[m.second]);
    }
    ws.caught_up[r] = upto;
}

// Distance between live groups a and b (head records).
double Link(GroupSpace& ws, int32_t a, int32_t b) {
    CatchUp(ws, a, ws.merges.size());
    return ws.link[a][b];
}

// Summary of one row given as `values[k]` for the live head `ids[k]` (k <
// count, ascending heads, sizes[k] its size), the row's own head at `self`
// (skipped; its value is overwritten): the minima first, with independent
// running minima (a minimum does not depend on the order), then their
// first holders and ties.
NearestSummary Summarise(double* values, const int32_t* ids, const int32_t* sizes, int count, int self,
                         int32_t own_size) {
    values[self] = HUGE_VAL;
    double all0 = HUGE_VAL;
    double all1 = HUGE_VAL;
    double not_smaller0 = HUGE_VAL;
    double not_smaller1 = HUGE_VAL;
    int k = 0;
    for (; k + 2 <= count; k += 2) {
        const double v0 = values[k];
        const double v1 = values[k + 1];
        all0 = v0 < all0 ? v0 : all0;
        all1 = v1 < all1 ? v1 : all1;
        const double e0 = sizes[k] >= own_size ? v0 : HUGE_VAL;
        const double e1 = sizes[k + 1] >= own_size ? v1 : HUGE_VAL;
        not_smaller0 = e0 < not_smaller0 ? e0 : not_smaller0;
        not_smaller1 = e1 < not_smaller1 ? e1 : not_smaller1;
    }
    if (k < count) {
        all0 = MinLink(all0, values[k]);
        if (sizes[k] >= own_size) not_smaller0 = MinLink(not_smaller0, values[k]);
    }
    const double all = MinLink(all0, all1);
    const double not_smaller = MinLink(not_smaller0, not_smaller1);
    NearestSummary s{all, kNone, 0, not_smaller, kNone, 0};
    for (k = 0; k < count; ++k) {
        if (k == self) continue;
        if (values[k] == all) {
            if (s.all_first == kNone) s.all_first = ids[k];
            ++s.all_ties;
        }
        if (values[k] == not_smaller && sizes[k] >= own_size) {
            if (s.not_smaller_first == kNone) s.not_smaller_first = ids[k];
            ++s.not_smaller_ties;
        }
    }
    return s;
}

// Summary of live head r (of size own_size) from scratch, over the live
// heads `heads` and their sizes (head_sizes, in the same order); the row is
// caught up with every merge first.
void ScanRow(GroupSpace& ws, int32_t r, int32_t own_size, const std::vector<int32_t>& heads,
             const std::vector<int32_t>& head_sizes, std::vector<double>& values) {
    CatchUp(ws, r, ws.merges.size());
    const double* row = ws.link[r];
    const std::size_t h = heads.size();
    values.resize(h);
    for (std::size_t k = 0; k < h; ++k) values[k] = row[heads[k]];
    const int self = static_cast<int>(std::lower_bound(heads.begin(), heads.end(), r) - heads.begin());
    ws.nearest[r] = Summarise(values.data(), heads.data(), head_sizes.data(), static_cast<int>(h), self, own_size);
}

// A merged group as one row that took part in no merge sees it: its final
// head and new size, its distance (the smallest of its members'), and what
// its members contributed to the row's summary before the merge.
struct MergedGroup {
    int32_t head;
    int32_t size;
    double value;
    int held_all;          // members holding the row's smallest distance
    int held_not_smaller;  // members holding the row's not-smaller distance, and counting there
    bool had_all_first;
    bool had_not_smaller_first;
};

// Brings one summary (smallest value `best`, first holder `first`, holder
// count `ties`) of a row that took part in no merge up to date, given the
// merged groups that reach it (`eligible(g)`: whether group g counts now).
// Groups not given lie beyond the summary's values, before and after.
// Returns false when an untouched holder between the old first holder and
// the new `first` (the first merged holder) may come first.
template <typename Held, typename HadFirst, typename Eligible>
bool UpdateSummary(double& best, int32_t& first, int32_t& ties, const std::vector<MergedGroup>& groups, Held held,
                   HadFirst had_first, Eligible eligible) {
    double lowest = best;  // a merged group may count now and be nearer than any before
    for (const MergedGroup& g : groups)
        if (eligible(g) && g.value < lowest) lowest = g.value;
    int holders = 0;
    int removed = 0;
    bool first_merged = false;
    int32_t first_holder = kNone;
    for (const MergedGroup& g : groups) {
        removed += held(g);
        first_merged = first_merged || had_first(g);
        if (!eligible(g) || g.value != lowest) continue;
        ++holders;
        if (first_holder == kNone || g.head < first_holder) first_holder = g.head;
    }
    if (lowest < best) {  // only merged groups hold the new minimum
        best = lowest;
        first = first_holder;
        ties = holders;
        return true;
    }
    const int untouched = ties - removed;  // holders outside the merged groups
    ties = untouched + holders;
    if (!first_merged) {
        if (first_holder != kNone && (first == kNone || first_holder < first)) first = first_holder;
        return true;
    }
    // The first holder was merged: its group holds the value now, but an
    // untouched holder after the old first may come before that group.
    const bool known = untouched == 0 || first_holder < first;
    first = first_holder;
    return known;
}

// The part a record plays in one fold of merges.
enum class Role : char {
    kUntouched,  // in no merge of the fold
    kFinalHead,  // heads a group that absorbed others in the fold
    kAbsorbed,   // absorbed in the fold
};

// The first head after `after` and before `before` that took part in no
// merge of the fold and holds `value` in row r, counting only heads of at
// least min_size points; `before` when there is none. Heads and sizes are
// those of the fold start, and the row is caught up to it.
int32_t EarlierUntouchedHolder(GroupSpace& ws, int32_t r, const std::vector<Role>& role, double value,
                               int32_t after, int32_t before, int32_t min_size, std::size_t start) {
    CatchUp(ws, r, start);
    const double* row = ws.link[r];
    for (auto c = std::upper_bound(ws.heads.begin(), ws.heads.end(), after); c != ws.heads.end() && *c < before; ++c)
        if (role[*c] == Role::kUntouched && *c != r && row[*c] == value && ws.sizes[*c] >= min_size) return *c;
    return before;
}

// Folds the pending merges into heads, sizes and summaries. A merged group's
// row becomes the smallest of its members' rows; by symmetry that row also
// holds the group's distance to every other group, so rows that took part in
// no merge update their summaries from it without being read themselves.
// Minima do not depend on the merge order.
class Fold {
public:
    Fold(GroupSpace& ws, const HPtC_S* recs)
        : ws_(ws), recs_(recs), start_(ws.folded), end_(ws.merges.size()), role_(Count(ws.n), Role::kUntouched) {}

    void Run() {
        FindFinalHeads();
        ListLiveHeads();
        SortUntouchedRows();
        MergeRows();
        UpdateReachedSummaries();
        Finish();
    }

private:
    // A row in no merge and a merged group that reaches it.
    struct Reach {
        int32_t row;
        MergedGroup group;
    };

    // Where each absorbed record's points ended up: a record absorbs nothing
    // once absorbed, so its own absorption comes later in the list.
    void FindFinalHeads() {
        for (std::size_t i = end_; i-- > start_;)
            ws_.final_head[ws_.merges[i].second] = ws_.final_head[ws_.merges[i].first];
        absorbed_.reserve(end_ - start_);
        for (std::size_t i = start_; i < end_; ++i)
            absorbed_.emplace_back(ws_.final_head[ws_.merges[i].second], ws_.merges[i].second);
        std::sort(absorbed_.begin(), absorbed_.end());
        for (const auto& a : absorbed_) {
            role_[a.first] = Role::kFinalHead;
            role_[a.second] = Role::kAbsorbed;
        }
    }

    // The live heads after the fold, with their sizes.
    void ListLiveHeads() {
        live_.reserve(ws_.heads.size());
        live_sizes_.reserve(ws_.heads.size());
        for (const int32_t r : ws_.heads) {
            if (role_[r] == Role::kAbsorbed) continue;
            live_.push_back(r);
            live_sizes_.push_back(role_[r] == Role::kFinalHead ? recs_[r].member_count : ws_.sizes[r]);
        }
    }

    // A row in no merge whose nearest group and nearest not-smaller group are
    // one and the same single holder is reached by the group holding that
    // holder, if any, at the same distance, and by no other group. The other
    // rows in no merge are checked against every merged group.
    void SortUntouchedRows() {
        for (const int32_t r : ws_.heads) {
            if (role_[r] != Role::kUntouched) continue;
            const NearestSummary& s = ws_.nearest[r];
            if (s.all_ties != 1 || s.not_smaller_ties != 1 || s.not_smaller_first != s.all_first) {
                open_rows_.push_back(r);
            } else if (role_[s.all_first] != Role::kUntouched) {
                const int32_t f = ws_.final_head[s.all_first];
                reached_.push_back({r, MergedGroup{f, recs_[f].member_count, s.all_distance, 1, 1, true, true}});
            }
        }
    }

    // Each merged group's row, the open rows it reaches, and its summary.
    void MergeRows() {
        std::vector<double> merged(Count(ws_.n));
        std::vector<double> values;
        for (std::size_t i = 0; i < absorbed_.size();) {
            const int32_t f = absorbed_[i].first;
            std::size_t j = i;
            while (j < absorbed_.size() && absorbed_[j].first == f) ++j;
            finals_.push_back(f);
            // The members' rows as of the last fold.
            CatchUp(ws_, f, start_);
            for (std::size_t a = i; a < j; ++a) CatchUp(ws_, absorbed_[a].second, start_);
            // The group's row: the smallest of its members' rows.
            const double* own = ws_.link[f];
            const double* first = ws_.link[absorbed_[i].second];
            for (int c = 0; c < ws_.n; ++c) merged[c] = MinLink(own[c], first[c]);
            for (std::size_t a = i + 1; a < j; ++a) {
                const double* from = ws_.link[absorbed_[a].second];
                for (int c = 0; c < ws_.n; ++c) merged[c] = MinLink(merged[c], from[c]);
            }
            NoteReachedOpenRows(f, i, j, merged);
            std::copy(merged.begin(), merged.end(), ws_.link[f]);
            // Summarised while the row is at hand; only the columns merged in
            // this fold are missing, and they come from this row alone.
            ScanRow(ws_, f, recs_[f].member_count, live_, live_sizes_, values);
            i = j;
        }
    }

    // Open rows that the group of final head f (members absorbed_[i, j))
    // reaches: at or within their not-smaller distance, never below their
    // smallest; with what its members held in their summaries.
    void NoteReachedOpenRows(int32_t f, std::size_t i, std::size_t j, const std::vector<double>& merged) {
        const int32_t new_size = recs_[f].member_count;
        for (const int32_t r : open_rows_) {
            const NearestSummary& s = ws_.nearest[r];
            if (!(merged[r] <= s.not_smaller_distance)) continue;
            MergedGroup g{f, new_size, merged[r], 0, 0, false, false};
            const int32_t own_size = ws_.sizes[r];
            auto note = [&](int32_t member) {
                const double d = ws_.link[member][r];
                if (d == s.all_distance) ++g.held_all;
                if (d == s.not_smaller_distance && ws_.sizes[member] >= own_size) ++g.held_not_smaller;
                g.had_all_first = g.had_all_first || member == s.all_first;
                g.had_not_smaller_first = g.had_not_smaller_first || member == s.not_smaller_first;
            };
            note(f);
            for (std::size_t a = i; a < j; ++a) note(absorbed_[a].second);
            reached_.push_back({r, g});
        }
    }

    // The summaries of the rows in no merge that merged groups reach.
    void UpdateReachedSummaries() {
        std::stable_sort(reached_.begin(), reached_.end(), [](const Reach& a, const Reach& b) { return a.row < b.row; });
        std::vector<MergedGroup> groups;
        for (std::size_t i = 0; i < reached_.size();) {
            const int32_t r = reached_[i].row;
            groups.clear();
            for (; i < reached_.size() && reached_[i].row == r; ++i) groups.push_back(reached_[i].group);
            NearestSummary& s = ws_.nearest[r];
            const int32_t own_size = ws_.sizes[r];
            const int32_t old_all_first = s.all_first;
            const int32_t old_not_smaller_first = s.not_smaller_first;
            const bool all_known = UpdateSummary(
                s.all_distance, s.all_first, s.all_ties, groups, [](const MergedGroup& g) { return g.held_all; },
                [](const MergedGroup& g) { return g.had_all_first; }, [](const MergedGroup&) { return true; });
            const bool not_smaller_known = UpdateSummary(
                s.not_smaller_distance, s.not_smaller_first, s.not_smaller_ties, groups,
                [](const MergedGroup& g) { return g.held_not_smaller; },
                [](const MergedGroup& g) { return g.had_not_smaller_first; },
                [own_size](const MergedGroup& g) { return g.size >= own_size; });
            if (!all_known)
                s.all_first = EarlierUntouchedHolder(ws_, r, role_, s.all_distance, old_all_first, s.all_first, 0, start_);
            if (!not_smaller_known)
                s.not_smaller_first = EarlierUntouchedHolder(ws_, r, role_, s.not_smaller_distance,
                                                             old_not_smaller_first, s.not_smaller_first, own_size, start_);
        }
    }

    void Finish() {
        ws_.heads.swap(live_);
        for (const int32_t f : finals_) ws_.sizes[f] = recs_[f].member_count;
        ws_.folded = end_;
        for (std::size_t i = start_; i < end_; ++i) ws_.final_head[ws_.merges[i].second] = ws_.merges[i].second;
    }

    GroupSpace& ws_;
    const HPtC_S* recs_;
    const std::size_t start_, end_;  // the merges of this fold: merges[start_, end_)
    std::vector<std::pair<int32_t, int32_t>> absorbed_;  // (final head, absorbed record), by final head
    std::vector<Role> role_;                              // per record
    std::vector<int32_t> live_, live_sizes_;              // live heads after the fold, ascending, and sizes
    std::vector<int32_t> open_rows_;
    std::vector<Reach> reached_;
    std::vector<int32_t> finals_;
};

// Every live head's summary against one made afresh from its row: a check
// of the fold, run when the workspace asks for it.
void CheckSummaries(GroupSpace& ws) {
    std::vector<double> values;
    std::vector<int32_t> sizes;
    for (const int32_t h : ws.heads) sizes.push_back(ws.sizes[h]);
    for (const int32_t r : ws.heads) {
        const NearestSummary kept = ws.nearest[r];
        ScanRow(ws, r, ws.sizes[r], ws.heads, sizes, values);
        const NearestSummary& fresh = ws.nearest[r];
        const bool same = kept.all_distance == fresh.all_distance && kept.all_first == fresh.all_first &&
                          kept.all_ties == fresh.all_ties && kept.not_smaller_distance == fresh.not_smaller_distance &&
                          kept.not_smaller_first == fresh.not_smaller_first &&
                          kept.not_smaller_ties == fresh.not_smaller_ties;
        if (!same)
            throw std::logic_error("clustering: the summary of group " + std::to_string(r) +
                                   " after merge " + std::to_string(ws.folded) + " differs from a fresh scan");
    }
}

void FoldMerges(GroupSpace& ws, const HPtC_S* recs) {
    if (ws.folded == ws.merges.size()) return;
    Fold(ws, recs).Run();
    if (ws.check_folds) CheckSummaries(ws);
}

int CountHeadsOfAtLeast(const HPtC_S* recs, const std::vector<int32_t>& candidates, int size) {
    int count = 0;
    for (const int32_t i : candidates)
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

// GetMutualdistance without the memo. One scan of the pairs (p of a, q of b)
// serves both sides: for a member of b, the members of a still come in list
// order, and the contact point of each side is the first of its members in
// list order that lies at the smallest distance to the other group.
void MeasureContacts(GroupSpace& ws, const HPtC_S& ga, const HPtC_S& gb, double x, MutualMemo& out) {
    const int32_t* in_a = ga.member_list.data();
    const int32_t* in_b = gb.member_list.data();
    const int na = ga.member_count;
    const int nb = gb.member_count;
    const double radius = x + x;  // the contact region: strictly within twice the link distance
    int32_t* near_a = ws.near_a.data();  // per member of a: position in b's list of its nearest point, or -1
    int32_t* near_b = ws.near_b.data();  // the same from b's side
    double* near_b_distance = ws.near_b_distance.data();
    for (int t = 0; t < nb; ++t) {
        near_b[t] = -1;
        near_b_distance[t] = kGroupDistanceCap;
    }
    const double** rows_b = ws.contact_rows.data();
    for (int t = 0; t < nb; ++t) rows_b[t] = ws.data[in_b[t]];
    const DistanceFn distance = ws.distance;
    const int dims = ws.dims;
    int contact_a = -1;
    int contact_b = -1;
    double closest = kGroupDistanceCap;
    for (int s = 0; s < na; ++s) {
        const int p = in_a[s];
        const double* row_p = ws.data[p];
        int32_t nearest_pos = -1;
        double nearest = kGroupDistanceCap;
        for (int t = 0; t < nb; ++t) {
            // PointDistance: the lower index first, as in the matrix.
            const bool p_first = p < in_b[t];
            const double d = distance(p_first ? row_p : rows_b[t], p_first ? rows_b[t] : row_p, dims);
            if (d < nearest && d < radius) {
                nearest_pos = t;
                nearest = d;
            }
            if (d < near_b_distance[t] && d < radius) {
                near_b[t] = s;
                near_b_distance[t] = d;
            }
            if (d < closest) {
                closest = d;
                contact_a = s;
                contact_b = t;
            } else if (d == closest && contact_a >= 0 && t < contact_b) {
                contact_b = t;
            }
        }
        near_a[s] = nearest_pos;
    }

    out.count_self = 0.0;
    out.count_other = 0.0;
    if (contact_a >= 0) {  // no pair below the cap: no contact point, counts 0
        int count = 0;
        for (int s = 0; s < na; ++s)
            if (PointDistance(ws, in_a[s], in_a[contact_a]) < radius) ++count;
        out.count_self = count;
        count = 0;
        for (int t = 0; t < nb; ++t)
            if (PointDistance(ws, in_b[contact_b], in_b[t]) < radius) ++count;
        out.count_other = count;
    }
    int mutual = 0;
    for (int s = 0; s < na; ++s)
        if (near_a[s] != -1 && near_b[near_a[s]] == s) ++mutual;
    out.mutual = mutual;
}

}  // namespace

// ---- Point records ---------------------------------------------------------

int algo_init(double** /*data*/, int n, int dims, const int* weights, HPtC_S* recs) {
    for (int i = 0; i < n; ++i) {
        HPtC_S& rec = recs[i];
        rec.is_head = 1;
        rec.dims = dims;
        rec.member_count = 1;
        rec.tag = 0;
        rec.min_link = 0.0;
        rec.mean_link = 0.0;
        rec.weight = weights != nullptr ? weights[i] : 1;
        rec.member_list.assign(1, i);
    }
    return 1;
}

int algo_delete(int n, HPtC_S* recs) {
    for (int i = 0; i < n; ++i) std::vector<int32_t>().swap(recs[i].member_list);
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

int InitGroupSpace(GroupSpace& ws, double** data, int n, int dims, double** dist, DistanceFn distance) {
    const std::size_t size = Count(n);
    ws.data = data;
    ws.n = n;
    ws.dims = dims;
    ws.distance = distance;
    ws.link = dist;
    ws.heads.resize(size);
    std::iota(ws.heads.begin(), ws.heads.end(), 0);
    ws.merges.clear();
    ws.merges.reserve(size);
    ws.folded = 0;
    ws.caught_up.assign(size, 0);
    ws.final_head.resize(size);
    std::iota(ws.final_head.begin(), ws.final_head.end(), 0);
    ws.sizes.assign(size, 1);
    ws.nearest.assign(size, NearestSummary());
    // Cap the point distances and summarise every row in one sweep; all
    // groups being single points, every other group is at least as large.
    // Four lanes keep the comparisons flowing (a minimum, its holder count
    // and its first holder do not depend on the order).
    for (int r = 0; r < n; ++r) {
        double* row = dist[r];
        row[r] = kLinkCap;  // the diagonal is never read
        double smallest[4] = {HUGE_VAL, HUGE_VAL, HUGE_VAL, HUGE_VAL};
        int first[4] = {kNone, kNone, kNone, kNone};
        int ties[4] = {0, 0, 0, 0};
        bool in_range = true;
        auto take = [&](int lane, int c) {
            const double d = row[c];
            in_range = in_range & (d <= kLinkCap);
            if (d < smallest[lane]) {
                smallest[lane] = d;
                first[lane] = c;
                ties[lane] = 1;
            } else if (d == smallest[lane]) {
                ++ties[lane];
            }
        };
        int c = 0;
        for (; c + 4 <= n; c += 4)
            for (int lane = 0; lane < 4; ++lane) take(lane, c + lane);
        for (; c < n; ++c) take(0, c);
        NearestSummary s{HUGE_VAL, kNone, 0, 0.0, kNone, 0};
        for (int lane = 0; lane < 4; ++lane) s.all_distance = MinLink(s.all_distance, smallest[lane]);
        for (int lane = 0; lane < 4; ++lane) {
            if (smallest[lane] != s.all_distance) continue;
            if (s.all_first == kNone || first[lane] < s.all_first) s.all_first = first[lane];
            s.all_ties += ties[lane];
        }
        if (!in_range || !(s.all_distance < kLinkCap)) {
            // Distances to cap (or none below it, the diagonal then counting): once more, plainly.
            std::replace_if(row, row + n, [](double d) { return !(d < kLinkCap); }, kLinkCap);
            s = NearestSummary{HUGE_VAL, kNone, 0, 0.0, kNone, 0};
            for (c = 0; c < n; ++c) {
                if (c == r) continue;
                if (row[c] < s.all_distance) {
                    s.all_distance = row[c];
                    s.all_first = c;
                    s.all_ties = 1;
                } else if (row[c] == s.all_distance) {
                    ++s.all_ties;
                }
            }
        }
        s.not_smaller_distance = s.all_distance;
        s.not_smaller_first = s.all_first;
        s.not_smaller_ties = s.all_ties;
        ws.nearest[r] = s;
    }
    ws.version.assign(size, 0);
    ws.memo.assign(size, MutualMemo());
    ws.near_a.assign(size, -1);
    ws.near_b.assign(size, -1);
    ws.near_b_distance.assign(size, 0.0);
    ws.contact_rows.assign(size, nullptr);
    return 1;
}

double PointDistance(const GroupSpace& ws, int p, int q) {
    // The matrix holds 0.0 on its diagonal and distance(row i, row j) with i < j in both triangles.
    if (p == q) return 0.0;
    return p < q ? ws.distance(ws.data[p], ws.data[q], ws.dims) : ws.distance(ws.data[q], ws.data[p], ws.dims);
}

// ---- Phase 1: mutual nearest-neighbour linking ----------------------------

int k_voisins(GroupSpace& ws, const HPtC_S* recs, int a, int b, double& best_distance, int* best_pos_a,
              int* best_pos_b) {
    FoldMerges(ws, recs);
    best_distance = Capped(Link(ws, a, b), kGroupDistanceCap);
    if (best_pos_a == nullptr && best_pos_b == nullptr) return 1;
    // The positions need the points: the first pair in member order at the smallest distance.
    const HPtC_S& ga = recs[a];
    const HPtC_S& gb = recs[b];
    double best = kGroupDistanceCap;
    for (int i = 0; i < ga.member_count; ++i) {
        for (int j = 0; j < gb.member_count; ++j) {
            const double d = PointDistance(ws, ga.member_list[i], gb.member_list[j]);
            if (d < best) {
                best = d;
                if (best_pos_a != nullptr) *best_pos_a = i;
                if (best_pos_b != nullptr) *best_pos_b = j;
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

void ConnectionSingle(HPtC_S* recs, int a, int b, double d, GroupSpace* ws) {
    HPtC_S& into = recs[a];
    HPtC_S& from = recs[b];
    const int ca = into.member_count;
    const int cb = from.member_count;
    // A single point has no link yet: its min_link 0.0 is no bound.
    if (ca == 1 || d <= into.min_link) into.min_link = d;
    from.is_head = 0;
    into.mean_link = (static_cast<double>(cb - 1) * from.mean_link + static_cast<double>(ca - 1) * into.mean_link + d) /
                     static_cast<double>(ca + cb - 1);
    into.member_list.insert(into.member_list.end(), from.member_list.begin(), from.member_list.begin() + cb);
    into.member_count = ca + cb;
    std::vector<int32_t>().swap(from.member_list);
    if (ws != nullptr) {
        // Group distances follow at the next read; cached contact answers about either group lapse now.
        ws->merges.emplace_back(a, b);
        ++ws->version[a];
        ++ws->version[b];
    }
}

int findclosest1KNN(GroupSpace& ws, HPtC_S* recs, double x, int& n_groups) {
    FoldMerges(ws, recs);
    const int n = ws.n;
    const std::vector<int32_t> heads = ws.heads;  // before any merge of this pass, ascending
    std::vector<int> closest_group(Count(n), -1);  // -1: no head nearer than kNoNearestHead
    std::vector<double> closest_distance(Count(n), kNoNearestHead);
    std::vector<int> pair_heads;  // heads of mutual pairs, ascending; each pair appears at both heads
    std::vector<double> pair_ratios;
    pair_heads.reserve(heads.size());
    pair_ratios.reserve(heads.size());

    // The nearest head is the first one at the smallest distance, if nearer
    // than kNoNearestHead (far below the k_voisins cap, so capping plays no part).
    for (const int32_t j : heads) {
        const NearestSummary& s = ws.nearest[j];
        if (s.all_distance < kNoNearestHead) {
            closest_distance[j] = s.all_distance;
            closest_group[j] = s.all_first;
        }
    }

    int h = static_cast<int>(heads.size());
    // Late in the phase (fewer than n/2 groups) only well-proportioned links may merge.
    const double threshold = h < n / 2 ? x * 0.95 : x * 0.0;

    // Two groups are never joined here: that decision belongs to the density phase.
    if (h != 2) {
        for (const int32_t j : heads) {
            const int k = closest_group[j];
            if (k != -1 && recs[k].is_head != 0 && closest_group[k] == j) {
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
            ConnectionSingle(recs, k, j, closest_distance[j], &ws);
            ++merges;
            --h;
        }
    }

    n_groups = h;
    return merges == 0 ? 0 : CountHeadsOfAtLeast(recs, heads, 2);
}

// ---- Phase 2: density-driven merging --------------------------------------

double Single_link(GroupSpace& ws, const HPtC_S* recs, int a, int b) {
    if (recs[a].member_count <= 0 || recs[b].member_count <= 0) return kEmptySingleLink;
    FoldMerges(ws, recs);
    return Link(ws, a, b);  // stored capped at kLinkCap
}

std::vector<double> getdistance_DensityMin(GroupSpace& ws, const HPtC_S* recs, int* nearest_not_smaller,
                                           int* nearest_group) {
    FoldMerges(ws, recs);
    const int n = ws.n;
    std::vector<double> nearest_distance(Count(n), 0.0);
    for (int i = 0; i < n; ++i) {
        nearest_not_smaller[i] = i;
        nearest_group[i] = i;
    }
    for (const int32_t i : ws.heads) {
        // A single holder of the smallest distance (or none within reach) is
        // the answer whatever the tie rules; only ties need the scan below.
        const NearestSummary& s = ws.nearest[i];
        const bool all_settled = (s.all_distance < kNoNearestGroup && s.all_ties == 1) || s.all_distance > kNoNearestGroup;
        const bool not_smaller_settled = (s.not_smaller_distance < kGroupDistanceCap && s.not_smaller_ties == 1) ||
                                         s.not_smaller_distance > kGroupDistanceCap;
        if (all_settled && not_smaller_settled) {
            if (s.all_distance < kNoNearestGroup) nearest_group[i] = s.all_first;
            nearest_distance[i] = s.all_distance < kNoNearestGroup ? s.all_distance : kNoNearestGroup;
            if (s.not_smaller_distance < kGroupDistanceCap) nearest_not_smaller[i] = s.not_smaller_first;
            continue;
        }

        // Ties. A search ends at the smallest distance, and the first group
        // found there replaces whatever came before, so the rules need to see
        // only the groups at that distance, in index order, each with its
        // count of groups compared before it.
        const HPtC_S& group = recs[i];
        CatchUp(ws, i, ws.merges.size());
        const double* row = ws.link[i];
        const double none = std::numeric_limits<double>::quiet_NaN();  // equal to nothing
        const double nearest_at = s.all_distance <= kNoNearestGroup ? s.all_distance : none;
        const double not_smaller_at = s.not_smaller_distance <= kGroupDistanceCap ? s.not_smaller_distance : none;
        double best = kNoNearestGroup;
        double best_not_smaller = kGroupDistanceCap;
        int examined = 0;  // live groups compared with i before j
        for (const int32_t j : ws.heads) {
            if (j == i) continue;
            const double d = row[j];  // as Single_link gives it
            if (d == nearest_at) {
                const HPtC_S& other = recs[j];
                if (d < best) {
                    nearest_group[i] = j;
                    best = d;
                } else {
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
            }
            if (d == not_smaller_at && recs[j].member_count >= group.member_count) {
                if (d < best_not_smaller) {
                    nearest_not_smaller[i] = j;
                    best_not_smaller = d;
                } else if (examined >= 2 && recs[nearest_not_smaller[i]].member_count < recs[j].member_count) {
                    nearest_not_smaller[i] = j;
                }
            }
            ++examined;
        }
        nearest_distance[i] = best;
    }
    return nearest_distance;
}

int GetMutualdistance(GroupSpace& ws, const HPtC_S* recs, int a, int b, double x, double& count_a,
                      double& count_b) {
    const HPtC_S& ga = recs[a];
    const HPtC_S& gb = recs[b];
    if (ga.is_head == 0 || gb.is_head == 0) return 0;
    // The answer depends only on the two member lists and x: phase 2 asks the
    // same question of a refused candidate at pass after pass.
    uint64_t x_bits = 0;
    std::memcpy(&x_bits, &x, sizeof x);
    MutualMemo& memo = ws.memo[a];
    if (memo.other != b || memo.version_self != ws.version[a] || memo.version_other != ws.version[b] ||
        memo.x_bits != x_bits) {
        MeasureContacts(ws, ga, gb, x, memo);
        memo.other = b;
        memo.version_self = ws.version[a];
        memo.version_other = ws.version[b];
        memo.x_bits = x_bits;
    }
    count_a = memo.count_self;
    count_b = memo.count_other;
    return memo.mutual;
}

int AlgoUnit_DensityNeighborMin(GroupSpace& ws, HPtC_S* recs, int /*n_groups*/, int /*min_groups*/,
                                double threshold, double direct_ratio, const double* tests) {
    const int n = ws.n;
    if (n <= 0) return 0;
    if (n == 1) return 1;
    const bool mutual_test = tests[0] == 1.0;
    const bool balance_test = tests[1] == 1.0;
    const double u = tests[2];

    std::vector<int> nearest_not_smaller(Count(n));
    std::vector<int> nearest_group(Count(n));
    const std::vector<double> nearest_distance =
        getdistance_DensityMin(ws, recs, nearest_not_smaller.data(), nearest_group.data());
    const std::vector<int32_t> heads = ws.heads;  // at the pass start, ascending; absorbed records stay out

    int countdown = n;  // counts points, not groups: at most n - 2 absorptions per pass
    for (const int32_t i : heads) {
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
            const int mutual = GetMutualdistance(ws, recs, i, e, x, count_i, count_e);
            if (mutual_test) {
                // Refused when the weak link is backed by many mutual point pairs for the contact size.
                const int smaller = std::min(static_cast<int>(count_i), static_cast<int>(count_e));
                const int limit = std::max(2, static_cast<int>(smaller * 0.5));
                if (static_cast<double>(mutual) * (1.0 - ratio) > static_cast<double>(limit)) continue;
            }
            // Refused when the contact regions differ too much in size; a NaN product does not refuse.
            if (balance_test && u > ratio * (std::fmin(count_i, count_e) / std::fmax(count_i, count_e))) continue;
        }

        ConnectionSingle(recs, e, i, x, &ws);
        --countdown;
        // Entries that pointed at i now point where i went (e): the tables keep
        // describing the pass start, moved along by the merges.
        for (const int32_t j : heads) {
            if (recs[j].is_head == 0) continue;
            if (nearest_not_smaller[j] == i) nearest_not_smaller[j] = nearest_not_smaller[i];
            if (nearest_group[j] == i) nearest_group[j] = nearest_group[i];
        }
        if (countdown == 2) break;
    }

    int live = 0;
    for (const int32_t i : heads)
        if (recs[i].is_head == 1) ++live;
    return live;
}

double D_groupe_DensityMin(const GroupSpace& ws, const HPtC_S& a, const HPtC_S& b, int& point_a, int& point_b) {
    double best = kNoClosestPair;
    if (a.is_head == 0 || b.is_head == 0) return best;
    for (int i = 0; i < a.member_count; ++i) {
        for (int j = 0; j < b.member_count; ++j) {
            const double d = PointDistance(ws, a.member_list[i], b.member_list[j]);
            if (d < best) {
                best = d;
                point_a = a.member_list[i];
                point_b = b.member_list[j];
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
        StoreList(cluster_members, cluster_sizes, k, recs[i].member_list.data(), recs[i].member_count);
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
            StoreList(cluster_members, cluster_sizes, k, rec.member_list.data(), rec.member_count);
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
        std::copy(rec.member_list.begin(), rec.member_list.begin() + rec.member_count, noise + filled);
        filled += rec.member_count;
    }
    cluster_sizes[k] = noise_total;
    noise_flag = 1;
    return k + 1;
}

// ---- Noise assignment ------------------------------------------------------

int FinishConnection_without(GroupSpace& ws, HPtC_S* recs) {
    FoldMerges(ws, recs);
    const int n = ws.n;
    const std::vector<int32_t> heads = ws.heads;  // before any attachment, ascending
    std::vector<int> attach_to(Count(n), -1);     // untagged head -> its nearest tagged head, -1 for none
    std::vector<double> attach_distance(Count(n), kNoAttachment);

    // Targets are chosen from the groups as they stand before any attachment.
    for (const int32_t i : heads) {
        if (recs[i].tag != 0) continue;
        CatchUp(ws, i, ws.merges.size());
        const double* row = ws.link[i];
        for (const int32_t j : heads) {
            if (j == i || recs[j].tag == 0) continue;
            const double d = Capped(row[j], kGroupDistanceCap);  // as k_voisins gives it
            if (d < attach_distance[i]) {  // ties keep the lowest tagged head
                attach_distance[i] = d;
                attach_to[i] = j;
            }
        }
    }

    int attached = 0;
    for (const int32_t b : heads) {
        if (recs[b].is_head == 0 || recs[b].tag == 1 || attach_to[b] == -1) continue;
        ConnectionSingleWithTag(recs, attach_to[b], b, attach_distance[b], &ws);
        ++attached;
    }
    return attached;
}

void ConnectionSingleWithTag(HPtC_S* recs, int a, int b, double d, GroupSpace* ws) {
    if (recs[b].tag == 1)
        ConnectionSingle(recs, b, a, d, ws);
    else
        ConnectionSingle(recs, a, b, d, ws);
}

// ---- Driver and result file ------------------------------------------------

namespace {

// The distance matrix of one clustering, released on every path.
class MatrixOwner {
public:
    MatrixOwner(double** rows, int count) : rows_(rows), count_(count) {}
    ~MatrixOwner() { Delete2D(rows_, count_); }
    MatrixOwner(const MatrixOwner&) = delete;
    MatrixOwner& operator=(const MatrixOwner&) = delete;
    double** get() const { return rows_; }

private:
    double** rows_;
    int count_;
};

// Phase 1: every mutual pair merges until a pass leaves fewer multi-point
// groups than the one before; from then on the link ratio must also fit.
void LinkMutualNeighbours(GroupSpace& ws, HPtC_S* recs, int min_groups, int& n_groups) {
    int previous = 0;
    double x = 0.0;
    for (;;) {
        const int result = findclosest1KNN(ws, recs, x, n_groups);
        const int multi = CountHeadsOfAtLeast(recs, ws.heads, 2);
        if (previous > multi && x == 0.0)
            x = 1.0;
        else
            previous = multi;
        if (result == 0 || n_groups < min_groups) break;
    }
}

// Phase 2: merging passes at each density threshold until the group count
// stands still (or is 2 or less), the threshold falling by 0.05 while it stays
// above the floor. The threshold falls by repeated subtraction, so its values
// are those of 0.8 - 0.05 - 0.05 ... in doubles (0.1999999999999999, not 0.2).
void MergeByDensity(GroupSpace& ws, HPtC_S* recs, int min_groups, double threshold_floor, const double* tests,
                    int& n_groups, const ClusteringHooks& hooks) {
    const int cmin = min(min_groups, n_groups);
    int m = n_groups;
    // Thresholds 0.8 down to just above the floor, for the progress report.
    int total = 0;
    for (double t = 0.8; threshold_floor < t || total == 0; t -= 0.05) ++total;
    int done = 0;
    double threshold = 0.8;
    do {
        int last = -1;
        for (;;) {
            m = AlgoUnit_DensityNeighborMin(ws, recs, m, cmin, threshold, 0.95, tests);
            n_groups = m;
            if (m == last || m <= 2) break;
            last = m;
        }
        threshold = threshold - 0.05;
        if (hooks.progress) hooks.progress(++done, total);
    } while (threshold_floor < threshold);
}

}  // namespace

ClusterLists::ClusterLists(int n) : members(Count(n), nullptr), sizes(Count(n), 0) {}

ClusterLists::~ClusterLists() {
    for (int* list : members) delete[] list;
}

int RunClustering(double** data, int n, int dims, int& n_groups, int min_groups, const double* params,
                  DistanceFn distance, int** cluster_members, int* cluster_sizes, int& noise_flag,
                  const ClusteringHooks& hooks) {
    const double threshold_floor = params[0];
    const int density_phase = static_cast<int>(params[1]);
    const double tests[3] = {params[2], params[3], params[4]};  // mutual switch, balance switch, u
    const int finish = static_cast<int>(params[5]);
    noise_flag = 0;
    if (n < 0) n = 0;

    std::vector<HPtC_S> recs(Count(n));
    algo_init(data, n, dims, nullptr, recs.data());
    // The distance matrix; once filled it becomes the workspace's group distances.
    const MatrixOwner dist(Reservmemdouble(n, n), n);
    if (dist.get() == nullptr && n > 0) throw std::bad_alloc();
    GenereMatriceDistance(data, n, dims, nullptr, dist.get(), distance);
    GroupSpace ws;
    InitGroupSpace(ws, data, n, dims, dist.get(), distance);
    ws.check_folds = hooks.check_folds;
    n_groups = n;

    LinkMutualNeighbours(ws, recs.data(), min_groups, n_groups);
    if (density_phase == 0) {
        n_groups = GetListe(recs.data(), n, cluster_members, cluster_sizes);
        return n_groups;
    }
    if (hooks.first_phase_done) hooks.first_phase_done(n_groups, n);
    MergeByDensity(ws, recs.data(), min_groups, threshold_floor, tests, n_groups, hooks);
    const int min_cluster = n / 100;
    if (finish != 0) {
        for (HPtC_S& rec : recs) rec.tag = (rec.is_head == 1 && rec.member_count >= min_cluster) ? 1 : 0;
        while (FinishConnection_without(ws, recs.data()) != 0) {
        }
    }
    n_groups = FillListe_densitymin(recs.data(), min_cluster, n, cluster_members, cluster_sizes, noise_flag);
    return n_groups;
}

int algoMutuel(double** data, int n, int dims, int& n_groups, int min_groups, const double* params,
               DistanceFn distance, int** cluster_members, int* cluster_sizes, int& noise_flag) {
    ClusteringHooks hooks;
    hooks.first_phase_done = [](int groups, int points) { std::printf("n_cluster phase 1=%d (%d)\n", groups, points); };
    try {
        return RunClustering(data, n, dims, n_groups, min_groups, params, distance, cluster_members, cluster_sizes,
                             noise_flag, hooks);
    } catch (const std::bad_alloc&) {
        std::printf("Memory error\n");
        n_groups = 0;
        return -1;
    }
}

std::vector<int> PointLabels(int** cluster_members, const int* cluster_sizes, int n, int n_lists) {
    // A point in several lists keeps the last one's label; one in none gets n_lists.
    std::vector<int> labels(Count(n), n_lists);
    for (int k = 0; k < n_lists; ++k)
        for (int e = 0; e < cluster_sizes[k]; ++e) labels[cluster_members[k][e]] = k;
    return labels;
}

int PrintResultClustering(const char* path, double** matrix, int n, int dims, int** cluster_members,
                          int n_lists, const int* cluster_sizes) {
    const std::vector<int> label = PointLabels(cluster_members, cluster_sizes, n, n_lists);
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
