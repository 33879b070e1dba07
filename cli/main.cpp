// dat2bmp: restores a numbered data file to the bitmap it was made from.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "restore/conversion.h"
#include "restore/host.h"
#include "usage.h"

std::array<char, NAME_BUFFER_SIZE> sourcefile_name{};
std::array<char, NAME_BUFFER_SIZE> destfile_name{};

namespace {

// Copies argument index with its terminator, or reports that it does not
// fit or is not the name the user typed.
void store_name(std::array<char, NAME_BUFFER_SIZE>& buffer, char* argv[], int index, const char* message)
{
	const std::size_t length = std::strlen(argv[index]);
	if (length >= buffer.size()) {
		errno = ENAMETOOLONG;
	} else if (host_exact_argument(index)) {
		std::memcpy(buffer.data(), argv[index], length + 1);
		return;
	}
	host_report(message);
	std::exit(1);
}

}  // namespace

int main(int argc, char* argv[])
{
	host_start(argc, argv);
	// Data files are numbered from 001, so the sourcefile starts with a zero.
	if (argc != 3 || argv[1][0] != '0') {
		print_usage(argc > 0 && argv[0] != nullptr ? argv[0] : "dat2bmp");
		std::exit(1);
	}
	store_name(sourcefile_name, argv, 1, "Can't open sourcefile");
	store_name(destfile_name, argv, 2, "Can't create destfile");
	run_conversion();
	return 0;
}
