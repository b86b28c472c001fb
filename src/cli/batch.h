// Batch mode of roughgc: many photos in one process.
#pragma once

// Runs batch mode on the command line; returns the exit status.
int runBatch(int argc, char** argv);
