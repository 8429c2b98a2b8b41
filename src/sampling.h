// Sampling: reduction of a large data matrix to at most K prototype rows by
// farthest-member splitting, with each prototype's population and density.
#pragma once

#include <functional>
#include <random>

#include "util.h"

// ---- Parameter block -------------------------------------------------------
// Sizes, switches and the per-iteration statistics of one sampling run.
// Switches are compared with exactly 1 unless said otherwise.
struct ParamFCNNrule {
    double* cost_history;        // entry k-1: cost with k prototypes (CalculCost), 1e10 until then; sized
                                 // max_prototypes when a run starts. Recorded only while the cost can stop
                                 // the loop (cost_threshold > 0)
    double* max_radius_history;  // entry k-1: largest prototype radius with k prototypes (read by TestFin)
    int history_size;            // entries of the two histories
    double** centroids;          // centroid_rows x centroid_cols, taken by the centroid pass on first use
    int track_criteria;          // nonzero: record max_radius_history; 1: the radius-limit stop applies (0)
    int start_mode;              // first prototype: 0 minimum corner, -1 maximum corner, other: random row (1)
    int n_rows;                  // N
    int n_dims;                  // D, handed to every distance call (1)
    int max_prototypes;          // K (n)
    int build_member_lists;      // 0 turns AttributionPattern into a no-op (1)
    int gravity_on;              // 1: centroids of the final prototypes are computed (0)
    int centroid_rows;           // rows of centroids (n)
    int centroid_cols;           // columns of centroids once taken (0 until then)
    int skip_tests;              // 1: the geometric tests that spare distance computations are used (1);
                                 // 0 only to check that they never change a result
    int acceleration;            // how the rows are visited; the result is the same (2): 2 per-prototype member
                                 // lists, AVX2 kernels when the processor has them; 1 the same, portable
                                 // kernels; 0 every row at every step. The lists apply only with distance
                                 // d_Eucl, n_dims >= 1 and every value finite within +-1e100, else 0 is used
    int threads;                 // 2: the listed iteration scans lists on two threads when the machine has two
                                 // cores (the result is the same); 1: on the calling thread only (2)
    double scan_margin;          // the lists' squared-distance filter lets through d^2 x scan_margin; far above
                                 // the rounding of a square and its root (1 + 1e-12). Tests lower it
    double cost_threshold;       // the iteration stops once the cost is strictly below it (0.01)
    int scale_by_inertia;        // 1: the cost is normalised by the inertia estimate, else by 1.0 (0)
    DistanceFn distance;         // every point-to-point distance of the iteration (d_Eucl)
};

// New block for n rows; the caller owns it (release with
// LibereParamFCNNrule, then delete).
ParamFCNNrule* InitParamFCNNrule(int n);
// Writes the default settings; leaves n_rows, max_prototypes, centroid_rows,
// scale_by_inertia and distance as they are.
void InitSingleParamFCNNrule(ParamFCNNrule* p);
// Releases the arrays and the centroid matrix of the block (not the block).
void LibereParamFCNNrule(ParamFCNNrule* p);

// ---- Workspace -------------------------------------------------------------
struct Tri {
    int* label;  // per prototype, read by UpdateInstance
};

// Working state of one run of the plain iteration. N rows, K = max_prototypes.
struct Internal {
    int* skip_flag;                  // K+1, per prototype: cannot lose a row to the newest prototype
    int* assignment;                 // N, per row: its prototype number
    int* farthest_member;            // K+1, per prototype: farthest non-prototype member (-1 when none)
    int* prototype_row;              // K+1, per prototype: its data row
    int* active;                     // N, per row: 1 while not a prototype
    double scale;                    // cost normaliser
    double* newest_distance;         // K+1, per prototype: distance to the newest prototype (0.0 for itself);
                                     // the only prototype-to-prototype distances the iteration reads
    double* distance_to_prototype;   // N, per row: distance to its prototype (as assignment)
    double* radius;                  // K+1, per prototype: largest member distance
    int* population;                 // K+1, per prototype: rows assigned, its own included
    int split_prototype;             // prototype split by the latest selection, -1 when none
    Tri* tri;
    double radius_limit;             // radius-limit stop value (-1.0)
    std::minstd_rand* random;        // the run's own generator (null: none yet)
};

// Allocates every array of w and its Tri, sized from p; returns 1.
int InitMemory(Internal* w, ParamFCNNrule* p);
// Allocates the arrays of t with n zero entries each.
void InitTri(Tri* t, int n);
// Releases what InitMemory allocated, the Tri record included (not w itself).
void LibereMemoireAlgorithme(Internal* w, ParamFCNNrule* p);
// Releases the arrays of t (not the record).
void LibereTri(Tri* t);

// ---- Initialisation --------------------------------------------------------
// Allocates the workspace, fixes the cost scale and sets the first prototype;
// returns its data row.
int InitProgramme(double** data, Internal* w, ParamFCNNrule* p);
// Initial state: one prototype chosen by start_mode, holding every row; returns its row.
int InitParametres(double** data, Internal* w, ParamFCNNrule* p);
// Root-mean-square distance to their mean of s rows drawn at random (from a
// generator seeded with the clock) among the first n-1; 0.0 when n < s.
double InertieGenAleaListe(double** data, int n, int dims, int s);
// The same, drawing from `random` after seeding it with the clock.
double InertieGenAleaListe(double** data, int n, int dims, int s, std::minstd_rand& random);

// ---- Iteration -------------------------------------------------------------
// Runs the iteration (through member lists when acceleration allows, else by
// InitBoucle, FindNewInstance_PROBA and Update1knnPrototype over every row):
// rows_out, pops_out and dens_out (K entries each) receive per prototype its
// data row, population and density (population / radius, 0.0 for a zero
// radius). k receives the prototype count, also returned; 0 for a null block
// (or no rows or no budget). lists is accepted and not used. When
// row_assignment is given (N entries) it receives every row's prototype number.
int SamplingApproach_PROBA(double** data, int* rows_out, int& k, int* pops_out, double* dens_out, int** lists,
                           ParamFCNNrule* p, int* row_assignment = nullptr);
// Row `row` becomes prototype b; sets the skip flags of the older prototypes
// from newest_distance and the previous radii, and clears radii and farthest
// members up to b.
void InitBoucle(Internal* w, int b, int row);
// Moves rows to the newest of the k prototypes when strictly nearer, recomputes
// radii and farthest members, and returns the next prototype row (-1 when none).
int FindNewInstance_PROBA(double** data, Internal* w, ParamFCNNrule* p, int k);
// Records the radius statistics of k prototypes when track_criteria is nonzero.
void ProcessCriteria(int k, Internal* w, ParamFCNNrule* p);
// Marks `row` (unless -1) as the coming prototype number k.
void UpdateAlgorithm(Internal* w, int k, int row);
// Records the cost of k prototypes; 1 when it is strictly below cost_threshold.
int CalculCost(Internal* w, ParamFCNNrule* p, int k);
// 1 when the loop must stop with k prototypes.
int TestFin(Internal* w, ParamFCNNrule* p, int& k);
// Stores in newest_distance the distances from prototype k to prototypes
// 0..k-1, and 0.0 for prototype k itself.
void Update1knnPrototype(double** data, Internal* w, ParamFCNNrule* p, int k);

// ---- Operations the iteration does not call ---------------------------------
// Centroid of the members of each of the k prototypes into p->centroids;
// returns 1 (0 when the centroid matrix cannot be had).
int UpdateWithGravity(double** data, Internal* w, ParamFCNNrule* p, int k);
// Fills lists[j] (j < k) with the rows of prototype j in increasing order; a
// prototype without rows gets a null list. No-op when build_member_lists is 0.
void AttributionPattern(int k, int** lists, Internal* w, ParamFCNNrule* p);
// Appends to out[count...] the row of every prototype i < n whose label is `value`.
void UpdateInstance(int n, int value, int* out, int& count, Internal* w);
// 1 when m[r][col] < 2x or is not a number, else 0.
int InegalTriangular(double** m, double x, int r, int col);
// flags[i] = 1 when row[i] * 0.5 > radii[i], for i < n-1.
void DisablePrototype(const double* radii, const double* row, int n, int* flags);

// 1 when acceleration 2 runs AVX2 kernels on this processor, else 0.
int SamplingHasAvx2Kernels();

// ---- Front end -------------------------------------------------------------
// Selects at most `count` prototypes among the n rows of `data` and copies
// them into the first rows of `prototypes`. On return count = m, the number
// chosen; rows[j], populations[j] and densities[j] describe prototype j.
// When row_assignment is given (n entries) it receives, for every data row,
// the number of the prototype the row belongs to. Returns m.
int SamplingApproach_PROBA_P(double** data, int n, int dims, double threshold, double** prototypes, int& count,
                             double* densities, int* rows, int* populations, char* reserved, int* options,
                             int* row_assignment = nullptr);
// Copies data row rows[j] into out row j for j < m; returns m (0 when m <= 0).
// With counts: prototypes with counts[j] < min_count are left out, the kept
// counts move to the front; returns the number copied.
int SelectinstanceWithListe(double** data, int dims, const int* rows, int m, int min_count, int* counts,
                            double** out);

// What one sampling run hands back, per prototype (K entries each) and per row.
struct SamplingOutputs {
    int* rows;                      // the data row of each prototype
    int* populations;               // rows each stands for, its own included
    double* densities;              // population / radius, 0.0 for a zero radius
    int* row_assignment = nullptr;  // N entries: each row's prototype number
    double* coordinates = nullptr;  // K x dims, row-major: each prototype's row
};
// What a run tells its caller while it goes on.
struct SamplingHooks {
    std::function<void(int k, int max_prototypes)> progress;  // after each step
    // Once called, the run reads no data row again: the caller may release them.
    std::function<void()> data_done;
};
// SamplingApproach_PROBA with the prototypes' coordinates among its outputs
// and the hooks; returns the number of prototypes (0 for a null block).
int RunSampling(double** data, ParamFCNNrule* p, const SamplingOutputs& out, const SamplingHooks& hooks = {});
// The front end's selection (minimum corner start, 0.0 cost threshold) of at
// most max_prototypes prototypes among n rows, without the copy into a matrix.
int SampleRows(double** data, int n, int dims, int max_prototypes, const SamplingOutputs& out,
               const SamplingHooks& hooks = {});
