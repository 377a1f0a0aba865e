// Problem: in the middle of a night's run the event node may vanish or
// refuse writes, the results disk may fill, /tmp may become unlistable and
// the save folder may be missing or full; each must meet its documented
// behaviour, and no crash record or dump may be lost.
// Solution: one sandboxed run per fault, the fault switched on once the run
// is under way and (where it can heal) off again, and what the run reports
// balanced against what reached the node and the save folder.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "stress.h"

namespace {

const char kKeys[] = "HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_BACK=158\n";
const char kDumpTime[] = "2023-11-14_22:13:20";  // 1700000000 in UTC

struct Row {
    std::string fault;
    std::string outcome;
    int failures;
};

std::vector<Row> gRows;

size_t Messages(const std::string& log, const std::string& prefix)
{
    size_t n = 0;
    for (const std::string& m : InfoMessages(log))
        if (m.compare(0, prefix.size(), prefix) == 0)
            ++n;
    return n;
}

long Summary(const std::string& log)
{
    long summary = -1;
    for (const std::string& m : InfoMessages(log))
        if (m.compare(0, 16, "Events injected:") == 0)
            summary = atol(m.c_str() + 16);
    return summary;
}

void ExpectWholeLogs(Verdict& v, const Stage& st, const std::string& fault)
{
    for (const char* file : {"tapfuzz.log", "crash.log"}) {
        LineReport lines = CheckLines(st.Log(file));
        v.Expect(lines.bad == 0, fault + ": " + file + " has " + std::to_string(lines.bad) +
                                     " broken lines, first: " + lines.firstBad);
        v.Expect(!lines.tornTail, fault + ": " + file + " ends inside a line");
    }
}

// A dump dropped during the fault is moved whole and recorded once in
// each log (or, with `logs` false, on the console instead).
bool ExpectDumpSaved(Verdict& v, const Stage& st, const std::string& fault, const std::string& app,
                     const std::string& data, bool logs = true)
{
    const std::string saved = "coredump-" + app + "-1-" + kDumpTime;
    const std::string record = "[CRASH][Coredump]./saved/" + saved;
    bool ok = v.Expect(Sandbox::ReadFile(st.sb.path("saved/" + saved)) == data, fault + ": the dump was not saved whole");
    ok &= v.Expect(access(st.sb.path("/tmp/coredump-" + app + "-1-1700000000").c_str(), F_OK) != 0,
                   fault + ": the dump is still in /tmp");
    const std::string main = logs ? st.Log() : st.Out();
    const std::string crash = logs ? st.Log("crash.log") : st.Err();
    ok &= v.Expect(CountLines(main, record) == 1, fault + ": " + std::to_string(CountLines(main, record)) +
                                                      " crash records in the " + (logs ? "main log" : "standard output"));
    ok &= v.Expect(CountLines(crash, record) == 1, fault + ": " + std::to_string(CountLines(crash, record)) +
                                                       " crash records in the " + (logs ? "crash log" : "standard error"));
    return ok;
}

void Finish(const std::string& fault, const Verdict& v, int before, const std::string& outcome)
{
    gRows.push_back({fault, outcome, v.failures() - before});
    printf("  %s: %s\n", fault.c_str(), v.failures() == before ? "done" : "FAILED");
    fflush(stdout);
}

// --- The event node ----------------------------------------------------------

enum NodeFault { Vanish, Eio, Enospc, Short };

void NodeFaultRun(Verdict& v, NodeFault kind)
{
    static const char* const names[] = {"node vanishes", "node: EIO", "node: ENOSPC", "node: short writes"};
    static const char* const modes[] = {"", "eio 1", "enospc 1", "short 1"};
    static const char* const texts[] = {"write event failed, Bad file descriptor",
                                        "write event failed, Input/output error",
                                        "write event failed, No space left on device",
                                        "write event failed, Input/output error"};
    const std::string fault = names[kind];
    const int before = v.failures();
    const long events = 1500;
    Stage st;
    st.Profile(kKeys);
    if (!v.Expect(st.MakeNode(false), fault + ": no node"))
        return;
    RunOptions opt;
    opt.faultShim = kind != Vanish;
    Run run(st, {"-v-v", "--pct-motion", "0", "--throttle", "2", std::to_string(events)}, opt);
    const pid_t pid = run.Pid();
    v.Expect(WaitFor([&] { return st.capture->whole() >= 150; }), fault + ": no gestures before the fault");
    const int fdsBefore = FdCount(pid);

    const std::string node = st.sb.path("/dev/input/event0");
    if (kind == Vanish)
        v.Expect(unlink(node.c_str()) == 0, fault + ": cannot remove the node");
    else
        Sandbox::WriteFile(st.sb.root() + "/fault", modes[kind]);
    const std::string dump = Pattern(200000, 5);
    DropDump(st, "coredump-nodefault-1-1700000000", dump);
    v.Expect(WaitFor([&] { return Messages(st.Log(), "Error ") >= 100; }), fault + ": no failure lines");

    // The device comes back.
    std::unique_ptr<Capture> second;
    const uint64_t firstWhole = st.capture->whole();
    if (kind == Vanish) {
        v.Expect(mkfifo(node.c_str(), 0666) == 0, fault + ": cannot make the node again");
        second.reset(new Capture(node, false));
    } else {
        Sandbox::WriteFile(st.sb.root() + "/fault", "ok");
    }
    auto healed = [&] { return second ? second->whole() : st.capture->whole() - firstWhole; };
    v.Expect(WaitFor([&] { return healed() >= 100; }), fault + ": no gestures after the device came back");
    int nodeFds = 0;
    const int fdsAfter = FdCount(pid, &nodeFds);
    const int status = run.Wait();

    const EventStream& a = st.capture->Finish();
    uint64_t whole = a.whole(), broken = a.broken(), stray = a.stray();
    if (second) {
        const EventStream& b = second->Finish();
        whole += b.whole();
        broken += b.broken();
        stray += b.stray();
        v.Expect(b.clean(), fault + ": the new node: " + b.firstProblem());
    }
    const std::string log = st.Log();
    const size_t errors = Messages(log, "Error ");
    v.Expect(ExitCode(status) == 0, fault + ": ended with " + DescribeStatus(status));
    v.Expect(Summary(log) == events, fault + ": summary " + std::to_string(Summary(log)));
    v.Expect(whole + errors == static_cast<uint64_t>(events),
             fault + ": " + std::to_string(whole) + " gestures + " + std::to_string(errors) + " failures != " +
                 std::to_string(events) + " events");
    // Only the gesture in progress when the fault began can be cut off.
    v.Expect(broken <= 1 && stray == 0, fault + ": node: " + a.firstProblem());
    v.Expect(st.Err().find(texts[kind]) != std::string::npos, fault + ": no '" + texts[kind] + "' on standard error");
    if (kind == Vanish)
        v.Expect(st.Out().find("could not open /dev/input/event0") != std::string::npos,
                 fault + ": no 'could not open' on standard output");
    v.Expect(fdsAfter == fdsBefore, fault + ": descriptors " + std::to_string(fdsBefore) + " before, " +
                                         std::to_string(fdsAfter) + " after");
    v.Expect(nodeFds <= 2, fault + ": " + std::to_string(nodeFds) + " descriptors left on the node");
    ExpectWholeLogs(v, st, fault);
    ExpectDumpSaved(v, st, fault, "nodefault", dump);
    v.Expect(st.sb.Leftovers().empty(), fault + ": left running: " + st.sb.Leftovers());

    char outcome[200];
    snprintf(outcome, sizeof outcome, "%s; %ld events = %llu on the node + %zu failure lines; cut off %llu",
             DescribeStatus(status).c_str(), Summary(log), static_cast<unsigned long long>(whole), errors,
             static_cast<unsigned long long>(broken));
    Finish(fault, v, before, outcome);
}

// Every 23rd write to the node fails, from start to end, with swipes in
// the mix: gestures break at every record position, others go through.
void IntermittentRun(Verdict& v)
{
    const std::string fault = "node: every 23rd write EIO";
    const int before = v.failures();
    const long events = 150;
    Stage st;
    st.Profile(kKeys);
    if (!v.Expect(st.MakeNode(false), fault + ": no node"))
        return;
    Sandbox::WriteFile(st.sb.root() + "/fault", "eio 23");
    RunOptions opt;
    opt.faultShim = true;
    Run run(st, {"-v-v", "--throttle", "2", std::to_string(events)}, opt);
    const int status = run.Wait();
    const EventStream& node = st.capture->Finish();
    const std::string log = st.Log();
    const size_t errors = Messages(log, "Error ");
    v.Expect(ExitCode(status) == 0, fault + ": ended with " + DescribeStatus(status));
    v.Expect(Summary(log) == events, fault + ": summary " + std::to_string(Summary(log)));
    v.Expect(node.whole() + errors == static_cast<uint64_t>(events),
             fault + ": " + std::to_string(node.whole()) + " gestures + " + std::to_string(errors) + " failures");
    v.Expect(node.broken() <= errors && node.stray() == 0, fault + ": node: " + node.firstProblem());
    ExpectWholeLogs(v, st, fault);
    v.Expect(st.sb.Leftovers().empty(), fault + ": left running: " + st.sb.Leftovers());
    char outcome[200];
    snprintf(outcome, sizeof outcome, "%s; %ld events = %llu whole + %zu failure lines; %llu left a finger/key down",
             DescribeStatus(status).c_str(), Summary(log), static_cast<unsigned long long>(node.whole()), errors,
             static_cast<unsigned long long>(node.broken()));
    Finish(fault, v, before, outcome);
}

// /dev/full bound at the node: a real device that refuses every write.
void DevFullRun(Verdict& v)
{
    const std::string fault = "node is /dev/full";
    const int before = v.failures();
    const long events = 200;
    Stage st;
    st.Profile(kKeys);
    const std::string node = st.sb.path("/dev/input/event0");
    Sandbox::WriteFile(node, "");
    BindMount full("/dev/full", node);
    if (!v.Expect(full.ok(), full.error()))
        return;
    Run run(st, {"-v-v", "--pct-motion", "0", std::to_string(events)});
    const int status = run.Wait();
    const std::string log = st.Log();
    const size_t errors = Messages(log, "Error ");
    v.Expect(ExitCode(status) == 0, fault + ": ended with " + DescribeStatus(status));
    v.Expect(Summary(log) == events && errors == static_cast<size_t>(events),
             fault + ": summary " + std::to_string(Summary(log)) + ", " + std::to_string(errors) + " failure lines");
    v.Expect(st.Err().find("write event failed, No space left on device") != std::string::npos,
             fault + ": no ENOSPC message");
    ExpectWholeLogs(v, st, fault);
    v.Expect(st.sb.Leftovers().empty(), fault + ": left running: " + st.sb.Leftovers());
    Finish(fault, v, before,
           DescribeStatus(status) + "; " + std::to_string(Summary(log)) + " events, " + std::to_string(errors) +
               " failure lines");
}

// --- The results folder ------------------------------------------------------

void ResultsFullRun(Verdict& v)
{
    const std::string fault = "results disk full";
    const int before = v.failures();
    const long events = 3000;
    Stage st;
    st.Profile(kKeys);
    mkdir(st.sb.path("results").c_str(), 0755);
    TmpfsMount disk(st.sb.path("results"), 1024);
    if (!v.Expect(disk.ok(), disk.error()) || !v.Expect(st.MakeNode(false), fault + ": no node"))
        return;
    Run run(st, {"-v-v", "--pct-motion", "0", "--throttle", "1", std::to_string(events)});
    v.Expect(WaitFor([&] { return st.capture->whole() >= 300; }), fault + ": no gestures");
    std::unique_ptr<DiskFiller> filler(new DiskFiller(st.sb.path("results")));
    v.Expect(filler->full(), fault + ": the disk did not fill");
    const uint64_t atFull = st.capture->whole();
    const std::string dump = Pattern(100000, 9);
    DropDump(st, "coredump-fullres-1-1700000000", dump);
    const std::string savedPath = st.sb.path(std::string("saved/coredump-fullres-1-") + kDumpTime);
    v.Expect(WaitFor([&] { return Sandbox::ReadFile(savedPath) == dump; }), fault + ": the dump was not moved");
    v.Expect(WaitFor([&] { return st.capture->whole() >= atFull + 500; }), fault + ": the run stopped");
    filler->Release();
    const uint64_t atFree = st.capture->whole();
    const int status = run.Wait();
    const EventStream& node = st.capture->Finish();
    const std::string log = st.Log();
    const size_t sent = Messages(log, "Sending ");

    v.Expect(ExitCode(status) == 0, fault + ": ended with " + DescribeStatus(status));
    v.Expect(node.whole() == static_cast<uint64_t>(events) && node.clean(), fault + ": node: " + node.firstProblem());
    v.Expect(Summary(log) == events, fault + ": no summary once the disk had room again");
    LineReport lines = CheckLines(log);
    v.Expect(lines.bad == 0 && !lines.tornTail,
             fault + ": " + std::to_string(lines.bad) + " broken lines in the main log, first: " + lines.firstBad);
    // The crash record could not go into the full logs; it must not vanish.
    const std::string record = std::string("[CRASH][Coredump]./saved/coredump-fullres-1-") + kDumpTime;
    const size_t records = CountLines(log, record) + CountLines(st.Log("crash.log"), record) +
                           CountLines(st.Out(), record) + CountLines(st.Err(), record);
    v.Expect(records >= 1, fault + ": the crash record of a dump moved while the disk was full is lost");
    v.Expect(st.sb.Leftovers().empty(), fault + ": left running: " + st.sb.Leftovers());
    char outcome[240];
    snprintf(outcome, sizeof outcome,
             "%s; full from gesture %llu to %llu: %zu of %ld event lines kept, %zu broken lines, crash record "
             "found %zu times",
             DescribeStatus(status).c_str(), static_cast<unsigned long long>(atFull),
             static_cast<unsigned long long>(atFree), sent, events, lines.bad, records);
    Finish(fault, v, before, outcome);
}

void ResultsUnwritableRun(Verdict& v)
{
    const std::string fault = "results folder read-only";
    const int before = v.failures();
    const long events = 1200;
    Stage st;
    st.Profile(kKeys);
    mkdir(st.sb.path("results").c_str(), 0755);
    TmpfsMount disk(st.sb.path("results"), 64, true);
    if (!v.Expect(disk.ok(), disk.error()) || !v.Expect(st.MakeNode(false), fault + ": no node"))
        return;
    const std::string dump = Pattern(100000, 11);
    DropDump(st, "coredump-rores-1-1700000000", dump);
    Run run(st, {"-v-v", "--pct-motion", "0", "--throttle", "3", std::to_string(events)});
    const int status = run.Wait();
    const EventStream& node = st.capture->Finish();
    const std::string out = st.Out();
    v.Expect(ExitCode(status) == 0, fault + ": ended with " + DescribeStatus(status));
    v.Expect(st.ResultsFolder().empty(), fault + ": a results folder appeared");
    v.Expect(node.whole() == static_cast<uint64_t>(events) && node.clean(), fault + ": node: " + node.firstProblem());
    v.Expect(CountLines(out, "[INFO]Events injected:" + std::to_string(events)) == 1,
             fault + ": no summary on standard output");
    v.Expect(CountLines(out, "[INFO]Sending ") == static_cast<size_t>(events), fault + ": event lines missing on standard output");
    LineReport lines = CheckLines(out);
    v.Expect(lines.bad == 0, fault + ": broken line on standard output: " + lines.firstBad);
    ExpectDumpSaved(v, st, fault, "rores", dump, false);
    v.Expect(st.sb.Leftovers().empty(), fault + ": left running: " + st.sb.Leftovers());
    Finish(fault, v, before,
           DescribeStatus(status) + "; log lines and the crash record on standard output/error, dump moved");
}

// --- /tmp --------------------------------------------------------------------

void TmpUnlistableRun(Verdict& v)
{
    const std::string fault = "/tmp unlistable";
    const int before = v.failures();
    Stage st;
    st.Profile(kKeys);
    if (!v.Expect(st.MakeNode(true), fault + ": no node"))
        return;
    RunOptions opt;
    // Root reads any folder; without the permission bypass a mode of 000
    // shuts it out as it would any user.
    opt.withoutDacOverride = true;
    Run run(st, {"-v-v", "--pct-motion", "0", "--throttle", "2", "100000"}, opt);
    v.Expect(WaitFor([&] { return st.capture->whole() >= 100; }), fault + ": no gestures");
    const std::string tmp = st.sb.path("/tmp");
    chmod(tmp.c_str(), 0);
    if (!v.Expect(WaitFor([&] { return !run.Alive(); }, 10), fault + ": tapfuzz did not end"))
        run.Signal(SIGKILL);
    const int status = run.Wait();
    chmod(tmp.c_str(), 01777);
    const EventStream& node = st.capture->Finish();
    const std::string log = st.Log();
    v.Expect(ExitCode(status) == 1, fault + ": ended with " + DescribeStatus(status) + ", not exit 1");
    v.Expect(st.Err().find("tapfuzz: cannot list /tmp/: Permission denied") != std::string::npos,
             fault + ": no message on standard error");
    v.Expect(Messages(log, "cannot list /tmp/: Permission denied") == 1, fault + ": no line in the log");
    ExpectWholeLogs(v, st, fault);
    v.Expect(node.stray() == 0 && node.broken() <= 1, fault + ": node: " + node.firstProblem());
    std::string why;
    v.Expect(MatchLog(InfoMessages(log), node.gestures(), 1, &why), fault + ": " + why);
    v.Expect(st.sb.Leftovers().empty(), fault + ": left running: " + st.sb.Leftovers());
    Finish(fault, v, before,
           DescribeStatus(status) + " with 'cannot list /tmp/: Permission denied'" +
               (node.fingerDown() ? "; the gesture in progress was cut off" : "; node ends whole"));
}

// --- The save folder ---------------------------------------------------------

// A dump that cannot be moved stays in /tmp, is recorded once and its
// failure logged once, and is moved whole once the folder can take it.
void SaveFolderRun(Verdict& v, bool missing)
{
    const std::string fault = missing ? "save folder missing" : "save folder full";
    const int before = v.failures();
    Stage st;
    st.Profile(kKeys, missing ? "./later/" : "./saved/");
    std::unique_ptr<TmpfsMount> small;
    if (!missing) {
        small.reset(new TmpfsMount(st.sb.path("saved"), 1024));
        if (!v.Expect(small->ok(), small->error()))
            return;
    }
    if (!v.Expect(st.MakeNode(false), fault + ": no node"))
        return;
    const std::string app = missing ? "nosave" : "fullsave";
    const std::string name = "coredump-" + app + "-1-1700000000";
    const std::string folder = missing ? "later/" : "saved/";
    const std::string newPath = st.sb.path(folder + "coredump-" + app + "-1-" + kDumpTime);
    const std::string dump = Pattern(2 << 20, 13);
    DropDump(st, name, dump);
    Run run(st, {"--throttle", "50", "100000"});
    v.Expect(WaitFor([&] { return Messages(st.Log(), "cannot move /tmp/" + name) == 1; }),
             fault + ": no line about the failed move");
    sleep(3);  // three more scans, each of which must stay quiet
    const std::string log = st.Log();
    v.Expect(Messages(log, "cannot move") == 1, fault + ": the failure was logged " +
                                                    std::to_string(Messages(log, "cannot move")) + " times");
    v.Expect(Sandbox::ReadFile(st.sb.path("/tmp/" + name)) == dump, fault + ": the dump in /tmp is not whole");
    int partial = 0;
    if (DIR* d = opendir(st.sb.path(folder).c_str())) {
        while (struct dirent* e = readdir(d))
            partial += e->d_name[0] != '.' || strncmp(e->d_name, ".tapfuzz-part-", 14) == 0;
        closedir(d);
    }
    v.Expect(partial == 0, fault + ": " + std::to_string(partial) + " files left in the save folder");

    // Room again.
    if (missing)
        v.Expect(mkdir(st.sb.path("later").c_str(), 0755) == 0, fault + ": cannot make the folder");
    else
        v.Expect(small->Resize(8192), fault + ": cannot grow the save folder");
    v.Expect(WaitFor([&] { return Sandbox::ReadFile(newPath) == dump; }), fault + ": the dump was not moved later");
    v.Expect(WaitFor([&] { return Messages(st.Log(), "moved /tmp/" + name) == 1; }), fault + ": no line about the retry");
    run.Signal(SIGINT);
    const int status = run.Wait();
    st.capture->Finish();
    const std::string record = "[CRASH][Coredump]./" + folder + "coredump-" + app + "-1-" + kDumpTime;
    v.Expect(ExitCode(status) == 0, fault + ": ended with " + DescribeStatus(status));
    v.Expect(CountLines(st.Log(), record) == 1 && CountLines(st.Log("crash.log"), record) == 1,
             fault + ": not recorded once in each log");
    v.Expect(access(st.sb.path("/tmp/" + name).c_str(), F_OK) != 0, fault + ": the dump is still in /tmp");
    ExpectWholeLogs(v, st, fault);
    v.Expect(st.sb.Leftovers().empty(), fault + ": left running: " + st.sb.Leftovers());
    Finish(fault, v, before, DescribeStatus(status) + "; kept in /tmp, one record, one failure line, moved whole "
                                                      "after room was made");
}

}  // namespace

int DeviceFaults()
{
    printf("\n== Device faults\n");
    fflush(stdout);
    Verdict v("faults");
    gRows.clear();
    NodeFaultRun(v, Vanish);
    NodeFaultRun(v, Eio);
    NodeFaultRun(v, Enospc);
    NodeFaultRun(v, Short);
    IntermittentRun(v);
    DevFullRun(v);
    ResultsFullRun(v);
    ResultsUnwritableRun(v);
    TmpUnlistableRun(v);
    SaveFolderRun(v, true);
    SaveFolderRun(v, false);
    for (const Row& r : gRows)
        printf("%-28s %-5s %s\n", r.fault.c_str(), r.failures == 0 ? "PASS" : "FAIL", r.outcome.c_str());
    v.PrintFailures();
    printf("device faults: %s\n", v.failures() == 0 ? "PASS" : "FAIL");
    return v.failures();
}
