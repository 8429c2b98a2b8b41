// What the run says on standard error about reading its data file: why a
// file was refused and what to do, and what was left out.
#pragma once

#include <cstdint>
#include <string>

#include "data_file.h"
#include "mainTavri.h"

namespace tavri {

// The progress line while reading: a share of `size` bytes, or the bytes read
// when the size is not known (size 0).
std::string ReadingProgress(std::uint64_t bytes, long long size);

// The file could not be opened or read, or its lines differ in column count.
std::string ExplainUnreadable(const DataTable& table, const std::string& path, const RunSettings& settings);
// No data line, or none with a number.
std::string ExplainEmpty(const DataTable& table, const std::string& path, const RunSettings& settings);
// A field of a kept row that is not a number.
std::string ExplainFault(const DataTable& table, const RunSettings& settings);
// The data end at a blank line with more lines after it.
std::string ExplainBlankLine(const DataTable& table);
std::string ExplainNoMemory(const DataTable& table);
// Rows or columns past the caps.
std::string ExplainRowCap(const DataTable& table);
std::string ExplainColumnCap(const DataTable& table);

}  // namespace tavri
