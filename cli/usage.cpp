#include "usage.h"

#include <cstdio>

void print_usage(const char* name)
{
	std::printf("\nusage: %s [<sourcefile> <destfile>]\n", name);
	std::printf("       ---[Examples]-----------------------\n");
	std::printf("       %s 001.dat items.bmp\n", name);
	std::printf("       %s 002.dat corpses.bmp\n", name);
	std::printf("       %s 003.dat critters.bmp\n", name);
	std::printf("       %s 004.dat terrain.bmp\n", name);
	std::printf("\n\n");
	std::printf("%s is NOT for public use.\n", name);
}
