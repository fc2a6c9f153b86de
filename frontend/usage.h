#pragma once

// Prints the usage text to standard output.
void usage();
