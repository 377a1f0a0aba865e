// Problem: after a night's run what is wanted first is a picture: where the
// run touched, when the crashes came and what came before each; CI servers
// want a verdict per crash.
// Solution: per run, a section of one self-contained HTML page (no script,
// nothing fetched, screenshots inline) and a testsuite of junit.xml.
#ifndef TAPFUZZ_REPORT_REPORT_PAGE_H
#define TAPFUZZ_REPORT_REPORT_PAGE_H

#include "report/report_out.h"
#include "report/report_reader.h"

// Text for the page and junit.xml: bytes outside UTF-8, control characters
// and the characters steersText names become \xHH as in the log, markup
// characters entities.
std::string esc(const std::string& s);

// The run's section of the page and its testsuite of junit.xml; its notes
// go into the folder's list.
void writeRun(ReportOut& html, ReportOut& junit, ReportFolder& folder, ReportRun& run);

// The distinct crashes of all the folders: the page's section above the
// runs and the testsuite after theirs.
void writeAllCrashes(ReportOut& html, ReportOut& junit, std::vector<ReportFolder>& folders, const CrashGroups& all);

#endif
