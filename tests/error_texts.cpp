// Prints the C library's text for each error number given, one a line: the
// cause the tool's reports end with, as this build's C library words it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
	for (int i = 1; i < argc; ++i)
		(void)std::printf("%s\n", std::strerror(static_cast<int>(std::strtol(argv[i], nullptr, 10))));
}
