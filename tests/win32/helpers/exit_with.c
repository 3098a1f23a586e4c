/* A tool that writes nothing and ends with the exit code given as its
 * argument (0 without one). */
#include <stdlib.h>

int main(int argc, char **argv) { return argc > 1 ? atoi(argv[1]) : 0; }
