// The restoration rule: the bytes that turn a numbered data file into a bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t DAT_BLOCK_SIZE = 1030;  // leading bytes of misc.dat
inline constexpr std::size_t DAT_BLOCK_OFFSET = 48;  // where they land in the bitmap
inline constexpr std::size_t RESTORED_SPAN = 1078;   // file header, info header, colour table

// Sets the eleven header bytes and splices in the dat block; every other byte
// is left as the data file had it. A buffer shorter than RESTORED_SPAN is
// left alone (callers refuse such files).
void restore_header(std::span<std::uint8_t> data, std::span<const std::uint8_t, DAT_BLOCK_SIZE> dat);
