#include "read_notes.h"

#include <cstdio>
#include <cstring>

namespace tavri {

namespace {

std::string Plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Line(std::int64_t line) { return "line " + std::to_string(line); }

// The option that would read a file holding commas or semicolons, if it does.
std::string SeparatorHint(const DataTable& table, const RunSettings& settings) {
    if (settings.separator != '\0') return "";
    if (table.has_commas) return "; the file holds commas: try --sep ,";
    if (table.has_semicolons) return "; the file holds semicolons: try --sep ';'";
    return "";
}

}  // namespace

std::string ReadingProgress(std::uint64_t bytes, long long size) {
    char text[96];
    const double mb = static_cast<double>(bytes) / 1e6;
    if (size > 0)
        std::snprintf(text, sizeof text, "reading: %.0f%% (%.0f of %.0f MB)", 100.0 * static_cast<double>(bytes) / size,
                      mb, static_cast<double>(size) / 1e6);
    else
        std::snprintf(text, sizeof text, "reading: %.0f MB", mb);
    return text;
}

std::string ExplainUnreadable(const DataTable& table, const std::string& path, const RunSettings& settings) {
    if (table.status == ReadStatus::kCannotOpen)
        return "cannot open " + path + ": " + std::strerror(table.system_error);
    if (table.status == ReadStatus::kReadError)
        return "cannot read " + path + ": " + std::strerror(table.system_error);
    std::string note = Line(table.mismatch_line) + " holds " + Plural(table.cols, "column", "columns") + " but " +
                       Line(table.first_data_line) + " holds " + std::to_string(table.first_cols);
    if (table.first_line_is_comment)
        note += "; " + Line(table.first_data_line) + " is a comment: remove it";
    else if (table.first_line_has_words && !settings.header)
        // A CSV with a header needs both options: name both at once.
        note += "; " + Line(table.first_data_line) + " holds words: a header? try --header" +
                SeparatorHint(table, settings);
    else if (table.mismatch_is_comment)
        note += "; " + Line(table.mismatch_line) + " is a comment: remove it";
    else if (!SeparatorHint(table, settings).empty())
        note += SeparatorHint(table, settings);
    else if (table.mismatch_has_words)
        note += "; " + Line(table.mismatch_line) + " holds words";
    else if (table.cols < table.first_cols)
        note += "; a cell is missing?";
    else
        note += "; a column too many?";
    return note;
}

std::string ExplainEmpty(const DataTable& table, const std::string& path, const RunSettings& settings) {
    if (table.rows == 0)
        return path + " holds no data line" +
               (table.blank_line != 0 ? " before the blank " + Line(table.blank_line) : std::string());
    std::string note = Line(table.first_data_line) + " holds no number";
    if (table.first_line_is_comment)
        note += ": it is a comment (remove it)";
    else if (table.first_line_has_words)
        note += ": a header? try --header";
    else if (table.first_line_has_quotes && settings.separator == '\0')
        note += ": quoted numbers are read with --sep";
    return note;
}

std::string ExplainFault(const DataTable& table, const RunSettings& settings) {
    const ReadFault& fault = table.fault;
    const std::string where = Line(fault.line) + ", column " + std::to_string(fault.column);
    switch (fault.kind) {
        case FaultKind::kEmptyCell:
            return where + " is empty: a cell is missing";
        case FaultKind::kExtraField:
            return Line(fault.line) + " holds more than " + Plural(table.cols, "column", "columns") +
                   (fault.token.empty() ? std::string() : ": '" + fault.token + "' is column " +
                                                              std::to_string(fault.column)) +
                   SeparatorHint(table, settings);
        case FaultKind::kMissingField:
            return Line(fault.line) + " holds " + std::to_string(fault.column) + " of the " +
                   Plural(table.cols, "column", "columns") + SeparatorHint(table, settings);
        case FaultKind::kNotNumber:
        case FaultKind::kNone:
            break;
    }
    // Spreadsheets of some languages write 1,5 for 1.5 when ';' separates the fields.
    const bool decimal_comma = settings.separator != '\0' && settings.separator != ',' &&
                               fault.token.find(',') != std::string::npos;
    return where + ": '" + fault.token + "' is not a number" +
           (decimal_comma ? " (write the decimal point as '.')" : SeparatorHint(table, settings));
}

std::string ExplainBlankLine(const DataTable& table) {
    return Line(table.blank_line) + " is blank, so the data end there; " +
           Plural(table.lines_after_blank, "line", "lines") + " after it holding something " +
           (table.lines_after_blank == 1 ? "was" : "were") + " not read (remove the blank line to read them)";
}

std::string ExplainNoMemory(const DataTable& table) {
    char text[160];
    std::snprintf(text, sizeof text, "not enough memory to hold %lld x %lld values (%.0f MB)",
                  static_cast<long long>(table.kept_rows), static_cast<long long>(table.kept_cols),
                  8.0 * static_cast<double>(table.kept_rows) * static_cast<double>(table.kept_cols) / 1e6);
    return text;
}

std::string ExplainRowCap(const DataTable& table) {
    const std::int64_t left = table.rows - table.kept_rows;
    return "read the first " + std::to_string(table.kept_rows) + " of " + std::to_string(table.rows) +
           " rows; the other " + std::to_string(left) + (left == 1 ? " was" : " were") +
           " ignored (--max-rows 0 reads them all)";
}

std::string ExplainColumnCap(const DataTable& table) {
    const std::int64_t left = table.cols - table.kept_cols;
    return "read the first " + std::to_string(table.kept_cols) + " of " + std::to_string(table.cols) +
           " columns; the other " + std::to_string(left) + (left == 1 ? " was" : " were") + " ignored";
}

}  // namespace tavri
