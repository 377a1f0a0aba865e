// Problem: the logs and records of a folder may be huge, cut short by a
// killed run or a full disk, or written by hand or by an application that
// shares a descriptor of the log; the report must take in what they say
// without believing more than tapfuzz writes, and in bounded memory.
// Solution: a line reader that cuts every line to 64 KB, and readers that
// keep per-run figures with a bound on every list and text they keep.
#include "report/report_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "base/files.h"
#include "gesture/pinch_path.h"
#include "gesture/pointer.h"
#include "record/record_line.h"
#include "watch/dump_name.h"

namespace {

const size_t kMaxSwipeLines = 5000;        // drawn per run; more only blacken the map
// What one page holds, whatever the folder holds.
const long long kMaxCells = 250000;                // touch-map cells per run: finer grids are coarsened
const size_t kMaxMarks = 10000;                    // listed per run; more are counted
const size_t kMaxMarkBytes = 8 << 20;              // text of the marks kept from the log (all runs), and per record
const size_t kNoteBytes = 1024;      // of a note's text
const size_t kMaxHead = 32;          // "# key:value" lines kept per record
const size_t kShownLine = 120;       // bytes of a gesture line shown before a mark
const long long kMaxAt = 100000LL * 60000000;  // 70 days: a later gesture is no run of ours
const char* const kMarks[] = {"crash", "dump", "freeze", "exit"};
// Read without following a link in the last step and without waiting on a
// FIFO or a device that a hostile name may be.
const int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The decimal number at p (blanks before it skipped) within lo..hi; false,
// p unmoved, when there is none or it lies outside.
bool number(const char*& p, long long lo, long long hi, long long* v)
{
    const char* s = p;
    while (*s == ' ' || *s == '\t')
        ++s;
    char* end = nullptr;
    errno = 0;
    *v = strtoll(s, &end, 10);
    if (end == s || errno != 0 || *v < lo || *v > hi)
        return false;
    p = end;
    return true;
}

int toInt(long long v)
{
    return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, v)));
}

// The number after `key` in `text`, or -1.
long long numberAfter(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    long long v = -1;
    const char* p = at == std::string::npos ? "" : text.c_str() + at + key.size();
    return number(p, LLONG_MIN, LLONG_MAX, &v) ? v : -1;
}

struct Gesture {
    long long index, at;
    int kind;  // FACTOR_TYPE
    long long x = 0, y = 0, x1 = 0, y1 = 0;
    long long r0 = 0, r1 = 0, angle = 0, step = 0;  // a pinch's
};

// "INDEX MICROSECONDS KIND FIELDS...", read as leniently as a damaged record
// asks: its points are read, what follows them is not looked at.
bool parseGesture(const std::string& line, Gesture* g)
{
    const char* p = line.c_str();
    if (!number(p, INT_MIN, INT_MAX, &g->index) || !number(p, 0, kMaxAt, &g->at))
        return false;
    while (*p == ' ' || *p == '\t')
        ++p;
    const size_t len = strcspn(p, " \t");
    const GestureKind* kind = recordKindNamed(p, len);
    if (kind == nullptr)
        return false;
    g->kind = kind->kind;
    p += len;
    long long* places[] = {&g->x, &g->y, &g->x1, &g->y1};
    for (int i = 0; i < kind->places; ++i)
        if (!number(p, INT_MIN, INT_MAX, places[i]))
            return false;
    // A pinch line whose radii, angle or step do not read is counted, not drawn.
    long long* pinch[] = {&g->r0, &g->r1, &g->angle, &g->step};
    for (int i = 0; g->kind == FACTOR_PINCH && i < 4; ++i)
        if (!number(p, INT_MIN, INT_MAX, pinch[i]))
            g->step = 0, i = 4;
    return true;
}

// Counted always; listed while the run has room and the text kept so far
// (*bytes: of the whole log, or of this record) stays within kMaxMarkBytes:
// a line may be 64 KB long.
void addMark(ReportRun& run, const ReportMark& m, size_t* bytes)
{
    ++run.kinds[markKind(m.what)];
    const size_t cost = 64 + m.time.size() + m.program.size() + m.pid.size() + m.saved.size() + m.message.size() +
                        m.shot.size();
    if (run.marks.size() >= kMaxMarks || *bytes + cost > kMaxMarkBytes) {
        ++run.unlisted;
        return;
    }
    *bytes += cost;
    run.marks.push_back(m);
}

// Who dumped: a run without -a counts every dump as a crash of the program
// its name gives. With -a only a dump the watcher logged as the
// application's ("app crash:") is its crash; its name alone proves nothing,
// anyone may write /tmp/coredump-<app>-..., so any other is a dump of a
// program nothing confirms.
void describeDump(const ReportRun& run, ReportMark& m)
{
    std::string base = baseName(m.saved);
    if (!splitSavedName(base, &m.program, &m.pid, &m.time))
        m.program = base;
    auto app = run.appCrash.find(m.saved);
    if (app != run.appCrash.end())
        m.program = app->second;
    m.what = app == run.appCrash.end() && run.namesApp ? "dump" : "crash";
    m.message = m.what == "dump" ? "not known to be the application's (no app crash line): " + m.saved
                                 : m.program + " pid " + (m.pid.empty() ? "?" : m.pid) + " dumped core: " + m.saved;
    m.shot = m.saved + ".png";
}

void addGesture(ReportRun& run, const Gesture& g)
{
    ++run.gestures;
    ++run.counts[g.kind];
    run.lastAt = g.at;
    const size_t minute = static_cast<size_t>(g.at / 60000000);
    if (run.perMinute.size() <= minute)
        run.perMinute.resize(minute + 1);
    ++run.perMinute[minute];
    if (g.kind == FACTOR_MOTION && run.swipesAll++ < static_cast<long long>(kMaxSwipeLines)) {
        ++run.swipesDrawn;
        run.swipes += "M" + std::to_string(g.x) + " " + std::to_string(g.y) + "L" + std::to_string(g.x1) + " " +
                      std::to_string(g.y1);
    }
    if (g.kind == FACTOR_PINCH && g.step > 0 && run.pinchesDrawn < static_cast<long long>(kMaxSwipeLines)) {
        ++run.pinchesDrawn;
        // Each finger through at most 10 of its frames: a hostile step
        // cannot swell the page.
        const Pointer e = {static_cast<int>(g.x), static_cast<int>(g.y), static_cast<int>(g.r0), static_cast<int>(g.r1),
                           static_cast<int>(g.step), 0, FACTOR_PINCH, static_cast<int>(g.angle)};
        const long long n = std::min<long long>(g.step, 10);
        for (int f = 0; f < 2; ++f)
            for (long long i = 0; i <= n; ++i) {
                const PinchPoint q = pinchPoint(e, static_cast<int>(i * g.step / n), f);
                run.pinches += (i == 0 ? "M" : "L") + std::to_string(q.x) + " " + std::to_string(q.y);
            }
    }
    if (g.kind != FACTOR_TOUCH && g.kind != FACTOR_LONGCLICK)
        return;
    layOut(run);
    const long long col = g.x / std::max(run.cell, 1), row = g.y / std::max(run.cell, 1);
    if (run.cells.empty() || g.x < 0 || g.y < 0 || col >= run.cols || row >= run.rows) {
        ++run.offScreen;
        return;
    }
    unsigned& c = run.cells[static_cast<size_t>(row * run.cols + col)];
    if (c < UINT_MAX)
        ++c;
    run.mostInCell = std::max<long long>(run.mostInCell, c);
}

// The run a "record:" line names: the record's base name picks it; the
// path itself is never opened.
ReportRun* logRun(ReportFolder& folder, const std::string& base)
{
    std::string name = base;
    if (!cutRunName(&name))
        return nullptr;
    auto it = folder.runs.find(name);
    if (it != folder.runs.end())
        return &it->second;
    if (folder.runs.size() >= kMaxRuns) {
        ++folder.runsLeft;
        return nullptr;
    }
    ReportRun& run = folder.runs[name];
    run.name = name;
    return &run;
}

}  // namespace

bool cutRunName(std::string* name)
{
    return name->size() > 4 + sizeof kRecordEnd - 1 && name->compare(0, 4, "run-") == 0 && cutRecordEnd(name);
}

// A regular file under `dir` (or AT_FDCWD) opened with kReadFlags, or -1
// with *why.
int openRegular(int dir, const std::string& path, struct stat* st, std::string* why)
{
    int fd = openat(dir, path.c_str(), kReadFlags);
    if (fd < 0) {
        *why = errno == ELOOP ? "a symbolic link, not followed" : errno == ENOENT ? "missing" : errorText(errno);
        return -1;
    }
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        *why = "not a regular file";
        close(fd);
        return -1;
    }
    return fd;
}

DIR* openFolder(ReportFolder& folder, bool* same)
{
    DIR* dir = opendir(folder.path.c_str());
    struct stat st;
    if (dir != nullptr && fstat(dirfd(dir), &st) != 0)
        closedir(dir), dir = nullptr;
    if (dir == nullptr)
        return nullptr;
    if (same != nullptr && !(*same = st.st_dev == folder.dev && st.st_ino == folder.ino)) {
        closedir(dir);
        return nullptr;
    }
    folder.fd = dirfd(dir);
    folder.dev = st.st_dev;
    folder.ino = st.st_ino;
    return dir;
}

void addNote(std::vector<std::string>& notes, long long& left, const std::string& note, size_t most)
{
    if (notes.size() < most)
        notes.push_back(note.size() > kNoteBytes ? note.substr(0, kNoteBytes) + "..." : note);
    else
        ++left;
}

int markKind(const std::string& what)
{
    for (int k = 0; k < 4; ++k)
        if (what == kMarks[k])
            return k;
    return 3;
}

// The touch map's cells: the record's grid, doubled until the screen holds
// at most kMaxCells of them.
void layOut(ReportRun& run)
{
    if (run.grid)
        return;
    run.grid = true;
    auto head = [&run](const char* k) { return run.head.count(k) ? run.head.at(k) : std::string(); };
    const std::string screen = head("screen"), grid = head("grid").empty() ? "20" : head("grid");
    const char* p = screen.c_str();
    long long w = 0, h = 0, g = 0;
    bool ok = number(p, 1, INT_MAX, &w) && *p++ == 'x' && number(p, 1, INT_MAX, &h);
    p = grid.c_str();
    if (!ok || !number(p, 1, INT_MAX, &g) || g > w || g > h)
        return;
    while (((w + g - 1) / g) * ((h + g - 1) / g) > kMaxCells)
        g *= 2;
    run.width = toInt(w);
    run.height = toInt(h);
    run.cell = toInt(g);
    run.cols = toInt((w + g - 1) / g);
    run.rows = toInt((h + g - 1) / g);
    run.cells.assign(static_cast<size_t>(run.cols) * static_cast<size_t>(run.rows), 0);
}

LineReader::LineReader(int fd) : mFd(fd), mBuf(new char[kMaxLine]) {}

LineReader::LineReader(const char* data, size_t size) : mData(data), mEnd(size) {}

bool LineReader::fill()
{
    if (mFd < 0 || mFailed)
        return false;
    ssize_t n = readAll(mFd, mBuf.get(), kMaxLine);
    mFailed = n < 0;
    mAt = 0;
    mEnd = n > 0 ? static_cast<size_t>(n) : 0;
    return n > 0;
}

bool LineReader::next(std::string* line, bool* cut)
{
    line->clear();
    *cut = false;
    for (bool any = false;; any = true) {
        if (mAt == mEnd && !fill())
            return any;
        const char* from = (mFd >= 0 ? mBuf.get() : mData) + mAt;
        const char* nl = static_cast<const char*>(memchr(from, '\n', mEnd - mAt));
        const size_t len = nl != nullptr ? static_cast<size_t>(nl - from) : mEnd - mAt;
        const size_t room = kMaxLine - line->size();
        *cut = *cut || len > room;
        line->append(from, std::min(len, room));
        mAt += len + (nl != nullptr ? 1 : 0);
        if (nl != nullptr)
            return true;
    }
}

void readMainLog(LineReader& in, ReportFolder& folder)
{
    ReportRun* run = nullptr;
    std::string line;
    for (bool cut; in.next(&line, &cut);) {
        if (cut || line.size() < 28 || line[0] != '[' || line.compare(20, 7, "][INFO]") != 0)
            continue;
        const std::string stamp = line.substr(1, 19), msg = line.substr(27);
        const int event = toInt(numberAfter(msg, "after event:"));
        // Before "record:", which it starts with too.
        if (msg.rfind("record: not written:", 0) == 0) {
            const std::string note = "run record not written:" + msg.substr(20);
            if (run != nullptr)
                addNote(run->notes, run->notesLeft, note);
            else
                addNote(folder.notes, folder.notesLeft, note, kMaxNotes * 20);
        } else if (msg.rfind("record:", 0) == 0) {
            run = logRun(folder, baseName(msg.substr(7)));
        } else if (msg.rfind("seed:", 0) == 0) {
            run = nullptr;
        } else if (run == nullptr) {
            continue;
        } else if (msg.rfind("Events injected:", 0) == 0) {
            run->injected = std::max(0LL, numberAfter(msg, "Events injected:"));
        } else if (msg.rfind("progress: ", 0) == 0) {
            run->progress = stamp + " " + msg.substr(0, kShownLine * 2);
        } else if (msg.rfind("stopped by ", 0) == 0) {
            run->stopSignal = msg.substr(11);
        } else if (msg.rfind("app crash: ", 0) == 0 && msg.find(" dump:") != std::string::npos) {
            const size_t d = msg.find(" dump:"), a = msg.rfind(" after event:");
            const std::string saved = msg.substr(d + 6, a == std::string::npos || a < d ? std::string::npos : a - d - 6);
            const size_t cost = 64 + saved.size() + d;
            if (run->appCrash.count(saved) == 0 && folder.logBytes + cost <= kMaxMarkBytes) {
                folder.logBytes += cost;
                run->appCrash[saved] = msg.substr(11, d - 11);
            }
        } else if (msg.rfind("freeze: screen unchanged for ", 0) == 0) {
            ReportMark m;
            m.what = "freeze", m.time = stamp, m.event = event;
            m.message = msg.substr(8, msg.find(" after") == std::string::npos ? std::string::npos : msg.find(" after") - 8);
            const size_t listed = run->marks.size();
            addMark(*run, m, &folder.logBytes);
            run->freezeAt = run->marks.size() > listed ? static_cast<int>(listed) : -1;
        } else if (msg.rfind("freeze: screenshot ", 0) == 0) {
            if (run->freezeAt >= 0 && run->marks[run->freezeAt].shot.empty())
                run->marks[run->freezeAt].shot = msg.substr(19);
        } else if (msg.rfind("app:", 0) == 0 && msg.find(" exited after event:") != std::string::npos) {
            ReportMark m;
            m.what = "exit", m.time = stamp, m.event = event;
            m.program = msg.substr(4, msg.find(" exited") - 4);
            m.message = m.program + msg.substr(msg.find(" exited"));
            addMark(*run, m, &folder.logBytes);
        }
        if (run != nullptr)
            run->lastStamp = stamp;
    }
    if (in.failed())
        addNote(folder.notes, folder.notesLeft, "main log: read error", kMaxNotes * 20);
}

void readRecord(LineReader& in, ReportRun& run)
{
    std::string line;
    long long lineNo = 0, bad = 0, after = 0;
    std::string saved;
    for (bool cut; in.next(&line, &cut);) {
        ++lineNo;
        Gesture g;
        if (cut) {
            if (bad++ == 0)
                addNote(run.notes, run.notesLeft, "run record line " + std::to_string(lineNo) + " not readable: longer than 64 KB");
        } else if (readCrashLine(line, &saved, &after)) {
            ReportMark m;
            m.saved = saved;
            m.event = toInt(after);
            describeDump(run, m);
            if (m.what == "crash")
                run.distinct.add(readCrashKey(line), m.program, m.event, m.saved, m.shot);
            addMark(run, m, &run.markBytes);
        } else if (line.rfind("# ", 0) == 0 && line.find(':') != std::string::npos) {
            const size_t colon = line.find(':');
            const std::string key = line.substr(2, colon - 2);
            if (run.head.size() < kMaxHead && run.head.emplace(key, line.substr(colon + 1)).second && key == "command") {
                // "-a NAME" among the words of the command line.
                std::istringstream words(line.substr(colon + 1));
                std::string last;
                for (std::string w; words >> w; last = w)
                    run.namesApp = run.namesApp || last == "-a";
            }
        } else if (!line.empty() && line[0] != '#') {
            if (!parseGesture(line, &g)) {
                if (bad++ == 0)
                    addNote(run.notes, run.notesLeft,
                            "run record line " + std::to_string(lineNo) + " not readable: " + line.substr(0, kShownLine));
                continue;
            }
            addGesture(run, g);
        }
    }
    if (in.failed())
        addNote(run.notes, run.notesLeft, "run record: read error");
    if (bad > 1)
        addNote(run.notes, run.notesLeft, std::to_string(bad) + " run record lines not readable in all");
}

void sortMarks(ReportRun& run)
{
    std::stable_sort(run.marks.begin(), run.marks.end(),
                     [](const ReportMark& a, const ReportMark& b) { return a.event < b.event; });
    for (const ReportMark& m : run.marks)
        run.before[m.event];
}

void readGesturesBefore(LineReader& in, ReportRun& run)
{
    if (run.before.empty())
        return;
    const long long first = run.before.begin()->first, last = run.before.rbegin()->first;
    std::string line;
    for (bool cut; in.next(&line, &cut);) {
        Gesture g;
        if (cut || line.empty() || line[0] == '#' || !parseGesture(line, &g) || g.index + 4 < first || g.index > last)
            continue;
        // The gestures up to a mark's are those of the 5 indexes up to it.
        for (long long e = g.index; e <= g.index + 4 && e <= INT_MAX; ++e) {
            auto b = run.before.find(static_cast<int>(e));
            if (b == run.before.end())
                continue;
            if (e == g.index && b->second.at < 0)
                b->second.at = g.at;
            if (b->second.lines.size() < 5)
                b->second.lines.push_back(line.substr(0, kShownLine));
        }
    }
}
