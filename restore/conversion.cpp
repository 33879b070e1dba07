#include "conversion.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "host.h"
#include "restore_header.h"

namespace {

constexpr const char* datfile_name = "misc.dat";

// What the run holds; fail() releases whatever is set.
host_file input = no_file;   // the datfile, then the sourcefile
host_file output = no_file;  // the destfile
std::uint8_t* dat_buffer = nullptr;
std::uint8_t* data_buffer = nullptr;
std::uint32_t source_size = 0;
std::uint32_t transfer_count = 0;

void release()
{
	host_release(data_buffer, source_size);
	data_buffer = nullptr;
	std::free(dat_buffer);
	dat_buffer = nullptr;
	if (input != no_file)
		host_close(input);
	input = no_file;
}

[[noreturn]] void fail(const char* message)
{
	// The temporary goes first: the report may wait on a full pipe or a
	// stopped terminal for as long as its reader pleases, and nothing of the
	// run should be left on disk meanwhile. The discard keeps errno.
	if (output != no_file)
		host_discard_output(output);
	host_report(message);
	release();
	std::exit(1);
}

}  // namespace

void run_conversion()
{
	input = host_open_input(datfile_name);
	if (input == no_file)
		fail("Can't open datfile");
	dat_buffer = static_cast<std::uint8_t*>(std::malloc(DAT_BLOCK_SIZE));
	if (dat_buffer == nullptr)
		fail("Couldn't allocate the dat buffer");
	transfer_count = static_cast<std::uint32_t>(host_read_all(input, {dat_buffer, DAT_BLOCK_SIZE}));
	if (transfer_count != DAT_BLOCK_SIZE)
		fail("Something is screwy with ReadFile");
	host_close(input);
	input = no_file;

	input = host_open_input(sourcefile_name.data());
	if (input == no_file)
		fail("Can't open sourcefile");
	output = host_create_output(destfile_name.data(), input);
	if (output == no_file)
		fail("Can't create destfile");

	// The size must fit the 32-bit count whole; it is never cut down.
	const std::int64_t size = host_size(input);
	if (size > std::numeric_limits<std::uint32_t>::max())
		errno = EFBIG;
	if (size < 0 || size > std::numeric_limits<std::uint32_t>::max())
		fail("Couldn't allocate the data buffer");
	if (size < static_cast<std::int64_t>(RESTORED_SPAN)) {
		errno = EINVAL;
		fail("Sourcefile is too short to be restored");
	}
	source_size = static_cast<std::uint32_t>(size);
	data_buffer = host_allocate(source_size);
	if (data_buffer == nullptr)
		fail("Couldn't allocate the data buffer");

	const std::span<std::uint8_t> data{data_buffer, source_size};
	transfer_count = static_cast<std::uint32_t>(host_read_all(input, data));
	if (transfer_count != source_size)
		fail("Something is screwy with ReadFile");
	restore_header(data, std::span<const std::uint8_t, DAT_BLOCK_SIZE>{dat_buffer, DAT_BLOCK_SIZE});
	transfer_count = static_cast<std::uint32_t>(host_write_all(output, data));
	if (transfer_count != source_size)
		fail("Something is screwy with WriteFile");

	// The commit closes the output whether or not it succeeds.
	const host_file finished = output;
	output = no_file;
	if (!host_commit_output(finished))
		fail("Something is screwy with WriteFile");
	release();
}
