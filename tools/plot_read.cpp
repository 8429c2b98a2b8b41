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

namespace tavri_plot {

namespace {

// Separators as in tavri's own data reader: a carriage return belongs to the
// line end of a CRLF file.
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

// Whether the token has the form of a decimal number: [+-] digits [. digits]
// or [+-] . digits, then an optional exponent; nothing else (no nan, inf, hex).
bool HasDecimalForm(std::string_view token) {
    std::size_t i = 0;
    const std::size_t n = token.size();
    if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < n && IsDigit(token[i])) ++i, ++digits;
    if (i < n && token[i] == '.') {
        ++i;
        while (i < n && IsDigit(token[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
        const std::size_t exponent = i;
        while (i < n && IsDigit(token[i])) ++i;
        if (i == exponent) return false;
    }
    return i == n;
}

std::string Quoted(std::string_view token) { return "'" + Shown(std::string(token)) + "'"; }

std::string Where(std::size_t line, std::size_t column) {
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": ";
}

// A coordinate; on failure `error` says why, at that line and column.
bool ParseCoordinate(std::string_view token, std::size_t line, std::size_t column, double& value,
                     std::string& error) {
    if (!HasDecimalForm(token)) {
        error = Where(line, column) + Quoted(token) + " is not a finite decimal number";
        return false;
    }
    // strtod reads what from_chars would, and an underflow as zero or a
    // subnormal, as tavri reads it; only an overflow is refused.
    const std::string text(token);
    value = std::strtod(text.c_str(), nullptr);
    if (std::isinf(value)) {
        error = Where(line, column) + Quoted(token) + " is beyond the range of a double";
        return false;
    }
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

// Parses the text of a result file: lines of coordinates then a label; blank
// lines carry no point.
bool ParseResult(const std::string& text, LabelledPoints& out, std::string& error) {
    out = LabelledPoints();
    const std::vector<std::string_view> lines = SplitLines(text);
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const std::vector<std::string_view> fields = SplitFields(lines[l]);
        if (fields.empty()) continue;
        const std::string where = "line " + std::to_string(l + 1) + ": ";
        if (fields.size() < 2) {
            error = where + "expected coordinates followed by a label, found 1 field";
            return false;
        }
        const int dims = static_cast<int>(fields.size()) - 1;
        if (out.dims == 0) out.dims = dims;
        if (dims != out.dims) {
            error = where + std::to_string(fields.size()) + " fields, earlier lines have " + std::to_string(out.dims + 1);
            return false;
        }
        for (std::size_t d = 0; d + 1 < fields.size(); ++d) {
            double value = 0;
            if (!ParseCoordinate(fields[d], l + 1, d + 1, value, error)) return false;
            out.coords.push_back(value);
        }
        int label = 0;
        if (!ParseNonNegative(std::string(fields.back()), label)) {
            error = where + "label " + Quoted(fields.back()) + " is not a non-negative integer";
            return false;
        }
        out.labels.push_back(label);
    }
    if (out.labels.empty()) {
        error = "no points";
        return false;
    }
    return true;
}

// A line of white space alone; as in tavri's reader, it ends the rows of a
// data file (and so the labels of its rows).
bool IsBlankLine(std::string_view line) {
    for (char c : line)
        if (!IsSeparator(c)) return false;
    return true;
}

// Parses the text of a data file: rows of numbers, the same count on each,
// up to the end or the first blank line.
bool ParseData(const std::string& text, DataTable& out, std::string& error) {
    out = DataTable();
    const std::vector<std::string_view> lines = SplitLines(text);
    for (std::size_t l = 0; l < lines.size() && !IsBlankLine(lines[l]); ++l) {
        const std::vector<std::string_view> fields = SplitFields(lines[l]);
        if (out.rows == 0) out.cols = static_cast<int>(fields.size());
        if (fields.size() != static_cast<std::size_t>(out.cols)) {
            error = "line " + std::to_string(l + 1) + ": " + std::to_string(fields.size()) +
                    (fields.size() == 1 ? " column" : " columns") + ", earlier lines have " + std::to_string(out.cols);
            return false;
        }
        for (std::size_t c = 0; c < fields.size(); ++c) {
            double value = 0;
            if (!ParseCoordinate(fields[c], l + 1, c + 1, value, error)) return false;
            out.values.push_back(value);
        }
        ++out.rows;
    }
    if (out.rows == 0) {
        error = "no data rows";
        return false;
    }
    return true;
}

// Parses the text of a labels file: one label a line, up to the end or the
// first blank line.
bool ParseLabels(const std::string& text, std::vector<int>& out, std::string& error) {
    out.clear();
    const std::vector<std::string_view> lines = SplitLines(text);
    for (std::size_t l = 0; l < lines.size() && !IsBlankLine(lines[l]); ++l) {
        const std::vector<std::string_view> fields = SplitFields(lines[l]);
        int label = 0;
        if (fields.size() != 1 || !ParseNonNegative(std::string(fields[0]), label)) {
            error = "line " + std::to_string(l + 1) + ": expected one label (a non-negative integer), found " +
                    Quoted(lines[l]);
            return false;
        }
        out.push_back(label);
    }
    if (out.empty()) {
        error = "no labels";
        return false;
    }
    return true;
}

bool ReadText(const std::string& path, std::string& text, std::string& error) {
    int open_failure = 0;
    return ReadText(path, text, error, open_failure);
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
    std::string text;
    if (!ReadText(path, text, error)) return false;
    if (ParseResult(text, out, error)) return true;
    error = Shown(path, 400) + ": " + error;
    return false;
}

bool ReadDataFile(const std::string& path, DataTable& out, std::string& error) {
    std::string text;
    if (!ReadText(path, text, error)) return false;
    if (ParseData(text, out, error)) return true;
    error = Shown(path, 400) + ": " + error;
    return false;
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
    std::string text;
    if (!ReadText(path, text, error)) return false;
    if (ParseLabels(text, out, error)) return true;
    error = Shown(path, 400) + ": " + error;
    return false;
}

}  // namespace tavri_plot
