// Problem: after a night's run the results folder holds thousands of lines,
// and what is wanted first is a picture: where the run touched, when the
// crashes came, and what came before each; CI servers want a verdict.
// Solution: --report reads the folder's logs, run records, bundles and
// freeze shots and writes one self-contained report.html and a junit.xml.
#ifndef TAPFUZZ_REPORT_REPORT_H
#define TAPFUZZ_REPORT_REPORT_H

#include <string>
#include <vector>

#include "gesture/zones.h"

// Reports the results folders given (a farm's boards, or several nights)
// in FOLDER/report.html and FOLDER/junit.xml of the first, and prints the
// page's path. Returns the exit status: 0, or 1 when a folder cannot be
// read or the files cannot be written.
int writeReport(const std::vector<std::string>& folders);

#endif
