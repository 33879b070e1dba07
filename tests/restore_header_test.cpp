#include "restore/restore_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <numeric>
#include <tuple>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

// The header fields the rule restores, from the bitmap format: it sets the bytes of each little-endian value
// that are not zero, and leaves the field's other bytes (zero in a well-made file) as the data file has them.
struct field {
	std::size_t offset, length;
	std::uint32_t value;
};
constexpr std::array<field, 7> fields{{
    {0, 2, 'B' | 'M' << 8},  // signature
    {14, 4, 40},             // info header size
    {26, 2, 1},              // planes
    {28, 2, 8},              // bits per pixel
    {34, 4, 640 * 480},      // image size
    {38, 4, 2835},           // pixels per metre (72 dpi), across
    {42, 4, 2835},           // and down
}};
constexpr std::size_t block_at = 48;                // the dat block: the end of the info header
constexpr std::size_t headers = 14 + 40 + 256 * 4;  // file header, info header, colour table

// What the restored buffer must hold, given what was there: a buffer short of the headers is left alone.
bytes expected(bytes data, const std::array<std::uint8_t, DAT_BLOCK_SIZE>& dat)
{
	if (data.size() < headers)
		return data;
	for (const auto [offset, length, value] : fields)
		for (std::size_t k = 0; k < length; ++k)
			if (const auto byte = static_cast<std::uint8_t>(value >> (8 * k)); byte != 0)
				data[offset + k] = byte;
	std::copy(dat.begin(), dat.end(), data.begin() + block_at);
	return data;
}

TEST(restore_header, sets_header_splices_block_keeps_the_rest)
{
	std::array<std::uint8_t, DAT_BLOCK_SIZE> dat{};
	std::iota(dat.begin(), dat.end(), std::uint8_t{0});
	for (const auto& [name, length, fill] :
	     std::initializer_list<std::tuple<const char*, std::size_t, std::uint8_t>>{
	         {"0xFF carried bytes stay, exact span", headers, 0xFF},
	         {"640x480 tail passes through", headers + 640 * 480, 0x5A},
	         {"a short buffer is left alone", headers - 1, 0x11}}) {
		SCOPED_TRACE(name);
		bytes data(length, fill);
		for (std::size_t i = headers; i < length; ++i)
			data[i] = static_cast<std::uint8_t>(i * 7 + 3);
		const bytes want = expected(data, dat);
		restore_header(data, dat);
		ASSERT_EQ(data.size(), length);
		for (std::size_t i = 0; i < length; ++i)
			ASSERT_EQ(data[i], want[i]) << "offset " << i;
		restore_header(data, dat);  // restoring a restored buffer changes nothing
		EXPECT_EQ(data, want);
	}
}

}  // namespace
