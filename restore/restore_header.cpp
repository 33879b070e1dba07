#include "restore_header.h"

#include <algorithm>
#include <array>

namespace {

struct patch {
	std::size_t offset;
	std::uint8_t value;
};

// One byte of each field; the field's other bytes come from the data file.
constexpr std::array<patch, 11> header_patch{{
    {0, 0x42},   // bfType "B"
    {1, 0x4D},   // bfType "M"
    {14, 0x28},  // biSize 40
    {26, 0x01},  // biPlanes 1
    {28, 0x08},  // biBitCount 8
    {35, 0xB0},  // biSizeImage 0x4B000
    {36, 0x04},
    {38, 0x13},  // biXPelsPerMeter 2835
    {39, 0x0B},
    {42, 0x13},  // biYPelsPerMeter 2835
    {43, 0x0B},
}};

static_assert(DAT_BLOCK_OFFSET + DAT_BLOCK_SIZE == RESTORED_SPAN);
static_assert(header_patch.back().offset < DAT_BLOCK_OFFSET);

}  // namespace

void restore_header(std::span<std::uint8_t> data, std::span<const std::uint8_t, DAT_BLOCK_SIZE> dat)
{
	if (data.size() < RESTORED_SPAN)
		return;
	for (const auto [offset, value] : header_patch)
		data[offset] = value;
	std::ranges::copy(dat, data.begin() + DAT_BLOCK_OFFSET);
}
