#include "data_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace tavri {

// ---- ValueBuffer -------------------------------------------------------------

ValueBuffer::~ValueBuffer() { std::free(data_); }

ValueBuffer::ValueBuffer(ValueBuffer&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

ValueBuffer& ValueBuffer::operator=(ValueBuffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

bool ValueBuffer::reserve(std::size_t count) {
    if (count <= capacity_) return true;
    if (count > SIZE_MAX / sizeof(double)) return false;
    void* grown = std::realloc(data_, count * sizeof(double));
    if (grown == nullptr) return false;
    data_ = static_cast<double*>(grown);
    capacity_ = count;
    return true;
}

bool ValueBuffer::Grow() {
    // Half again each time: realloc of a large block remaps its pages, so
    // growing costs no copy, and the unused tail stays small.
    const std::size_t wanted = capacity_ < 4096 ? 4096 : capacity_ + capacity_ / 2;
    return reserve(wanted) || reserve(capacity_ + 4096);
}

void ValueBuffer::release() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

// ---- Characters and numbers ----------------------------------------------------

namespace {

bool IsBlankChar(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
bool IsSeparator(char c) { return c == '\t' || c == ' '; }
// The characters a C "%lf" conversion skips before a number.
bool IsScanSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool StartsWithWord(const char* p, const char* end, const char* word) {
    for (; *word != '\0'; ++p, ++word) {
        if (p == end || (*p | 0x20) != *word) return false;
    }
    return true;
}

// Whether a C "%lf" conversion starting at p finds a number (it skips white
// space first and accepts the forms strtod accepts: decimal, hex, inf, nan).
bool ScanFindsNumber(const char* p, const char* end) {
    while (p != end && IsScanSpace(*p)) ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end) return false;
    if (IsDigit(*p)) return true;
    if (*p == '.') return p + 1 != end && IsDigit(p[1]);
    return StartsWithWord(p, end, "inf") || StartsWithWord(p, end, "nan");
}

bool IsBlankLine(const char* p, std::size_t n) {
    return std::all_of(p, p + n, IsBlankChar);
}

constexpr std::size_t kShownChars = 40;

// A field as a message shows it: cut short, control bytes masked, one line.
std::string Shown(const char* first, const char* last) {
    std::string out;
    for (const char* p = first; p != last && out.size() < kShownChars; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        out += (c < 0x20 || c == 0x7f) ? '?' : *p;
    }
    if (static_cast<std::size_t>(last - first) > kShownChars) out += "...";
    return out;
}

// Reads a decimal text (mantissa without sign) the way a C library reads it
// once the syntax is known to be right; false on overflow.
bool ConvertDecimal(const char* first, const char* last, double& magnitude) {
    auto result = std::from_chars(first, last, magnitude, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // Out of range either way: an overflow is refused, an underflow reads
        // as the C library reads it (zero or a subnormal).
        const std::string token(first, last);
        magnitude = std::strtod(token.c_str(), nullptr);
        return !std::isinf(magnitude);
    }
    return result.ec == std::errc() && result.ptr == last;
}

}  // namespace

bool IsDecimalSyntax(const char* first, const char* last) {
    const char* p = first;
    if (p != last && (*p == '+' || *p == '-')) ++p;
    std::size_t digits = 0;
    while (p != last && IsDigit(*p)) ++p, ++digits;
    if (p != last && *p == '.') {
        ++p;
        while (p != last && IsDigit(*p)) ++p, ++digits;
    }
    if (digits == 0) return false;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != last && (*p == '+' || *p == '-')) ++p;
        const char* exponent = p;
        while (p != last && IsDigit(*p)) ++p;
        if (p == exponent) return false;
    }
    return p == last;
}

bool ParseStrictNumber(const char* first, const char* last, double& value) {
    if (!IsDecimalSyntax(first, last)) return false;
    const char* mantissa = first != last && (*first == '+' || *first == '-') ? first + 1 : first;
    double magnitude = 0.0;
    if (!ConvertDecimal(mantissa, last, magnitude)) return false;
    value = (*first == '-') ? -magnitude : magnitude;
    return true;
}

std::int64_t CountColumns(const char* line, std::size_t length) {
    if (line == nullptr) return 0;
    const char* end = line + length;
    const char* p = line;
    while (p != end && IsSeparator(*p)) ++p;
    std::int64_t columns = 0;
    while (p != end) {
        if (!ScanFindsNumber(p, end)) break;
        ++columns;
        while (p != end && !IsSeparator(*p)) ++p;
        if (p == end) break;
        while (p != end && (IsSeparator(*p) || *p == '\n')) ++p;
    }
    return columns;
}

namespace {

// ---- A number that arrives in pieces ---------------------------------------------
//
// A field of a line too long to hold is checked character by character. Its
// significant digits are kept up to a bound beyond which only whether a
// non-zero digit follows can change the rounding; the value is then read from
// the equivalent short text "0.DIGITS e EXPONENT", so it is the value the whole
// text would give.
class PiecewiseNumber {
public:
    void Reset(bool quoted) {
        state_ = State::kStart;
        negative_ = false;
        digits_.clear();
        sticky_ = false;
        nonzero_ = false;
        int_digits_ = 0;
        frac_zeros_ = 0;
        exponent_ = 0;
        exponent_negative_ = false;
        quoted_ = quoted;
        opened_ = false;
        held_ = false;
        length_ = 0;
        shown_.clear();
    }

    void Feed(char c) {
        if (shown_.size() < kShownChars) {
            const unsigned char u = static_cast<unsigned char>(c);
            shown_ += (u < 0x20 || u == 0x7f) ? '?' : c;
        }
        ++length_;
        if (!quoted_) return Step(c);
        // Quoted: the opening quote is dropped and the last character is held
        // back until it is known not to be the closing quote.
        if (!opened_) {
            opened_ = true;
            return;
        }
        if (held_) Step(held_char_);
        held_ = true;
        held_char_ = c;
    }

    bool Finish(double& value) {
        if (quoted_) {
            if (!held_ || held_char_ != '"') return false;
        }
        if (state_ != State::kInt && state_ != State::kFrac && state_ != State::kExpDigits) return false;
        if (!nonzero_) {
            value = negative_ ? -0.0 : 0.0;
            return true;
        }
        constexpr std::int64_t kFar = 1000000000000000LL;  // beyond any double's range either way
        std::int64_t e = exponent_negative_ ? -exponent_ : exponent_;
        e += int_digits_ - frac_zeros_;
        e = std::clamp(e, -kFar, kFar);
        std::string text = "0." + digits_;
        if (sticky_) text += '1';
        text += 'e' + std::to_string(e);
        double magnitude = 0.0;
        if (!ConvertDecimal(text.data(), text.data() + text.size(), magnitude)) return false;
        value = negative_ ? -magnitude : magnitude;
        return true;
    }

    std::string Shown() const { return length_ > kShownChars ? shown_ + "..." : shown_; }
    // Two quotes with nothing between them: an empty cell.
    bool EmptyQuotes() const { return quoted_ && length_ == 2 && held_ && held_char_ == '"'; }

private:
    enum class State : unsigned char { kStart, kSign, kInt, kPoint, kFrac, kMark, kExpSign, kExpDigits, kBad };
    // Past this many significant digits a decimal's rounding to a double
    // depends only on whether a further digit is non-zero.
    static constexpr std::size_t kMaxDigits = 800;

    void Digit(char d, bool integer_part) {
        if (!nonzero_) {
            if (d == '0') {
                if (!integer_part) ++frac_zeros_;
                return;
            }
            nonzero_ = true;
        }
        if (integer_part) ++int_digits_;
        if (digits_.size() < kMaxDigits)
            digits_ += d;
        else if (d != '0')
            sticky_ = true;
    }

    void Step(char c) {
        switch (state_) {
            case State::kStart:
                if (c == '+' || c == '-') {
                    negative_ = c == '-';
                    state_ = State::kSign;
                    return;
                }
                [[fallthrough]];
            case State::kSign:
                if (IsDigit(c)) {
                    Digit(c, true);
                    state_ = State::kInt;
                } else {
                    state_ = c == '.' ? State::kPoint : State::kBad;
                }
                return;
            case State::kInt:
                if (IsDigit(c)) {
                    Digit(c, true);
                } else {
                    state_ = c == '.' ? State::kFrac : (c == 'e' || c == 'E') ? State::kMark : State::kBad;
                }
                return;
            case State::kPoint:
            case State::kFrac:
                if (IsDigit(c)) {
                    Digit(c, false);
                    state_ = State::kFrac;
                } else {
                    state_ = (state_ == State::kFrac && (c == 'e' || c == 'E')) ? State::kMark : State::kBad;
                }
                return;
            case State::kMark:
                if (c == '+' || c == '-') {
                    exponent_negative_ = c == '-';
                    state_ = State::kExpSign;
                    return;
                }
                [[fallthrough]];
            case State::kExpSign:
            case State::kExpDigits:
                if (IsDigit(c)) {
                    exponent_ = std::min<std::int64_t>(exponent_ * 10 + (c - '0'), 1000000000000000LL);
                    state_ = State::kExpDigits;
                } else {
                    state_ = State::kBad;
                }
                return;
            case State::kBad:
                return;
        }
    }

    State state_ = State::kStart;
    bool negative_ = false;
    std::string digits_;  // significant digits, from the first non-zero one
    bool sticky_ = false;  // a non-zero digit beyond kMaxDigits
    bool nonzero_ = false;
    std::int64_t int_digits_ = 0;  // integer-part digits from the first non-zero one on
    std::int64_t frac_zeros_ = 0;  // fraction zeros before the first non-zero digit
    std::int64_t exponent_ = 0;    // saturated
    bool exponent_negative_ = false;
    bool quoted_ = false;
    bool opened_ = false;
    bool held_ = false;
    char held_char_ = 0;
    std::uint64_t length_ = 0;
    std::string shown_;
};

// ---- Fields of a whole line ----------------------------------------------------

// Calls visit(first, last) for each field of a line: the runs between spaces,
// tabs and carriage returns; with a separator, also split at it, where a
// separator-delimited part holding nothing gives one empty field. Stops when
// visit returns false.
template <typename Visit>
void ForEachField(const char* p, const char* end, char separator, Visit&& visit) {
    auto white = [separator](char c) { return (c == '\t' && separator != '\t') || c == ' ' || c == '\r'; };
    if (separator == '\0') {
        for (;;) {
            while (p != end && white(*p)) ++p;
            if (p == end) return;
            const char* first = p;
            while (p != end && !white(*p)) ++p;
            if (!visit(first, p)) return;
        }
    }
    for (;;) {
        const char* part_end = std::find(p, end, separator);
        bool any = false;
        for (;;) {
            while (p != part_end && white(*p)) ++p;
            if (p == part_end) break;
            const char* first = p;
            while (p != part_end && !white(*p)) ++p;
            any = true;
            if (!visit(first, p)) return;
        }
        if (!any && !visit(part_end, part_end)) return;
        if (part_end == end) return;
        p = part_end + 1;
    }
}

// A quoted field ("1.5") stands for the number inside the quotes.
void Unquote(const char*& first, const char*& last) {
    if (last - first >= 2 && *first == '"' && last[-1] == '"') {
        ++first;
        --last;
    }
}

bool HoldsWord(const char* p, const char* end, char separator) {
    bool word = false;
    ForEachField(p, end, separator, [&](const char* first, const char* last) {
        if (first != last && *first == '"') ++first;
        word = first != last && IsLetter(*first);
        return !word;
    });
    return word;
}

bool IsComment(const char* p, const char* end) {
    while (p != end && IsSeparator(*p)) ++p;
    return p != end && *p == '#';
}

}  // namespace

// ---- The scanner -----------------------------------------------------------------

namespace {

// Takes the lines of a file in order and fills the table: measures the data
// lines, parses the kept ones and notes what the messages need.
class Scanner {
public:
    Scanner(const ReadOptions& options, DataTable& table)
        : options_(options), table_(table), phase_(options.header ? Phase::kHeader : Phase::kData) {}

    // A whole line without its line feed; false when reading can stop.
    bool Line(const char* p, std::size_t n);

    // A line too long to hold, in pieces.
    void StartLong();
    void LongPiece(const char* p, std::size_t n);
    bool EndLong();

    // At the end of the input.
    void Finish();

private:
    enum class Phase { kHeader, kData, kAfterBlank };

    bool KeepsNextRow() const {
        if (!options_.keep_values || table_.fault.kind != FaultKind::kNone || table_.out_of_memory) return false;
        return options_.max_rows == 0 || table_.rows < options_.max_rows;
    }
    bool Blank();
    bool Measure(std::int64_t count);
    void NoteFirstLine(bool words, bool comment, bool quotes, bool commas, bool semicolons);
    void NoteMismatch(bool words, bool comment, bool commas, bool semicolons);
    void Fault(FaultKind kind, std::int64_t column, std::string token, bool commas, bool semicolons);
    bool Store(double value);
    void ParseRow(const char* p, const char* end, std::int64_t expected);
    bool ExactRow(const char* p, std::size_t n);

    // The long line's state.
    void LongChar(char c);
    void LongCountChar(char c);
    void LongLookahead(char c);
    void LongTokenChar(char c);
    void LongTokenEnd();
    void LongEmptyField();
    void LongField();

    const ReadOptions& options_;
    DataTable& table_;
    Phase phase_;

    struct Long {
        bool ignore = false;  // a header line
        bool blank = true;
        bool parse = false;
        std::int64_t expected = -1;  // columns the line must hold; -1: it sets them (first line)
        // The column count of the default layout: the state of a scan with "%lf".
        enum class Where { kLead, kToken, kBetween } where = Where::kLead;
        bool counting = true;
        std::int64_t columns = 0;
        bool looking = false;         // a number test is under way from a token start
        std::int64_t pending = 0;     // token starts that the test under way decides for
        enum class Look { kRun, kSign, kPoint, kWord } look = Look::kRun;
        const char* word = nullptr;   // "inf" or "nan" being matched
        int matched = 0;
        // Fields.
        bool in_field = false;
        bool part_has_field = false;  // with a separator: the current part holds a field
        bool after_quote = false;     // the field started with a quote
        std::int64_t fields = 0;
        PiecewiseNumber number;
        // What the messages need.
        bool words = false;
        bool commas = false;
        bool semicolons = false;
        bool comment = false;
        bool quotes = false;
        bool leading = true;          // only spaces and tabs so far
        ReadFault fault;
    } long_;
};

bool Scanner::Blank() {
    table_.blank_line = table_.lines;
    if (!options_.scan_after_blank) return false;
    phase_ = Phase::kAfterBlank;
    return true;
}

void Scanner::NoteFirstLine(bool words, bool comment, bool quotes, bool commas, bool semicolons) {
    table_.first_data_line = table_.lines;
    table_.first_line_has_words = words;
    table_.first_line_is_comment = comment;
    table_.first_line_has_quotes = quotes;
    table_.has_commas = table_.has_commas || commas;
    table_.has_semicolons = table_.has_semicolons || semicolons;
}

void Scanner::NoteMismatch(bool words, bool comment, bool commas, bool semicolons) {
    table_.status = ReadStatus::kColumnMismatch;
    table_.mismatch_line = table_.lines;
    table_.mismatch_has_words = words;
    table_.mismatch_is_comment = comment;
    table_.has_commas = table_.has_commas || commas;
    table_.has_semicolons = table_.has_semicolons || semicolons;
}

// Counts a data line of `count` columns; false at a differing count.
bool Scanner::Measure(std::int64_t count) {
    if (table_.rows == 0) {
        table_.cols = table_.first_cols = count;
        table_.kept_cols = std::min(count, options_.max_cols);
    } else if (count != table_.cols) {
        table_.cols = count;
        return false;
    }
    ++table_.rows;
    return true;
}

void Scanner::Fault(FaultKind kind, std::int64_t column, std::string token, bool commas, bool semicolons) {
    table_.fault = ReadFault{kind, table_.lines, column, std::move(token)};
    table_.has_commas = table_.has_commas || commas;
    table_.has_semicolons = table_.has_semicolons || semicolons;
}

bool Scanner::Store(double value) {
    if (table_.values.push_back(value)) return true;
    table_.out_of_memory = true;
    table_.values.release();
    return false;
}

// Parses the fields of a kept row; the first fault is noted.
void Scanner::ParseRow(const char* p, const char* end, std::int64_t expected) {
    std::int64_t j = 0;
    const char separator = options_.separator;
    auto fault = [&](FaultKind kind, std::int64_t column, const char* first, const char* last) {
        const std::size_t n = static_cast<std::size_t>(end - p);
        Fault(kind, column, Shown(first, last), std::memchr(p, ',', n) != nullptr,
              std::memchr(p, ';', n) != nullptr);
    };
    ForEachField(p, end, separator, [&](const char* first, const char* last) {
        if (j >= expected) {
            fault(FaultKind::kExtraField, j + 1, first, last);
            return false;
        }
        // Messages show the field as written, quotes included.
        const char* written = first;
        const char* written_end = last;
        if (separator != '\0') Unquote(first, last);
        double value = 0.0;
        if (first == last) {
            fault(FaultKind::kEmptyCell, j + 1, written, written_end);
            return false;
        }
        if (!ParseStrictNumber(first, last, value)) {
            fault(FaultKind::kNotNumber, j + 1, written, written_end);
            return false;
        }
        if (j < table_.kept_cols && !Store(value)) return false;
        ++j;
        return true;
    });
    if (table_.fault.kind == FaultKind::kNone && !table_.out_of_memory && j < expected)
        fault(FaultKind::kMissingField, j, p, p);
}

bool Scanner::ExactRow(const char* p, std::size_t n) {
    if (table_.rows == 0) table_.kept_cols = std::min(options_.exact_columns, options_.max_cols);
    table_.cols = options_.exact_columns;
    ParseRow(p, p + n, options_.exact_columns);
    if (table_.fault.kind != FaultKind::kNone || table_.out_of_memory) return false;
    ++table_.rows;
    return options_.max_rows == 0 || table_.rows < options_.max_rows;
}

bool Scanner::Line(const char* p, std::size_t n) {
    ++table_.lines;
    if (phase_ == Phase::kHeader) {
        phase_ = Phase::kData;
        return true;
    }
    if (phase_ == Phase::kAfterBlank) {
        if (!IsBlankLine(p, n)) ++table_.lines_after_blank;
        return true;
    }
    if (options_.exact_columns > 0) return ExactRow(p, n);
    if (IsBlankLine(p, n)) return Blank();
    const char* end = p + n;
    const char separator = options_.separator;
    std::int64_t count = 0;
    if (separator == '\0') {
        count = CountColumns(p, n);
    } else {
        ForEachField(p, end, separator, [&count](const char*, const char*) { return ++count, true; });
    }
    const bool first = table_.rows == 0;
    const bool keep = KeepsNextRow();
    if (!Measure(count)) {
        NoteMismatch(HoldsWord(p, end, separator), IsComment(p, end), std::memchr(p, ',', n) != nullptr,
                     std::memchr(p, ';', n) != nullptr);
        return false;
    }
    if (first)
        NoteFirstLine(HoldsWord(p, end, separator), IsComment(p, end), std::memchr(p, '"', n) != nullptr,
                      std::memchr(p, ',', n) != nullptr, std::memchr(p, ';', n) != nullptr);
    if (keep) ParseRow(p, end, table_.cols);
    return true;
}

// ---- Long lines, character by character ----

void Scanner::StartLong() {
    ++table_.lines;
    long_ = Long();
    if (phase_ == Phase::kHeader) {
        phase_ = Phase::kData;
        long_.ignore = true;
        return;
    }
    if (phase_ != Phase::kData) return;
    if (options_.exact_columns > 0) {
        if (table_.rows == 0) table_.kept_cols = std::min(options_.exact_columns, options_.max_cols);
        table_.cols = options_.exact_columns;
        long_.parse = true;
        long_.expected = options_.exact_columns;
        return;
    }
    long_.parse = KeepsNextRow();
    long_.expected = table_.rows == 0 ? -1 : table_.cols;
}

void Scanner::LongPiece(const char* p, std::size_t n) {
    if (long_.ignore) return;
    for (std::size_t i = 0; i < n; ++i) LongChar(p[i]);
}

void Scanner::LongChar(char c) {
    long_.blank = long_.blank && IsBlankChar(c);
    if (phase_ != Phase::kData) return;
    long_.commas = long_.commas || c == ',';
    long_.semicolons = long_.semicolons || c == ';';
    long_.quotes = long_.quotes || c == '"';
    if (long_.leading && !IsSeparator(c)) {
        long_.leading = false;
        long_.comment = c == '#';
    }
    if (options_.separator == '\0') LongCountChar(c);
    LongTokenChar(c);
}

// The column count of CountColumns, one character at a time. A token counts
// when a "%lf" scan from its start finds a number; that scan skips white space
// first, so it may run past later token starts, which then share its answer.
void Scanner::LongCountChar(char c) {
    Long& l = long_;
    if (!l.counting) return;
    const bool separator = IsSeparator(c);
    bool token_start = false;
    if (l.where == Long::Where::kToken) {
        if (separator) l.where = Long::Where::kBetween;
    } else if (!separator) {
        l.where = Long::Where::kToken;
        token_start = true;
    }
    if (token_start) {
        if (l.looking) {
            ++l.pending;
        } else {
            l.looking = true;
            l.pending = 1;
            l.look = Long::Look::kRun;
        }
    }
    if (l.looking) LongLookahead(c);
}

void Scanner::LongLookahead(char c) {
    Long& l = long_;
    auto decide = [&l](bool number) {
        if (number)
            l.columns += l.pending;
        else
            l.counting = false;
        l.looking = false;
    };
    switch (l.look) {
        case Long::Look::kRun:
            if (IsScanSpace(c)) return;
            if (c == '+' || c == '-') {
                l.look = Long::Look::kSign;
                return;
            }
            [[fallthrough]];
        case Long::Look::kSign:
            if (IsDigit(c)) return decide(true);
            if (c == '.') {
                l.look = Long::Look::kPoint;
                return;
            }
            if ((c | 0x20) == 'i' || (c | 0x20) == 'n') {
                l.word = (c | 0x20) == 'i' ? "inf" : "nan";
                l.matched = 1;
                l.look = Long::Look::kWord;
                return;
            }
            return decide(false);
        case Long::Look::kPoint:
            return decide(IsDigit(c));
        case Long::Look::kWord:
            if ((c | 0x20) != l.word[l.matched]) return decide(false);
            if (++l.matched == 3) decide(true);
            return;
    }
}

void Scanner::LongTokenChar(char c) {
    Long& l = long_;
    const char separator = options_.separator;
    if (separator != '\0' && c == separator) {
        if (l.in_field) LongTokenEnd();
        if (!l.part_has_field) LongEmptyField();
        l.part_has_field = false;
        return;
    }
    const bool white = (c == '\t' && separator != '\t') || c == ' ' || c == '\r';
    if (white) {
        if (l.in_field) LongTokenEnd();
        return;
    }
    if (!l.in_field) {
        l.in_field = true;
        l.part_has_field = true;
        // A word in quotes is still a word (a quoted header); quotes hold a
        // number only with a separator.
        l.after_quote = c == '"';
        if (IsLetter(c)) l.words = true;
        if (l.parse) l.number.Reset(separator != '\0' && l.after_quote);
    } else if (l.after_quote) {
        if (IsLetter(c)) l.words = true;
        l.after_quote = false;
    }
    if (l.parse) l.number.Feed(c);
}

void Scanner::LongField() {
    Long& l = long_;
    const std::int64_t j = l.fields++;
    if (!l.parse || l.fault.kind != FaultKind::kNone || table_.out_of_memory) return;
    if (l.expected >= 0 && j >= l.expected) {
        l.fault = ReadFault{FaultKind::kExtraField, 0, j + 1, l.number.Shown()};
        return;
    }
    double value = 0.0;
    if (l.number.EmptyQuotes()) {
        l.fault = ReadFault{FaultKind::kEmptyCell, 0, j + 1, l.number.Shown()};
        return;
    }
    if (!l.number.Finish(value)) {
        l.fault = ReadFault{FaultKind::kNotNumber, 0, j + 1, l.number.Shown()};
        return;
    }
    if (j < options_.max_cols) Store(value);
}

void Scanner::LongTokenEnd() {
    long_.in_field = false;
    LongField();
}

void Scanner::LongEmptyField() {
    Long& l = long_;
    const std::int64_t j = l.fields++;
    if (!l.parse || l.fault.kind != FaultKind::kNone) return;
    l.fault = ReadFault{l.expected >= 0 && j >= l.expected ? FaultKind::kExtraField : FaultKind::kEmptyCell, 0,
                        j + 1, ""};
}

bool Scanner::EndLong() {
    Long& l = long_;
    if (l.ignore) return true;
    if (phase_ == Phase::kAfterBlank) {
        if (!l.blank) ++table_.lines_after_blank;
        return true;
    }
    if (l.in_field) LongTokenEnd();
    const char separator = options_.separator;
    if (separator != '\0' && !l.part_has_field && !l.blank) LongEmptyField();
    if (l.looking) l.counting = false, l.looking = false;  // the line ended before a number
    if (options_.exact_columns == 0) {
        if (l.blank) return Blank();
        const std::int64_t count = separator == '\0' ? l.columns : l.fields;
        const bool first = table_.rows == 0;
        if (!Measure(count)) {
            NoteMismatch(l.words, l.comment, l.commas, l.semicolons);
            return false;
        }
        if (first) NoteFirstLine(l.words, l.comment, l.quotes, l.commas, l.semicolons);
    }
    if (!l.parse) return true;
    // The first line learns its column count only now: a field past it is the
    // fault, unless an earlier one was.
    const std::int64_t expected = table_.cols;
    if (l.fault.kind != FaultKind::kNone && l.fault.column > expected && l.fault.kind != FaultKind::kExtraField)
        l.fault = ReadFault{FaultKind::kExtraField, 0, expected + 1, l.fault.column == expected + 1 ? l.fault.token : ""};
    if (l.fault.kind == FaultKind::kNone && l.fields > expected)
        l.fault = ReadFault{FaultKind::kExtraField, 0, expected + 1, ""};
    if (l.fault.kind == FaultKind::kNone && l.fields < expected)
        l.fault = ReadFault{FaultKind::kMissingField, 0, l.fields, ""};
    if (l.fault.kind != FaultKind::kNone) {
        Fault(l.fault.kind, l.fault.column, l.fault.token, l.commas, l.semicolons);
        return options_.exact_columns == 0;
    }
    if (options_.exact_columns > 0) {
        ++table_.rows;
        return options_.max_rows == 0 || table_.rows < options_.max_rows;
    }
    return true;
}

void Scanner::Finish() {
    table_.kept_rows = options_.max_rows == 0 ? table_.rows : std::min(table_.rows, options_.max_rows);
    if (!options_.keep_values) table_.kept_rows = 0;
    if (options_.exact_columns > 0 && table_.fault.kind == FaultKind::kNone && !table_.out_of_memory &&
        table_.status == ReadStatus::kOk && options_.max_rows > 0 && table_.rows < options_.max_rows)
        table_.fault = ReadFault{FaultKind::kMissingField, table_.lines + 1, 0, ""};
    if (table_.status != ReadStatus::kOk || table_.fault.kind != FaultKind::kNone || table_.out_of_memory)
        table_.values.release();
}

// ---- Reading the file ---------------------------------------------------------------

constexpr std::size_t kBlock = 1 << 20;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads up to n bytes, retrying when interrupted; -1 on an error.
ssize_t ReadSome(int fd, char* buffer, std::size_t n) {
    for (;;) {
        const ssize_t got = read(fd, buffer, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

// Splits the bytes of the input into lines for the scanner: short lines go
// whole, a line longer than the limit goes in pieces.
class LineSplitter {
public:
    LineSplitter(Scanner& scanner, std::size_t limit) : scanner_(scanner), limit_(limit) {}

    // False when the scanner needs no more input.
    bool Feed(const char* p, const char* end) {
        while (p != end) {
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            const char* stop = newline != nullptr ? newline : end;
            const std::size_t n = static_cast<std::size_t>(stop - p);
            if (long_) {
                scanner_.LongPiece(p, n);
            } else if (pending_.empty() && newline != nullptr && n <= limit_) {
                if (!scanner_.Line(p, n)) return false;
                p = newline + 1;
                continue;
            } else if (pending_.size() + n > limit_) {
                long_ = true;
                scanner_.StartLong();
                scanner_.LongPiece(pending_.data(), pending_.size());
                scanner_.LongPiece(p, n);
                pending_.clear();
                pending_.shrink_to_fit();
            } else {
                pending_.append(p, n);
            }
            if (newline == nullptr) return true;
            if (!EndLine()) return false;
            p = newline + 1;
        }
        return true;
    }

    // The last line, when the input does not end with a line feed.
    void Finish() {
        if (long_ || !pending_.empty()) EndLine();
    }

private:
    bool EndLine() {
        bool more = true;
        if (long_) {
            more = scanner_.EndLong();
            long_ = false;
        } else {
            more = scanner_.Line(pending_.data(), pending_.size());
            pending_.clear();
        }
        return more;
    }

    Scanner& scanner_;
    std::size_t limit_;
    std::string pending_;  // a short line that crosses blocks
    bool long_ = false;
};

}  // namespace

DataTable ReadDataFile(const std::string& path, const ReadOptions& options) {
    DataTable table;
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        table.status = ReadStatus::kCannotOpen;
        table.system_error = errno;
        return table;
    }
    // No buffer, no count: the caller reports it as memory (bad_alloc), not as an empty file.
    const std::unique_ptr<char[]> block(new char[kBlock]);
    Scanner scanner(options, table);
    LineSplitter lines(scanner, std::max<std::size_t>(options.line_limit, 1));
    bool first_block = true;
    for (;;) {
        std::size_t filled = 0;
        ssize_t got = 0;
        // The first block holds at least the three bytes of a byte order mark,
        // unless the input is shorter.
        do {
            got = ReadSome(file.get(), block.get() + filled, kBlock - filled);
            if (got > 0) filled += static_cast<std::size_t>(got);
        } while (first_block && got > 0 && filled < 3);
        if (got < 0) {
            table.status = ReadStatus::kReadError;
            table.system_error = errno;
            break;
        }
        if (filled == 0) {
            lines.Finish();
            break;
        }
        table.bytes += filled;
        const char* p = block.get();
        if (first_block && filled >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
        first_block = false;
        const bool more = lines.Feed(p, block.get() + filled);
        if (options.progress) options.progress(table.bytes);
        if (!more) break;
    }
    scanner.Finish();
    return table;
}

}  // namespace tavri
