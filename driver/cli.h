// The command line of lrdedup: the option form `lrdedup [OPTIONS] [FILE...]`
// and the mode form `lrdedup e|d <input> <output>`.
#pragma once

// The whole program: returns the exit status.
int lrdedup_main(int argc, char** argv);
