// Reading the files the plotter draws: one reader per kind of file, every
// number a complete finite decimal, every fault named by line and column.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "plot.h"

#include <cstdint>
#include <limits>

#include "data_file.h"

namespace tavri_plot {

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The lines of a text without their line feeds; a last line without one counts.
std::vector<std::string_view> SplitLines(const std::string& text) {
    std::vector<std::string_view> lines;
    const std::string_view all(text);
    for (std::size_t pos = 0; pos < all.size();) {
        std::size_t eol = all.find('\n', pos);
        if (eol == std::string_view::npos) eol = all.size();
        lines.push_back(all.substr(pos, eol - pos));
        pos = eol + 1;
    }
    return lines;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsSeparator(line[i])) ++i;
        if (i == line.size()) break;
        const std::size_t start = i;
        while (i < line.size() && !IsSeparator(line[i])) ++i;
        fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

std::string Quoted(std::string_view token) { return "'" + Shown(std::string(token)) + "'"; }

std::string Plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Reads a file of numbers with tavri's own reader: every line read (no row
// cap), up to the end or the first blank line. On failure `error` says why;
// `fields` names what a line holds ("column" or "field") in its messages.
bool ReadNumbers(const std::string& path, tavri::DataTable& table, const char* field, std::string& error) {
    tavri::ReadOptions options;
    options.max_rows = 0;
    options.max_cols = std::numeric_limits<std::int64_t>::max();
    options.scan_after_blank = false;
    table = tavri::ReadDataFile(path, options);
    const std::string name = Shown(path, 400);
    if (table.status == tavri::ReadStatus::kCannotOpen || table.status == tavri::ReadStatus::kReadError) {
        error = std::string(table.status == tavri::ReadStatus::kCannotOpen ? "cannot open " : "cannot read ") + name +
                ": " + std::strerror(table.system_error);
        return false;
    }
    if (table.status == tavri::ReadStatus::kColumnMismatch) {
        error = name + ": line " + std::to_string(table.mismatch_line) + ": " +
                Plural(table.cols, field, (std::string(field) + "s").c_str()) + ", earlier lines have " +
                std::to_string(table.first_cols);
        return false;
    }
    if (table.out_of_memory) {
        error = name + ": not enough memory for its numbers";
        return false;
    }
    const tavri::ReadFault& fault = table.fault;
    if (fault.kind == tavri::FaultKind::kNone) return true;
    const std::string where = name + ": line " + std::to_string(fault.line);
    if (fault.kind == tavri::FaultKind::kMissingField)
        error = where + ": " + Plural(fault.column, field, (std::string(field) + "s").c_str()) + ", earlier lines have " +
                std::to_string(table.cols);
    else if (tavri::IsDecimalSyntax(fault.token.data(), fault.token.data() + fault.token.size()))
        error = where + ", column " + std::to_string(fault.column) + ": '" + fault.token +
                "' is beyond the range of a double";
    else
        error = where + ", column " + std::to_string(fault.column) + ": '" + fault.token +
                "' is not a finite decimal number";
    return false;
}

// A label read as a number: a non-negative integer an int holds.
bool IsLabel(double value) { return value >= 0.0 && value <= INT_MAX && value == std::floor(value); }

std::string LabelText(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// A line of white space alone.
bool IsBlankLine(std::string_view line) {
    for (char c : line)
        if (!IsSeparator(c)) return false;
    return true;
}

// Reads a whole file; on failure `error` names it and `open_failure` holds
// the errno of a failed open (0 otherwise).
bool ReadText(const std::string& path, std::string& text, std::string& error, int& open_failure) {
    open_failure = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        open_failure = errno;
        error = "cannot open " + Shown(path, 400) + ": " + std::strerror(open_failure);
        return false;
    }
    text.clear();
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    std::fclose(file);
    if (failed) {
        error = "cannot read " + Shown(path, 400) + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

// One key=value field of a summary into its slot; false with `error` set.
bool ParseSummaryField(std::string_view field, RunSummary& out, std::vector<std::string>& seen, std::string& error) {
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) {
        error = "line 1: " + Quoted(field) + " is not a key=value pair";
        return false;
    }
    const std::string key(field.substr(0, eq));
    int* const slots[] = {&out.lists, &out.clusters, &out.noise, &out.rows, &out.points, &out.sampled};
    static const char* const kKeys[] = {"lists", "clusters", "noise", "rows", "points", "sampled"};
    for (std::size_t k = 0; k < 6; ++k) {
        if (key != kKeys[k]) continue;
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            error = key + "= given twice";
            return false;
        }
        seen.push_back(key);
        if (ParseNonNegative(std::string(field.substr(eq + 1)), *slots[k])) return true;
        error = Quoted(field) + " needs a non-negative integer";
        return false;
    }
    return true;  // a key added by a later tavri: not needed here
}

// Parses the one line of a run summary and checks that its counts agree.
bool ParseSummary(const std::string& text, RunSummary& out, std::string& error) {
    out = RunSummary();
    const std::vector<std::string_view> lines = SplitLines(text);
    for (std::size_t l = 1; l < lines.size(); ++l) {
        if (!IsBlankLine(lines[l])) {
            error = "line " + std::to_string(l + 1) + ": a summary is one line";
            return false;
        }
    }
    std::vector<std::string> seen;
    for (std::string_view field : SplitFields(lines.empty() ? std::string_view() : lines[0]))
        if (!ParseSummaryField(field, out, seen, error)) return false;
    for (const char* key : {"lists", "clusters", "noise", "rows", "points", "sampled"}) {
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        error = std::string("no ") + key + "= value";
        return false;
    }
    if (out.noise > 1 || out.sampled > 1) {
        error = (out.noise > 1 ? "noise=" + std::to_string(out.noise) : "sampled=" + std::to_string(out.sampled)) +
                " is neither 0 nor 1";
        return false;
    }
    if (out.clusters + out.noise != out.lists) {
        error = "clusters=" + std::to_string(out.clusters) + " and noise=" + std::to_string(out.noise) +
                " do not add up to lists=" + std::to_string(out.lists);
        return false;
    }
    return true;
}

}  // namespace

bool ParseNonNegative(const std::string& token, int& value) {
    if (token.empty()) return false;
    long long v = 0;
    for (char c : token) {
        if (!IsDigit(c)) return false;
        v = v * 10 + (c - '0');
        if (v > INT_MAX) return false;
    }
    value = static_cast<int>(v);
    return true;
}

std::string Shown(const std::string& text, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out += (c < 0x20 || c == 0x7f) ? '?' : text[i];
    }
    if (text.size() > limit) out += "...";
    return out;
}

bool ReadResultFile(const std::string& path, LabelledPoints& out, std::string& error) {
    out = LabelledPoints();
    tavri::DataTable table;
    if (!ReadNumbers(path, table, "field", error)) return false;
    if (table.rows == 0) {
        error = Shown(path, 400) + ": no points";
        return false;
    }
    if (table.cols < 2) {
        error = Shown(path, 400) + ": line " + std::to_string(table.first_data_line) +
                ": expected coordinates followed by a label, found " + Plural(table.cols, "field", "fields");
        return false;
    }
    // Per line: the coordinates, then the label.
    out.dims = static_cast<int>(table.cols - 1);
    const double* values = table.values.data();
    for (std::int64_t i = 0; i < table.rows; ++i, values += table.cols) {
        const double label = values[out.dims];
        if (!IsLabel(label)) {
            error = Shown(path, 400) + ": line " + std::to_string(table.first_data_line + i) + ": label '" +
                    LabelText(label) + "' is not a non-negative integer";
            return false;
        }
        out.coords.insert(out.coords.end(), values, values + out.dims);
        out.labels.push_back(static_cast<int>(label));
    }
    return true;
}

bool ReadDataFile(const std::string& path, DataTable& out, std::string& error) {
    out = DataTable();
    tavri::DataTable table;
    if (!ReadNumbers(path, table, "column", error)) return false;
    if (table.rows == 0 || table.cols == 0) {
        error = Shown(path, 400) + ": no data rows";
        return false;
    }
    out.cols = static_cast<int>(table.cols);
    out.rows = static_cast<std::size_t>(table.rows);
    out.values.assign(table.values.data(), table.values.data() + table.values.size());
    return true;
}

bool ReadRunSummary(const std::string& path, RunSummary& out, bool& found, std::string& error) {
    std::string text;
    int open_failure = 0;
    found = false;
    if (!ReadText(path, text, error, open_failure)) return open_failure == ENOENT;
    found = true;
    if (ParseSummary(text, out, error)) return true;
    error = Shown(path, 400) + ": " + error;
    return false;
}

std::string SummaryPathFor(const std::string& path, const std::string& prefix) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (path.size() <= base + prefix.size() || path.compare(base, prefix.size(), prefix) != 0) return "";
    return path.substr(0, base) + "RTavri-" + path.substr(base + prefix.size());
}

bool ReadLabelsFile(const std::string& path, std::vector<int>& out, std::string& error) {
    out.clear();
    tavri::DataTable table;
    if (!ReadNumbers(path, table, "field", error)) return false;
    if (table.rows == 0) {
        error = Shown(path, 400) + ": no labels";
        return false;
    }
    if (table.cols != 1) {
        error = Shown(path, 400) + ": line " + std::to_string(table.first_data_line) + ": " +
                Plural(table.cols, "field", "fields") + ", expected one label (a non-negative integer)";
        return false;
    }
    for (std::int64_t i = 0; i < table.rows; ++i) {
        const double label = table.values.data()[i];
        if (!IsLabel(label)) {
            error = Shown(path, 400) + ": line " + std::to_string(table.first_data_line + i) +
                    ": expected one label (a non-negative integer), found '" + LabelText(label) + "'";
            return false;
        }
        out.push_back(static_cast<int>(label));
    }
    return true;
}

}  // namespace tavri_plot
