// Problem: the main log, the crash log, the run records and the freeze
// screenshots of a run all go into the results folder of its day, and a run
// past midnight must not split them over two folders.
// Solution: one owner of the folder's path, fixed at its first use.
#ifndef TAPFUZZ_BASE_RESULTS_FOLDER_H
#define TAPFUZZ_BASE_RESULTS_FOLDER_H

#include <string>

// "YYYYMMDD" of the results folder, once resultsFolder() was called.
extern char global_timep[64];

// "./results/tapfuzzYYYYMMDD/", the local date of the first call; the same
// path for the rest of the process. Any thread.
const std::string& resultsFolder();

// Creates the results folder and its parents, mode 0755 (only tapfuzz
// writes there; others may read); a failure shows later as log files that
// cannot be opened.
void makeResultsFolder();

#endif
