// Reading result files: every number checked, faults named by line.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plot.h"

namespace tavri_plot {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

bool ParseCoordinate(const std::string& token, double& value) {
    if (token.empty()) return false;
    const char* begin = token.c_str();
    char* end = nullptr;
    errno = 0;
    value = std::strtod(begin, &end);
    // A NUL inside the token stops strtod early, so this also rejects it.
    return end == begin + token.size();
}

}  // namespace

bool ParseNonNegative(const std::string& token, int& value) {
    if (token.empty()) return false;
    long long v = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return false;
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

bool ParseResult(const std::string& text, ResultData& out, std::string& error) {
    out = ResultData();
    std::size_t pos = 0;
    long long line_number = 0;
    std::vector<std::string> fields;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        ++line_number;
        fields.clear();
        std::size_t i = pos;
        while (i < eol) {
            while (i < eol && IsBlank(text[i])) ++i;
            if (i == eol) break;
            std::size_t start = i;
            while (i < eol && !IsBlank(text[i])) ++i;
            fields.emplace_back(text, start, i - start);
        }
        pos = eol + 1;
        if (fields.empty()) continue;  // blank lines carry no point

        std::string where = "line " + std::to_string(line_number) + ": ";
        if (fields.size() < 2) {
            error = where + "expected coordinates followed by a label, found 1 field";
            return false;
        }
        int dims = static_cast<int>(fields.size()) - 1;
        if (out.dims == 0) {
            out.dims = dims;
        } else if (dims != out.dims) {
            error = where + std::to_string(fields.size()) + " fields, earlier lines have " +
                    std::to_string(out.dims + 1);
            return false;
        }
        for (int d = 0; d < dims; ++d) {
            double value = 0;
            if (!ParseCoordinate(fields[static_cast<std::size_t>(d)], value)) {
                error = where + "field " + std::to_string(d + 1) + " is not a number: '" +
                        Shown(fields[static_cast<std::size_t>(d)]) + "'";
                return false;
            }
            out.coords.push_back(value);
        }
        int label = 0;
        if (!ParseNonNegative(fields.back(), label)) {
            error = where + "label '" + Shown(fields.back()) + "' is not a non-negative integer";
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

bool ReadResultFile(const std::string& path, ResultData& out, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot open " + Shown(path, 400) + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    bool failed = std::ferror(file) != 0;
    int saved = errno;
    std::fclose(file);
    if (failed) {
        error = "cannot read " + Shown(path, 400) + ": " + std::strerror(saved);
        return false;
    }
    if (!ParseResult(text, out, error)) {
        error = Shown(path, 400) + ": " + error;
        return false;
    }
    return true;
}

}  // namespace tavri_plot
