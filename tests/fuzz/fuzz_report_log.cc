// Arbitrary main logs, as an application that shares the log's descriptor
// could write them: the report reads them without a crash or unbounded
// growth, and the page and junit.xml it writes from them stay UTF-8 of
// characters XML 1.0 allows.
#include <stdint.h>

#include <cstdlib>

#include "report/report_page.h"
#include "report/report_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReportFolder folder;
    folder.path = "results/tapfuzz20240501";
    for (const char* name : {"run-120000-1", "run-130000-2"}) {
        folder.runs[name].name = name;
        folder.runs[name].listed = true;
    }
    LineReader in(reinterpret_cast<const char*>(data), size);
    readMainLog(in, folder);
    if (folder.runs.size() > 1000 + 2 || folder.logBytes > (8 << 20))
        abort();
    ReportOut html(-1), junit(-1);
    for (auto& r : folder.runs) {
        sortMarks(r.second);
        writeRun(html, junit, folder, r.second);
    }
    if (!html.valid() || !junit.valid())
        abort();
    return 0;
}
