// Problem: a shrink runs the application hundreds of times; each run must
// start from a fresh application, end it without signalling a process that
// took its pid, and be judged by the dumps the watcher saves, which arrive
// a second or two after the crash on another thread.
// Solution: the search apart from the tries, so that it can be checked in
// process; a try that ends the application through pidfds, starts it with
// APP_RESTART, replays the candidate at its recorded gaps and waits for the
// watcher's word on the dumps, ending early once the application is gone.
#include "run/shrink.h"

#include <dirent.h>
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

std::string signatureKey(const std::string& text)
{
    size_t a = text.find(' ');
    if (a == std::string::npos)
        return text;
    size_t b = text.find(' ', a + 1);
    return text.substr(0, a) + "," + text.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
}

namespace {

bool writeAll(int fd, const char* data, size_t size)
{
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The kernel keeps 15 characters of a program's name (comm).
const size_t kCommLength = 15;

std::string signatureOnLine(const std::string& line)
{
    size_t at = line.rfind(" signature:");
    return at == std::string::npos ? "unknown" : line.substr(at + 11);
}

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
    std::string note;
    out->record = record;
    // loadReplay refuses what is no regular file before it is read whole.
    std::vector<ReplayEvent> all;
    if (!loadReplay(record, 1, INT_MAX, limits, &all, why, &note))
        return false;
    std::string text = readSmall(record, 256u << 20);
    bool gestures = false, found = false;
    std::vector<std::pair<int, std::string>> tails;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos)
            break;
        const std::string line = text.substr(at, end - at);
        std::string dump;
        long long after = 0;
        if (readCrashLine(line, &dump, &after)) {
            std::string program, pid, time;
            const std::string base = dump.substr(dump.rfind('/') + 1);
            if (found || after < 0 || (crash != 0 && after != crash) || !splitSavedName(base, &program, &pid, &time) ||
                program != app.substr(0, kCommLength))
                continue;
            found = true;
            out->after = static_cast<int>(after);
            out->program = program;
            out->key = dumpKey(dump);
            if (out->key.empty())
                out->key = signatureOnLine(line);
        } else if (!line.empty() && line[0] == '#') {
            if (!gestures && line.rfind("# shrunk from:", 0) != 0)
                out->header.push_back(line + "\n");
        } else {
            gestures = true;
            size_t second = line.find(' ', line.find(' ') + 1);
            tails.emplace_back(atoi(line.c_str()), second == std::string::npos ? "" : line.substr(second));
        }
    }
    if (!found) {
        *why = std::string(record) + " holds no crash of " + app +
               (crash != 0 ? " after gesture " + std::to_string(crash) : std::string());
        return false;
    }
    // Both in the record's order, the indexes rising. The gesture under way
    // when the dump was seen (a long click, say, whose touch-down crashed
    // the application) is recorded after it: it is taken too, and the
    // search drops it when the crash does not need it.
    auto t = tails.begin();
    for (const ReplayEvent& e : all) {
        if (e.index > out->after + 1)
            break;
        out->events.push_back(e);
        while (t != tails.end() && t->first < e.index)
            ++t;
        out->tails.push_back(t != tails.end() && t->first == e.index ? t->second : "");
    }
    if (out->events.empty()) {
        *why = std::string(record) + ": no gesture came before the crash";
        return false;
    }
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
    void saved(const std::string& name, const std::string& signature)
    {
        std::string program;
        pid_t pid = 0;
        if (!splitDumpName(name, &program, &pid))
            program = name;
        std::lock_guard<std::mutex> hold(mLock);
        mSaved.emplace_back(program, signatureKey(signature));
    }
    // Dumps found so far, dumps saved so far.
    std::pair<size_t, size_t> counts()
    {
        std::lock_guard<std::mutex> hold(mLock);
        return {mFound, mSaved.size()};
    }
    // A dump saved after the first `from` of `program` with key `key`
    // ("unknown": any of the program's).
    bool target(size_t from, const std::string& program, const std::string& key)
    {
        std::lock_guard<std::mutex> hold(mLock);
        for (size_t i = from; i < mSaved.size(); ++i)
            if (mSaved[i].first == program && (key == "unknown" || mSaved[i].second == key))
                return true;
        return false;
    }

private:
    std::mutex mLock;
    size_t mFound = 0;
    std::vector<std::pair<std::string, std::string>> mSaved;
};

std::shared_ptr<ShrinkDumps> shrinkDumps()
{
    return std::make_shared<ShrinkDumps>();
}

void shrinkWatch(const std::shared_ptr<ShrinkDumps>& dumps, WatchSettings* watch)
{
    watch->onFound = [dumps](const std::string&) { dumps->found(); };
    watch->onSaved = [dumps](const std::string& name, const std::string& signature) { dumps->saved(name, signature); };
    // The shrink starts the application itself, once per try.
    watch->restart.clear();
    watch->stopOnCrash = false;
}

namespace {

struct AppProc {
    pid_t pid;
    unsigned long long start;
};

bool running(pid_t pid, ProcessStat* stat)
{
    return readProcessStat(pid, stat) && stat->state != 'Z' && stat->state != 'X' && stat->state != 'x';
}

// The processes of the application: its comm, or the base name of the
// first word of its command line, as the watch finds it.
std::vector<AppProc> findApp(const std::string& name)
{
    std::vector<AppProc> found;
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return found;
    while (struct dirent* d = readdir(dir)) {
        char* end = nullptr;
        long pid = strtol(d->d_name, &end, 10);
        ProcessStat stat;
        if (pid <= 0 || *end != '\0' || pid == getpid() || !running(static_cast<pid_t>(pid), &stat))
            continue;
        if (stat.comm != name.substr(0, kCommLength)) {
            std::string first = readSmall("/proc/" + std::to_string(pid) + "/cmdline", 1024).c_str();
            if (first.substr(first.rfind('/') + 1) != name)
                continue;
        }
        found.push_back({static_cast<pid_t>(pid), stat.start});
    }
    closedir(dir);
    return found;
}

class Shrinker {
public:
    Shrinker(const ShrinkInput& input, const ShrinkSettings& settings, InjectorEvent& injector,
             std::shared_ptr<ShrinkDumps> dumps)
        : mIn(input), mSet(settings), mInjector(injector), mDumps(std::move(dumps))
    {
    }
    ~Shrinker() { reap(); }

    TryResult tryOnce(const std::vector<size_t>& candidate)
    {
        if (stopSignal() != 0)
            return TryResult::kStop;
        const size_t mark = mDumps->counts().second;
        endApp();
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

private:
    void reap()
    {
        for (auto it = mShells.begin(); it != mShells.end();) {
            pid_t r = waitpid(*it, nullptr, WNOHANG);
            it = r == 0 ? it + 1 : mShells.erase(it);
        }
    }

    // SIGTERM, then SIGKILL after 2 s, to the processes seen, never to one
    // that took a pid afterwards.
    void endApp()
    {
        std::vector<std::unique_ptr<ProcessHandle>> held;
        for (const AppProc& p : findApp(mSet.app)) {
            held.emplace_back(new ProcessHandle());
            if (!held.back()->hold(p.pid, p.start))
                held.pop_back();
        }
        for (int sig : {SIGTERM, SIGKILL}) {
            for (auto& h : held)
                h->signal(sig);
            for (long long t = monotonicMs(); monotonicMs() - t < 2000;) {
                reap();
                bool left = false;
                for (auto& h : held)
                    left = left || (h->signal(0) == 0 && !findApp(mSet.app).empty());
                if (!left)
                    return;
                waitOrSignal(20000);
            }
        }
    }

    void startApp()
    {
        pid_t pid = startShell(mSet.restart);
        if (pid < 0) {
            LOG(INFO) << "shrink: cannot start APP_RESTART: " << errorText(errno);
            return;
        }
        mShells.push_back(pid);
        // Up: there, then asleep (waiting for input) rather than still
        // starting, at most 2 s more; APP_RESTART_DELAY covers the rest.
        for (long long t = monotonicMs(), seen = -1; monotonicMs() - t < 10000 && stopSignal() == 0;) {
            reap();
            std::vector<AppProc> app = findApp(mSet.app);
            bool asleep = !app.empty();
            for (const AppProc& p : app) {
                ProcessStat stat;
                asleep = asleep && readProcessStat(p.pid, &stat) && stat.state == 'S';
            }
            seen = seen < 0 && !app.empty() ? monotonicMs() : seen;
            if (asleep || (seen >= 0 && monotonicMs() - seen >= 2000))
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
        for (;;) {
            if (mDumps->target(mark, mIn.program, mIn.key))
                return TryResult::kReproduced;
            if (stopSignal() != 0)
                return TryResult::kStop;
            reap();
            const long long now = monotonicMs();
            const std::pair<size_t, size_t> c = mDumps->counts();
            if (c.first != found)
                found = c.first, quiet = now;
            const bool pending = c.first > c.second;
            gone = !findApp(mSet.app).empty() ? -1 : gone < 0 ? now : gone;
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
    std::vector<pid_t> mShells;
    int mTries = 0;
};

// RECORD with "-min" before ".events", then -min-2, ...: never a file that
// is there.
std::string writeMin(const ShrinkInput& in, const Shrinker& shrinker, const std::vector<size_t>& kept, std::string* why)
{
    std::string stem = in.record;
    cutRecordEnd(&stem);
    std::string text;
    for (const std::string& line : in.header)
        text += line;
    text += "# shrunk from:" + escapeLogText(in.record) + " crash after:" + std::to_string(in.after) +
            " signature:" + in.key + "\n";
    long long at = 0;
    int index = 0;
    for (size_t i : kept) {
        at += shrinker.gapOf(i);
        text += std::to_string(++index) + " " + std::to_string(at) + in.tails[i] + "\n";
    }
    for (int n = 1; n < 100; ++n) {
        std::string path = stem + (n == 1 ? "-min" : "-min-" + std::to_string(n)) + kRecordEnd;
        Fd fd(openRetry(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.get() < 0 && errno == EEXIST)
            continue;
        if (fd.get() < 0 || !writeAll(fd.get(), text.data(), text.size()) || fd.close() != 0) {
            *why = path + ": " + errorText(errno);
            return "";
        }
        return path;
    }
    *why = stem + "-min" + kRecordEnd + ": too many of that name";
    return "";
}

}  // namespace

int runShrink(const ShrinkInput& input, const ShrinkSettings& settings, InjectorEvent& injector,
              const std::shared_ptr<ShrinkDumps>& dumps, const std::function<void()>& stopWatcher)
{
    Shrinker shrinker(input, settings, injector, dumps);
    ShrinkSearch s = shrinkSearch(input.events.size(), settings.tries,
                                  [&shrinker](const std::vector<size_t>& c) { return shrinker.tryOnce(c); });
    // The dumps of the last try are saved by now; nothing more is watched.
    stopWatcher();
    if (stopSignal() != 0)
        LOG(INFO) << "stopped by " << (stopSignal() == SIGALRM ? "SIGALRM" : "SIGINT");
    if (!s.reproduced) {
        if (stopSignal() != 0)
            return 0;
        const std::string text =
            "shrink: the crash did not reproduce in " + std::to_string(std::min(s.tries, kShrinkRepeats)) + " tries";
        fprintf(stderr, "tapfuzz: %s\n", text.c_str());
        LOG(INFO) << text;
        return 1;
    }
    std::string why;
    const std::string path = writeMin(input, shrinker, s.kept, &why);
    if (path.empty()) {
        fprintf(stderr, "tapfuzz: shrink: not written: %s\n", why.c_str());
        LOG(INFO) << "shrink: not written: " << escapeLogText(why);
        return 1;
    }
    LOG(INFO) << "shrink: " << static_cast<long>(s.kept.size()) << " gestures from "
              << static_cast<long>(input.events.size()) << " in " << s.tries << " tries: " << escapeLogText(path);
    return 0;
}
