// Problem: tapfuzz is a stress run, or a report of the runs in a results
// folder, or a line of help; a run must start in a fixed order that its
// DEBUG lines show.
// Solution: main picks the mode and, for a run, calls its start-up steps in
// their order, each announced by its DEBUG line, then hands over to the loop.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/logger.h"
#include "report/report.h"
#include "run/options.h"
#include "run/pacing.h"
#include "run/run.h"
#include "run/stop.h"

namespace {

int usageError()
{
    fputs(showusage().c_str(), stdout);
    fflush(stdout);
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    installStopHandlers();

    // A mode of its own, before anything of a run (results folder, echo)
    // is set up.
    if (argc >= 2 && strcmp(argv[1], "--report") == 0)
        return argc >= 3 ? writeReport(std::vector<std::string>(argv + 2, argv + argc)) : usageError();
    if (argc < 2)
        return usageError();

    Logger::setUp();
    LOG(DEBUG) << "init injectorEvent";
    Run run(argc, argv);

    LOG(DEBUG) << "parse mVerbose";
    if (preScanOptions(argc, argv)) {
        printf("tapfuzz version:%s\n", "V0.2.3");
        fflush(stdout);
        printf("libaray version:%s\n", run.libraryVersion().c_str());
        fflush(stdout);
        endRun(0);
    }

    LOG(DEBUG) << "parse options";
    if (!run.readOptions()) {
        stopIfSignalled();
        return usageError();
    }

    LOG(DEBUG) << "init SourceRandom";
    run.prepareSource();
    // A signal during start-up ends the run before the kernel's core
    // pattern is changed or the watcher starts.
    stopIfSignalled();
    LOG(DEBUG) << "init coredumpmonitor";
    run.startWatcher();
    stopIfSignalled();

    LOG(DEBUG) << "mVerbose:" << mVerbose;
    run.setVerbose();
    if (run.shrinking())
        run.shrink();
    LOG(DEBUG) << "parse interval";
    parse_event_interval();
    LOG(DEBUG) << "get mseed";
    run.seed();
    LOG(DEBUG) << "set facotrs";
    run.setFactors();
    LOG(DEBUG) << "adjustEventFactors";
    run.adjustFactors();
    stopIfSignalled();

    run.openRecord();
    run.loop();
}
