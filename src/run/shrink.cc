// Problem: a shrink runs the application hundreds of times; each run must
// start from a fresh application, end what it started and nothing else
// (not a process that took its pid, not one of another user), be judged
// only by dumps of what it started, which the watcher saves a second or two
// after the crash on another thread, and lose no result to a stop.
// Solution: the search apart from the tries, so that it can be checked in
// process; a try that ends the last try's shell and everything it started
// through pidfds, starts APP_RESTART, replays the candidate at its recorded
// gaps and waits for the watcher's word on a dump whose pid and owner the
// try saw, ending early once the application is gone; the kept list logged
// before it is written.
#include "run/shrink.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "base/clock.h"
#include "base/files.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "gesture/injector_event.h"
#include "record/record_line.h"
#include "run/stop.h"
#include "watch/app_watch.h"
#include "watch/core_signature.h"
#include "watch/dump_name.h"
#include "watch/process_handle.h"

ShrinkSearch shrinkSearch(size_t count, int maxTries,
                          const std::function<TryResult(const std::vector<size_t>&)>& tryOnce)
{
    ShrinkSearch s;
    bool stop = false;
    auto reproduces = [&](const std::vector<size_t>& candidate) {
        // A try cut short by a signal is not counted: the closing line's
        // count then matches the try lines logged.
        for (int r = 0; r < kShrinkRepeats && !stop && s.tries < maxTries; ++r) {
            TryResult t = tryOnce(candidate);
            stop = t == TryResult::kStop;
            s.tries += !stop;
            if (t == TryResult::kReproduced)
                return true;
        }
        return false;
    };
    std::vector<size_t> all(count);
    for (size_t i = 0; i < count; ++i)
        all[i] = i;
    if (count == 0 || !reproduces(all))
        return s;
    s.reproduced = true;
    s.kept = all;
    // After a chunk goes, the next round starts at the chunk that took its
    // place: the ones before it were just kept at a finer cut.
    size_t n = 2, start = 0;
    while (s.kept.size() >= 2 && !stop && s.tries < maxTries) {
        const size_t size = s.kept.size();
        n = std::min(n, size);
        bool reduced = false, whole = true;
        for (size_t j = 0; j < n && !reduced; ++j) {
            if (stop || s.tries >= maxTries) {
                whole = false;
                break;
            }
            const size_t i = (start + j) % n, lo = i * size / n, hi = (i + 1) * size / n;
            std::vector<size_t> candidate(s.kept.begin(), s.kept.begin() + lo);
            candidate.insert(candidate.end(), s.kept.begin() + hi, s.kept.end());
            if (reproduces(candidate)) {
                s.kept = candidate;
                n = std::max<size_t>(n - 1, 2);
                start = i;
                reduced = true;
            }
        }
        if (reduced)
            continue;
        if (!whole || stop || s.tries >= maxTries)
            break;
        if (n >= size) {
            s.minimal = true;
            break;
        }
        n = std::min(n * 2, size);
        start = 0;
    }
    s.minimal = s.minimal || s.kept.size() == 1;
    return s;
}

namespace {

// A record's header is a dozen lines; a hostile one is not copied whole
// into the result.
const size_t kHeaderLines = 64;

// The key of the saved dump at `path`, read while it is there; "" when it
// cannot be opened.
std::string dumpKey(const std::string& path)
{
    Fd fd(openRetry(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    return fd.get() < 0 ? "" : readCoreSignature(fd.get()).key();
}

}  // namespace

bool loadShrinkInput(const char* record, const std::string& app, int crash, const ReplayLimits& limits,
                     ShrinkInput* out, std::string* why)
{
    out->record = record;
    // The record is streamed twice, checked whole both times, 64 KB at a
    // time: first for its crash and header, keeping no gesture, then for the
    // gestures up to the crash. Memory grows with those gestures alone, never
    // with what follows them or with the size of the file.
    ReplayParser look(record, 1, 0, limits);
    bool gestures = false, found = false;
    std::string dump, logged;
    look.onLine([&](const std::string& line, const ReplayEvent*) {
        std::string path;
        long long after = 0;
        if (readCrashLine(line, &path, &after)) {
            std::string program, pid, time;
            const std::string base = path.substr(path.rfind('/') + 1);
            if (found || after < 0 || after >= INT_MAX || (crash != 0 && after != crash) ||
                !splitSavedName(base, &program, &pid, &time) || program != app.substr(0, kCommLength))
                return;
            found = true;
            out->after = static_cast<int>(after);
            out->program = program;
            dump = path;
            logged = readCrashKey(line);
        } else if (!line.empty() && line[0] == '#') {
            if (!gestures && out->header.size() < kHeaderLines && line.rfind(std::string("# ") + kShrunkFromKey + ":", 0) != 0)
                out->header.push_back(line + "\n");
        } else if (!line.empty()) {
            gestures = true;
        }
    });
    if (!feedReplay(record, &look, why))
        return false;
    if (!found) {
        *why = std::string(record) + " holds no crash of " + app +
               (crash != 0 ? " after gesture " + std::to_string(crash) : std::string());
        return false;
    }
    out->key = dumpKey(dump);
    if (out->key.empty())
        out->key = logged;
    // The gesture under way when the dump was seen (a long click, say, whose
    // touch-down crashed the application) is recorded after it: it is taken
    // too, and the search drops it when the crash does not need it.
    ReplayParser take(record, 1, out->after + 1, limits);
    take.onLine([out](const std::string& line, const ReplayEvent* kept) {
        if (kept == nullptr)
            return;
        size_t second = line.find(' ', line.find(' ') + 1);
        out->tails.push_back(second == std::string::npos ? "" : line.substr(second));
    });
    if (!feedReplay(record, &take, why))
        return false;
    const bool ok = take.finish();
    if (take.events().empty()) {
        *why = std::string(record) + ": no gesture came before the crash";
        return false;
    }
    if (!ok) {
        *why = take.why();
        return false;
    }
    out->events.swap(take.events());
    return true;
}

// The dumps the watcher found and saved, as it tells them.
class ShrinkDumps {
public:
    void found()
    {
        std::lock_guard<std::mutex> hold(mLock);
        ++mFound;
    }
    void saved(const std::string& name, uid_t owner, const std::string& key)
    {
        Saved d{name, 0, owner, key};
        if (!splitDumpName(name, &d.program, &d.pid))
            d.pid = 0;
        std::lock_guard<std::mutex> hold(mLock);
        mSaved.push_back(d);
    }
    // Dumps found so far, dumps saved so far.
    std::pair<size_t, size_t> counts()
    {
        std::lock_guard<std::mutex> hold(mLock);
        return {mFound, mSaved.size()};
    }
    // A dump saved after the first `from` of `program` with key `key`
    // ("unknown": any of the program's) whose pid and owner `ours` takes.
    bool target(size_t from, const std::string& program, const std::string& key,
                const std::function<bool(pid_t pid, uid_t owner)>& ours)
    {
        std::lock_guard<std::mutex> hold(mLock);
        for (size_t i = from; i < mSaved.size(); ++i) {
            const Saved& d = mSaved[i];
            if (d.program == program && (key == kUnknownKey || sameCrashKey(d.key, key)) && d.pid > 0 && ours(d.pid, d.owner))
                return true;
        }
        return false;
    }

private:
    struct Saved {
        std::string program;
        pid_t pid;
        uid_t owner;
        std::string key;
    };
    std::mutex mLock;
    size_t mFound = 0;
    std::vector<Saved> mSaved;
};

std::shared_ptr<ShrinkDumps> shrinkDumps()
{
    return std::make_shared<ShrinkDumps>();
}

void shrinkWatch(const std::shared_ptr<ShrinkDumps>& dumps, WatchSettings* watch)
{
    watch->onFound = [dumps](const std::string&) { dumps->found(); };
    watch->onSaved = [dumps](const std::string& name, uid_t owner, const std::string& key) {
        dumps->saved(name, owner, key);
    };
    // The shrink starts the application itself, once per try.
    watch->restart.clear();
    watch->stopOnCrash = false;
    watch->maxCrashes = 0;
}

namespace {

// Whether the process seen as `p` still runs (a zombie does not), and as
// which uid now: it may have changed it since.
bool alive(const SeenProcess& p, uid_t* uid)
{
    SeenProcess now;
    if (!readSeenProcess(p.pid, [](pid_t, const ProcessStat&) { return true; }, &now) || now.start != p.start)
        return false;
    *uid = now.uid;
    return true;
}

// What one look at the processes of the shrink's shells found.
struct Look {
    bool app = false;     // one of them runs the application
    bool asleep = true;   // and every such one sleeps (waits for input)
};

class Shrinker {
public:
    Shrinker(const ShrinkInput& input, const ShrinkSettings& settings, InjectorEvent& injector,
             std::shared_ptr<ShrinkDumps> dumps)
        : mIn(input), mSet(settings), mInjector(injector), mDumps(std::move(dumps))
    {
    }
    ~Shrinker() { endOurs(); }
    Shrinker(const Shrinker&) = delete;
    Shrinker& operator=(const Shrinker&) = delete;

    TryResult tryOnce(const std::vector<size_t>& candidate)
    {
        if (stopSignal() != 0)
            return TryResult::kStop;
        const size_t mark = mDumps->counts().second;
        endOurs();
        startApp();
        bool first = true;
        for (size_t i : candidate) {
            // A hostile gap divided by a small speed would not fit: a day at most.
            const double due = first || mSet.speed == 0 ? 0 : gapOf(i) / mSet.speed;
            long long gap = static_cast<long long>(std::min(due, 86400e6));
            first = false;
            for (long long w = gap; w > 0 && stopSignal() == 0; w -= 1000000000)
                waitOrSignal(static_cast<long>(std::min(w, 1000000000LL)));
            if (stopSignal() != 0)
                return TryResult::kStop;
            mInjector.inject(mIn.events[i].event, mIn.events[i].pathSeed);
        }
        TryResult result = waitForDump(mark);
        if (result != TryResult::kStop)
            LOG(INFO) << "shrink: try " << ++mTries << ": " << static_cast<long>(candidate.size()) << " gestures, "
                      << (result == TryResult::kReproduced ? "reproduced" : "not reproduced");
        return result;
    }

    long long gapOf(size_t i) const
    {
        long long gap = mIn.events[i].at - (i == 0 ? 0 : mIn.events[i - 1].at);
        return gap > 0 ? gap : 0;
    }

    // Ends what the shells of the tries started and still runs under
    // tapfuzz's own uid: SIGTERM, then SIGKILL after 2 s, each held by its
    // pidfd (or start time), so that a process that took a pid since is
    // never signalled. Bounded (4 s) even while a stop signal is pending.
    void endOurs()
    {
        const uid_t me = geteuid();
        for (int sig : {SIGTERM, SIGKILL}) {
            for (long long t = monotonicMs();; usleep(20000)) {
                look();
                bool left = false;
                for (Ours& p : mOurs) {
                    uid_t uid = 0;
                    if (!alive(p.seen, &uid))
                        continue;
                    if (uid != me) {
                        if (!p.told)
                            LOG(INFO) << "shrink: pid " << p.seen.pid << " of APP_RESTART runs as uid " << uid
                                      << ", not tapfuzz's: not signalled";
                        p.told = true;
                        continue;
                    }
                    if (p.sent != sig)
                        p.handle->signal(sig);
                    p.sent = sig;
                    left = true;
                }
                if (!left || monotonicMs() - t >= 2000)
                    break;
            }
        }
        reap();
        for (auto it = mOurs.begin(); it != mOurs.end();) {
            uid_t uid = 0;
            if (!alive(it->seen, &uid)) {
                it = mOurs.erase(it);
                continue;
            }
            if (uid == me && it->sent == SIGKILL)
                LOG(INFO) << "shrink: pid " << it->seen.pid << " of APP_RESTART outlived SIGKILL";
            ++it;
        }
    }

private:
    struct Ours {
        SeenProcess seen;
        std::unique_ptr<ProcessHandle> handle;
        int sent = 0;       // the signal sent last
        bool told = false;  // that it is not signalled
    };

    void reap()
    {
        for (auto it = mShells.begin(); it != mShells.end();) {
            pid_t r = waitpid(*it, nullptr, WNOHANG);
            it = r == 0 ? it + 1 : mShells.erase(it);
        }
    }

    // The processes of the shells not yet reaped: the shells, their
    // descendants and the members of their process groups (startShell gives
    // each its own), found from one reading of each process's stat; held
    // from now on, and those of this try remembered with their uids.
    Look look()
    {
        reap();
        Look l;
        if (mShells.empty())
            return l;
        std::vector<std::pair<pid_t, ProcessStat>> all;
        scanProcesses([&all](pid_t pid, const ProcessStat& stat) {
            all.emplace_back(pid, stat);
            return false;
        });
        auto among = [](const std::vector<pid_t>& pids, pid_t pid) {
            return std::find(pids.begin(), pids.end(), pid) != pids.end();
        };
        std::vector<pid_t> ours(mShells);
        for (bool grew = true; grew;) {
            grew = false;
            for (const auto& p : all)
                if (!among(ours, p.first) && (among(mShells, p.second.group) || among(ours, p.second.parent))) {
                    ours.push_back(p.first);
                    grew = true;
                }
        }
        for (const auto& e : all) {
            SeenProcess p;
            if (!among(ours, e.first) || !readSeenProcess(e.first, [](pid_t, const ProcessStat&) { return true; }, &p) ||
                p.start != e.second.start)
                continue;
            if (runsProgram(e.first, e.second, mSet.app)) {
                l.app = true;
                l.asleep = l.asleep && e.second.state == 'S';
            }
            auto same = [&p](const SeenProcess& s) { return s.pid == p.pid && s.start == p.start; };
            if (std::find_if(mSeen.begin(), mSeen.end(), same) == mSeen.end())
                mSeen.push_back(p);
            if (std::find_if(mOurs.begin(), mOurs.end(), [&same](const Ours& o) { return same(o.seen); }) != mOurs.end())
                continue;
            Ours o;
            o.seen = p;
            o.handle.reset(new ProcessHandle());
            if (o.handle->hold(p.pid, p.start))
                mOurs.push_back(std::move(o));
        }
        l.asleep = l.asleep && l.app;
        return l;
    }

    // A dump of a process this try's shell started, seen running as the
    // dump's owner; or of the shell itself, which may have become the
    // application (exec) and crashed before a look saw it.
    bool ours(pid_t pid, uid_t owner) const
    {
        for (const SeenProcess& s : mSeen)
            if (s.pid == pid && s.uid == owner)
                return true;
        return owner == geteuid() && pid == mTryShell;
    }

    void startApp()
    {
        mSeen.clear();
        mTryShell = startShell(mSet.restart);
        if (mTryShell < 0) {
            LOG(INFO) << "shrink: cannot start APP_RESTART: " << errorText(errno);
            return;
        }
        mShells.push_back(mTryShell);
        // Up: there, then asleep (waiting for input) rather than still
        // starting, at most 2 s more; APP_RESTART_DELAY covers the rest.
        for (long long t = monotonicMs(), seen = -1; monotonicMs() - t < 10000 && stopSignal() == 0;) {
            Look l = look();
            seen = seen < 0 && l.app ? monotonicMs() : seen;
            if (l.asleep || (seen >= 0 && monotonicMs() - seen >= 2000))
                break;
            waitOrSignal(20000);
        }
        for (int i = 0; i < mSet.restartDelay && stopSignal() == 0; ++i)
            waitOrSignal(1000000);
    }

    // Up to --wait seconds for a dump of the crash; over early once the
    // application is gone and a second passed with no dump found or pending.
    TryResult waitForDump(size_t mark)
    {
        const long long start = monotonicMs(), wait = mSet.waitSeconds * 1000LL;
        long long gone = -1, quiet = start;
        size_t found = mDumps->counts().first;
        auto ours = [this](pid_t pid, uid_t owner) { return this->ours(pid, owner); };
        for (;;) {
            const bool app = look().app;
            if (mDumps->target(mark, mIn.program, mIn.key, ours))
                return TryResult::kReproduced;
            if (stopSignal() != 0)
                return TryResult::kStop;
            const long long now = monotonicMs();
            const std::pair<size_t, size_t> c = mDumps->counts();
            if (c.first != found)
                found = c.first, quiet = now;
            const bool pending = c.first > c.second;
            gone = app ? -1 : gone < 0 ? now : gone;
            if (!pending && gone >= 0 && now - gone >= 1000 && now - quiet >= 1000)
                return TryResult::kNotReproduced;
            if (now - start >= wait + (pending ? 3000 : 0))
                return TryResult::kNotReproduced;
            waitOrSignal(50000);
        }
    }

    const ShrinkInput& mIn;
    const ShrinkSettings& mSet;
    InjectorEvent& mInjector;
    std::shared_ptr<ShrinkDumps> mDumps;
    std::vector<pid_t> mShells;      // started, not yet reaped
    pid_t mTryShell = -1;            // this try's
    std::vector<SeenProcess> mSeen;  // this try's processes, for ours()
    std::vector<Ours> mOurs;         // held until they are gone
    int mTries = 0;
};

// The gesture lines of the kept list: renumbered, each after its old gap.
std::vector<std::string> keptLines(const ShrinkInput& in, const Shrinker& shrinker, const std::vector<size_t>& kept)
{
    std::vector<std::string> lines;
    long long at = 0;
    for (size_t i : kept) {
        at += shrinker.gapOf(i);
        lines.push_back(std::to_string(lines.size() + 1) + " " + std::to_string(at) + in.tails[i]);
    }
    return lines;
}

// RECORD with "-min" before ".events", then -min-2, ...: never a file that
// is there.
std::string writeMin(const ShrinkInput& in, const std::vector<std::string>& lines, std::string* why)
{
    std::string stem = in.record;
    cutRecordEnd(&stem);
    std::string text;
    for (const std::string& line : in.header)
        text += line;
    text += shrunkFromLine(escapeLogText(in.record), in.after, in.key);
    for (const std::string& line : lines)
        text += line + "\n";
    for (int n = 1; n < 100; ++n) {
        std::string path = shrunkRecordName(stem, n);
        Fd fd(openRetry(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.get() < 0 && errno == EEXIST)
            continue;
        if (fd.get() < 0 || writeAll(fd.get(), text.data(), text.size()) != 0 || fd.close() != 0) {
            *why = path + ": " + errorText(errno);
            return "";
        }
        return path;
    }
    *why = shrunkRecordName(stem, 1) + " to " + shrunkRecordName(stem, 99) + " are all taken";
    return "";
}

const char* signalName(int sig)
{
    return sig == SIGALRM ? "SIGALRM" : sig == SIGTERM ? "SIGTERM" : "SIGINT";
}

// An application of the name already running under tapfuzz's uid: the
// shrink would end only what it starts, and two of it would share the
// screen and the panel. Its pid, or 0.
pid_t runningAlready(const std::string& app)
{
    for (const SeenProcess& p : findProgram(app))
        if (p.uid == geteuid())
            return p.pid;
    return 0;
}

}  // namespace

int runShrink(const ShrinkInput& input, const ShrinkSettings& settings, InjectorEvent& injector,
              const std::shared_ptr<ShrinkDumps>& dumps, const std::function<void()>& stopWatcher)
{
    if (pid_t pid = runningAlready(settings.app)) {
        const std::string text = "shrink: " + escapeLogText(settings.app) + " already runs as pid " +
                                 std::to_string(pid) + ", not started by the shrink: end it first";
        fprintf(stderr, "tapfuzz: %s\n", text.c_str());
        LOG(INFO) << text;
        stopWatcher();
        return 1;
    }
    Shrinker shrinker(input, settings, injector, dumps);
    ShrinkSearch s = shrinkSearch(input.events.size(), settings.tries,
                                  [&shrinker](const std::vector<size_t>& c) { return shrinker.tryOnce(c); });
    // The application is left as the shrink found it: not running.
    shrinker.endOurs();
    // The dumps of the last try are saved by now; nothing more is watched.
    stopWatcher();
    if (stopSignal() != 0)
        LOG(INFO) << "stopped by " << signalName(stopSignal());
    if (!s.reproduced) {
        if (stopSignal() != 0)
            return 0;
        const std::string text =
            "shrink: the crash did not reproduce in " + std::to_string(std::min(s.tries, kShrinkRepeats)) + " tries";
        fprintf(stderr, "tapfuzz: %s\n", text.c_str());
        LOG(INFO) << text;
        return 1;
    }
    // The list goes into the log before the file: a result that cannot be
    // written is not lost.
    const std::vector<std::string> lines = keptLines(input, shrinker, s.kept);
    for (const std::string& line : lines)
        LOG(INFO) << "shrink: kept: " << escapeLogText(line);
    std::string why;
    const std::string path = writeMin(input, lines, &why);
    if (path.empty()) {
        const std::string text = "shrink: not written: " + why + "; the " + std::to_string(lines.size()) +
                                 " gestures kept are the \"shrink: kept:\" lines of the log";
        fprintf(stderr, "tapfuzz: %s\n", text.c_str());
        LOG(INFO) << escapeLogText(text);
        return 1;
    }
    LOG(INFO) << "shrink: " << static_cast<long>(s.kept.size()) << " gestures from "
              << static_cast<long>(input.events.size()) << " in " << s.tries << " tries: " << escapeLogText(path);
    return 0;
}
