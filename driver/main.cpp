// lrdedup: long-range deduplicating compressor. See README.md.
#include "driver/cli.h"

int main(int argc, char** argv) { return lrdedup_main(argc, argv); }
