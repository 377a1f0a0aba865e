// Arbitrary run records, read in both passes the report makes: no crash,
// figures within their bounds, and a page section and junit suite that
// stay UTF-8 of characters XML 1.0 allows.
#include <stdint.h>

#include <cstdlib>

#include "report/report_page.h"
#include "report/report_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReportFolder folder;
    folder.path = "results/tapfuzz20240501";
    ReportRun& run = folder.runs["run-120000-1"];
    run.name = "run-120000-1";
    run.listed = true;
    // One dump the log called the application's: its crash, the rest not.
    run.appCrash["./saved/coredump-app-812-2024-05-01_12:00:03"] = "app";
    const char* text = reinterpret_cast<const char*>(data);
    LineReader first(text, size);
    readRecord(first, run);
    sortMarks(run);
    LineReader second(text, size);
    readGesturesBefore(second, run);
    if (run.cells.size() > 250000 || run.marks.size() > 10000 || run.markBytes > (8 << 20) || run.head.size() > 32 ||
        run.perMinute.size() > 100001 || run.distinct.size() > CrashGroups::kMaxGroups)
        abort();
    ReportOut html(-1), junit(-1);
    writeRun(html, junit, folder, run);
    if (!html.valid() || !junit.valid())
        abort();
    return 0;
}
