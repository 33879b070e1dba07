#include "restore/restore_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

// The bytes the rule writes, offset by offset.
const std::map<std::size_t, std::uint8_t> header_bytes{
    {0, 0x42},  {1, 0x4D},  {14, 0x28}, {26, 0x01}, {28, 0x08}, {35, 0xB0},
    {36, 0x04}, {38, 0x13}, {39, 0x0B}, {42, 0x13}, {43, 0x0B},
};

std::array<std::uint8_t, DAT_BLOCK_SIZE> counting_block()
{
	std::array<std::uint8_t, DAT_BLOCK_SIZE> dat{};
	for (std::size_t i = 0; i < dat.size(); ++i)
		dat[i] = static_cast<std::uint8_t>(i);
	return dat;
}

// What the restored buffer must hold at offset i, given what was there.
std::uint8_t expected(const bytes& before, std::size_t i, const std::array<std::uint8_t, DAT_BLOCK_SIZE>& dat)
{
	if (const auto it = header_bytes.find(i); it != header_bytes.end())
		return it->second;
	if (i >= DAT_BLOCK_OFFSET && i < RESTORED_SPAN)
		return dat[i - DAT_BLOCK_OFFSET];
	return before[i];
}

struct restore_case {
	const char* name;
	std::size_t length;
	std::uint8_t fill;
};

class restore_header_cases : public testing::TestWithParam<restore_case> {};

TEST_P(restore_header_cases, sets_header_splices_block_keeps_the_rest)
{
	const auto [name, length, fill] = GetParam();
	bytes before(length, fill);
	for (std::size_t i = RESTORED_SPAN; i < length; ++i)
		before[i] = static_cast<std::uint8_t>(i * 7 + 3);
	const auto dat = counting_block();

	bytes data = before;
	restore_header(data, dat);
	ASSERT_EQ(data.size(), length);
	for (std::size_t i = 0; i < length; ++i)
		ASSERT_EQ(data[i], expected(before, i, dat)) << name << ", offset " << i;

	// Restoring a restored buffer changes nothing.
	const bytes once = data;
	restore_header(data, dat);
	EXPECT_EQ(data, once);
}

INSTANTIATE_TEST_SUITE_P(all, restore_header_cases,
                         testing::Values(restore_case{"zero header, exact span", RESTORED_SPAN, 0x00},
                                         restore_case{"0xFF carried bytes stay", RESTORED_SPAN, 0xFF},
                                         restore_case{"640x480 tail passes through",
                                                      RESTORED_SPAN + 640 * 480, 0x5A}));

TEST(restore_header, leaves_a_short_buffer_alone)
{
	bytes data(RESTORED_SPAN - 1, 0x11);
	restore_header(data, counting_block());
	EXPECT_EQ(data, bytes(RESTORED_SPAN - 1, 0x11));
}

}  // namespace
