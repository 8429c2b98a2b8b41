// Member lists of the sampling: per prototype, the rows it holds (its own row
// excepted), each with its distance to the prototype and a copy of its
// coordinates, so that a step measures side by side rows that lie side by side
// in memory, whatever the width of the data.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

namespace tavri {

// Layout. The lists are chains of chunks of kLanes entries, all chunks in one
// arena sized once. A chunk is one record of whole cache lines: a head (the
// distances, the rows, the bound and the next chunk), then the coordinates
// lane-interleaved: dimension t of lane l at Coords(c)[t * kLanes + l].
// Entry e is lane e % kLanes of chunk e / kLanes.
// - row -1 with distance -inf: a dead entry (its row left the list; its
//   coordinates stay until the list is compacted) or a lane past the end;
// - Bound(c): the largest distance in chunk c and in the rest of its list, so
//   that a scan can stop once the bound excuses every row from there on;
// - Next(c) -1: the last chunk of its list; Head(j) -1: list j is empty.
class MemberLists {
public:
    static constexpr int kLanes = 8;

    // Room for `chunks` chunks of rows of `dims` values, in `lists` lists.
    void Init(long long chunks, int dims, int lists) {
        if (chunks > std::numeric_limits<int>::max() / kLanes) throw std::bad_alloc();
        capacity_ = static_cast<int>(chunks);
        dims_ = dims;
        record_ = kHeadBytes + static_cast<std::size_t>(dims) * kLanes * sizeof(double);
        // Left uninitialised: a chunk is written when handed out, so only used chunks take memory.
        void* block = std::aligned_alloc(64, record_ * static_cast<std::size_t>(std::max(capacity_, 1)));
        if (block == nullptr) throw std::bad_alloc();
        arena_.reset(static_cast<unsigned char*>(block));
        head_.assign(static_cast<std::size_t>(lists), -1);
        tail_.assign(static_cast<std::size_t>(lists), -1);
        size_.assign(static_cast<std::size_t>(lists), 0);
        dead_.assign(static_cast<std::size_t>(lists), 0);
    }

    int Head(int j) const { return head_[static_cast<std::size_t>(j)]; }
    // Entries of list j, the dead ones included.
    int Size(int j) const { return size_[static_cast<std::size_t>(j)]; }
    int Dead(int j) const { return dead_[static_cast<std::size_t>(j)]; }
    int Next(int c) const { return HeadOf(c).next; }
    double Bound(int c) const { return HeadOf(c).bound; }
    const double* Dist(int c) const { return HeadOf(c).dist; }
    const int* Row(int c) const { return HeadOf(c).row; }
    const double* Coords(int c) const { return reinterpret_cast<const double*>(Record(c) + kHeadBytes); }
    double EntryDistance(int e) const { return Dist(e / kLanes)[e % kLanes]; }
    int EntryRow(int e) const { return Row(e / kLanes)[e % kLanes]; }
    // Dimension t of entry e is at EntryCoords(e)[t * kLanes].
    const double* EntryCoords(int e) const { return Coords(e / kLanes) + e % kLanes; }

    void Prefetch(int c) const {
        const unsigned char* from = Record(c);
        for (std::size_t at = 0; at < record_; at += 64) __builtin_prefetch(from + at);
    }

    // Appends row r at distance d to list j; src[t * stride] is dimension t.
    void Append(int j, int r, double d, const double* src, int stride) {
        const std::size_t list = static_cast<std::size_t>(j);
        if (size_[list] % kLanes == 0) {
            const int c = Take();
            if (tail_[list] < 0)
                head_[list] = c;
            else
                HeadOf(tail_[list]).next = c;
            tail_[list] = c;
        }
        const int c = tail_[list];
        const int l = size_[list] % kLanes;
        HeadOf(c).row[l] = r;
        HeadOf(c).dist[l] = d;
        double* x = MutableCoords(c) + l;
        for (int t = 0; t < dims_; ++t) x[t * kLanes] = src[static_cast<std::size_t>(t) * stride];
        ++size_[list];
    }

    // Makes the empty list j `count` entries long in consecutive chunks, for
    // Place to fill in any order; every entry must then be placed once.
    void StartFilled(int j, int count) {
        const std::size_t list = static_cast<std::size_t>(j);
        int previous = -1;
        for (int filled = 0; filled < count; filled += kLanes) {
            const int c = Take();
            if (previous < 0)
                head_[list] = c;
            else
                HeadOf(previous).next = c;
            previous = c;
        }
        tail_[list] = previous;
        size_[list] = count;
    }
    // Puts row r at distance d at `position` of list j, made by StartFilled.
    void Place(int j, int position, int r, double d, const double* src, int stride) {
        const int c = Head(j) + position / kLanes;  // the chunks of StartFilled follow each other
        const int l = position % kLanes;
        HeadOf(c).row[l] = r;
        HeadOf(c).dist[l] = d;
        double* x = MutableCoords(c) + l;
        for (int t = 0; t < dims_; ++t) x[t * kLanes] = src[static_cast<std::size_t>(t) * stride];
    }

    // Entry e of list j leaves it. Its coordinates stay, for an Append from it.
    void Kill(int j, int e) {
        HeadOf(e / kLanes).row[e % kLanes] = -1;
        HeadOf(e / kLanes).dist[e % kLanes] = -kInf;
        ++dead_[static_cast<std::size_t>(j)];
    }

    // Entry of row r in list j, -1 when absent.
    int Find(int j, int r) const {
        int c = Head(j);
        for (int base = 0; base < Size(j); base += kLanes, c = Next(c)) {
            for (int l = 0; l < kLanes; ++l)
                if (Row(c)[l] == r) return c * kLanes + l;
        }
        return -1;
    }

    // The largest distance in list j, ties to the larger row, as a pass in row
    // order keeping `d >= radius` finds it; 0.0 and -1 when the list is empty.
    void Farthest(int j, double& radius, int& farthest) const {
        radius = 0.0;
        farthest = -1;
        int c = Head(j);
        // Strict: a later chunk may still hold an equal distance with a larger row.
        for (int base = 0; base < Size(j) && !(Bound(c) < radius); base += kLanes, c = Next(c)) {
            for (int l = 0; l < kLanes; ++l) {
                const int r = Row(c)[l];
                const double d = Dist(c)[l];
                if (r >= 0 && (d > radius || (d == radius && r > farthest))) {
                    radius = d;
                    farthest = r;
                }
            }
        }
    }

    // Sets the bounds of list j from its live entries.
    void SetBounds(int j) {
        chain_.clear();
        for (int c = Head(j); c >= 0; c = Next(c)) chain_.push_back(c);
        double largest = -kInf;
        for (auto c = chain_.rbegin(); c != chain_.rend(); ++c) {
            for (int l = 0; l < kLanes; ++l)
                if (Row(*c)[l] >= 0 && Dist(*c)[l] > largest) largest = Dist(*c)[l];
            HeadOf(*c).bound = largest;
        }
    }

    // Whether list j holds more dead entries than half its live ones; keeping
    // it below that bounds the arena the lists need.
    bool NeedsCompaction(int j) const { return 2 * Dead(j) > Size(j) - Dead(j); }

    // Moves the live entries of list j to its front, in order, and frees the
    // chunks left over.
    void Compact(int j);

private:
    static constexpr std::size_t kHeadBytes = 128;
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    struct ChunkHead {
        double dist[kLanes];
        int row[kLanes];
        double bound;
        int next;
    };
    static_assert(sizeof(ChunkHead) <= kHeadBytes, "a chunk head fits its cache lines");
    struct FreeBlock {
        void operator()(unsigned char* block) const { std::free(block); }
    };

    unsigned char* Record(int c) const { return arena_.get() + record_ * static_cast<std::size_t>(c); }
    ChunkHead& HeadOf(int c) const { return *reinterpret_cast<ChunkHead*>(Record(c)); }
    double* MutableCoords(int c) { return reinterpret_cast<double*>(Record(c) + kHeadBytes); }

    // A fresh chunk, every lane past the end.
    int Take() {
        int c = free_head_;
        if (c >= 0) {
            free_head_ = Next(c);
        } else {
            // The capacity bounds the live, dead and partial entries of all lists.
            if (used_ == capacity_) throw std::logic_error("sampling: member chunks exhausted");
            c = used_++;
        }
        ChunkHead& h = HeadOf(c);
        h.next = -1;
        h.bound = -kInf;
        for (int l = 0; l < kLanes; ++l) {
            h.row[l] = -1;
            h.dist[l] = -kInf;
        }
        std::fill_n(MutableCoords(c), dims_ * kLanes, 0.0);
        return c;
    }
    void Release(int c) {
        HeadOf(c).next = free_head_;
        free_head_ = c;
    }

    int dims_ = 0;
    int capacity_ = 0;
    int used_ = 0;         // chunks ever handed out
    int free_head_ = -1;   // chain of released chunks
    std::size_t record_ = 0;  // bytes per chunk
    std::unique_ptr<unsigned char[], FreeBlock> arena_;
    std::vector<int> head_, tail_;  // per list: first and last chunk, -1 when empty
    std::vector<int> size_;         // per list: entries, the dead included
    std::vector<int> dead_;         // per list: dead entries
    std::vector<int> chain_;        // scratch: the chunks of one list
};

inline void MemberLists::Compact(int j) {
    const std::size_t list = static_cast<std::size_t>(j);
    int read_chunk = head_[list];
    int write_chunk = head_[list];
    int write_lane = 0;
    int written = 0;
    for (int base = 0; base < size_[list]; base += kLanes, read_chunk = Next(read_chunk)) {
        for (int l = 0; l < kLanes; ++l) {
            if (Row(read_chunk)[l] < 0) continue;
            if (write_lane == kLanes) {
                write_chunk = Next(write_chunk);
                write_lane = 0;
            }
            if (write_chunk != read_chunk || write_lane != l) {
                HeadOf(write_chunk).row[write_lane] = Row(read_chunk)[l];
                HeadOf(write_chunk).dist[write_lane] = Dist(read_chunk)[l];
                const double* from = Coords(read_chunk) + l;
                double* to = MutableCoords(write_chunk) + write_lane;
                for (int t = 0; t < dims_; ++t) to[t * kLanes] = from[t * kLanes];
            }
            ++write_lane;
            ++written;
        }
    }
    int spare = head_[list];
    if (written == 0) {
        head_[list] = tail_[list] = -1;
    } else {
        for (int l = write_lane; l < kLanes; ++l) {
            HeadOf(write_chunk).row[l] = -1;
            HeadOf(write_chunk).dist[l] = -kInf;
        }
        spare = Next(write_chunk);
        HeadOf(write_chunk).next = -1;
        tail_[list] = write_chunk;
    }
    while (spare >= 0) {
        const int after = Next(spare);
        Release(spare);
        spare = after;
    }
    size_[list] = written;
    dead_[list] = 0;
    SetBounds(j);
}

}  // namespace tavri
