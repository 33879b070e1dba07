// One conversion: datfile and sourcefile in, destfile out.
#pragma once

#include <array>
#include <cstddef>

inline constexpr std::size_t NAME_BUFFER_SIZE = 64;

// Filled by the entry before run_conversion; NUL-terminated.
extern std::array<char, NAME_BUFFER_SIZE> sourcefile_name;
extern std::array<char, NAME_BUFFER_SIZE> destfile_name;

// Returns only after the destfile holds the whole restored bitmap. On any
// failure it reports on standard error, releases what it holds and ends the
// process with status 1.
void run_conversion();
