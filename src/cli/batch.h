// Batch mode of roughgc: many photos in one process.
#pragma once

// Exit status when one or more photos gave no map (or the report could not
// be written); every other photo's map was written.
constexpr int kExitSomePhotosFailed = 2;
// Exit status when a GPU runtime call failed: the run ended there, with the
// report of the photos done so far and the summary.
constexpr int kExitDeviceFailed = 1;

// Runs batch mode on the command line; returns the exit status.
int runBatch(int argc, char** argv);
