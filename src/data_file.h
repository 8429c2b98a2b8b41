// Reading a data file in one pass: the rows are measured and, up to a cap,
// parsed into one contiguous block, so that pipes and other inputs that can be
// read only once work, and memory does not grow with the length of a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tavri {

// A growable block of doubles. Large blocks grow in place where the system
// allows it (realloc remaps the pages instead of copying them), so reading
// never holds the data twice.
class ValueBuffer {
public:
    ValueBuffer() = default;
    ~ValueBuffer();
    ValueBuffer(ValueBuffer&& other) noexcept;
    ValueBuffer& operator=(ValueBuffer&& other) noexcept;
    ValueBuffer(const ValueBuffer&) = delete;
    ValueBuffer& operator=(const ValueBuffer&) = delete;

    double* data() { return data_; }
    const double* data() const { return data_; }
    std::size_t size() const { return size_; }
    // False when memory cannot be had; the buffer keeps what it holds.
    bool push_back(double value) {
        if (size_ == capacity_ && !Grow()) return false;
        data_[size_++] = value;
        return true;
    }
    // Drops the values from `size` on (size must not exceed size()).
    void truncate(std::size_t size) { size_ = size; }
    // Room for `count` values in all; false when it cannot be had.
    bool reserve(std::size_t count);
    void release();

private:
    bool Grow();
    double* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct ReadOptions {
    std::int64_t max_rows = 100000;  // data lines whose values are kept; 0: every line
    std::int64_t max_cols = 100000;  // columns kept; the later ones are checked, not kept
    bool keep_values = true;         // false: measure only
    // > 0: nothing is measured; each of the first max_rows lines must hold
    // exactly this many numbers, blank lines included.
    std::int64_t exact_columns = 0;
    char separator = '\0';           // ',', ';' or '\t' separates fields besides spaces ('\0': spaces and tabs only)
    bool header = false;             // the first line of the file is not data
    bool scan_after_blank = true;    // count the lines that a blank line cuts off, for the message
    std::size_t line_limit = 1 << 20;  // longer lines are scanned piece by piece
    std::function<void(std::uint64_t bytes)> progress;  // called after each block read
};

enum class ReadStatus { kOk, kCannotOpen, kReadError, kColumnMismatch };

enum class FaultKind {
    kNone,
    kNotNumber,     // a field that is not a complete finite decimal
    kEmptyCell,     // two separators with nothing between them
    kExtraField,    // more fields than the line's columns
    kMissingField,  // fewer fields than the columns of the file
};

// The first faulty field among the kept rows.
struct ReadFault {
    FaultKind kind = FaultKind::kNone;
    std::int64_t line = 0;    // 1-based line of the file
    std::int64_t column = 0;  // 1-based field of that line (kMissingField: the fields it holds)
    std::string token;        // the field as written, shortened for a message
};

struct DataTable {
    ReadStatus status = ReadStatus::kOk;
    std::int64_t rows = 0;  // data lines measured (all of them, whatever the cap)
    std::int64_t cols = 0;  // columns of the data lines; at a mismatch the differing line's count
    std::int64_t kept_rows = 0;
    std::int64_t kept_cols = 0;
    ValueBuffer values;          // kept_rows x kept_cols, row-major, when nothing went wrong
    bool out_of_memory = false;  // the values could not all be kept
    ReadFault fault;
    std::uint64_t bytes = 0;  // bytes read
    int system_error = 0;     // errno of a file that could not be opened or read

    // What the messages explain.
    std::int64_t lines = 0;             // lines looked at
    std::int64_t first_data_line = 0;   // line of the file holding the first data line
    std::int64_t first_cols = 0;        // columns of the first data line
    std::int64_t mismatch_line = 0;     // line whose column count differs
    bool first_line_has_words = false;  // the first data line holds a word (a header?)
    bool first_line_is_comment = false; // the first data line starts with '#'
    bool first_line_has_quotes = false; // the first data line holds '"' (quoted numbers?)
    bool mismatch_has_words = false;
    bool mismatch_is_comment = false;   // the differing line starts with '#'
    bool has_commas = false;            // on the first data line, the differing or the faulty line
    bool has_semicolons = false;
    std::int64_t blank_line = 0;         // the blank line that ended the data (0: none)
    std::int64_t lines_after_blank = 0;  // lines after it holding something
};

// Reads the data file at `path` (a FIFO or a device is read once, as it comes).
// A UTF-8 byte order mark at the very start is skipped. Throws std::bad_alloc
// when not even its read buffer can be had.
DataTable ReadDataFile(const std::string& path, const ReadOptions& options);

// Whether [first, last) has the form of a decimal number: [+-] digits
// [. digits] or [+-] . digits, then an optional exponent; nothing else.
bool IsDecimalSyntax(const char* first, const char* last);

// One complete finite decimal ([+-] digits [. digits] or [+-] . digits, then
// an optional exponent); an underflow reads as the C library reads it (zero or
// a subnormal), an overflow is refused.
bool ParseStrictNumber(const char* first, const char* last, double& value);

// Numeric columns of a line counted as a scan with "%lf" counts them: a token
// that starts with a number counts and the count stops at the first that
// does not (see ReturnColonne).
std::int64_t CountColumns(const char* line, std::size_t length);

}  // namespace tavri
