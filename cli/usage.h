#pragma once

// The usage text, on standard output, with the invocation name in it.
void print_usage(const char* name);
