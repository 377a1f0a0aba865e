// Problem: the board's results (tapfuzz's logs, what the kernel delivered
// from /dev/input/event0, the saved core dump) must be judged on the host,
// where a guest panic or a silent mismatch would otherwise pass unnoticed.
// Solution: replay every gesture tapfuzz logged through a model of the input
// core's filtering (an unchanged absolute value or key state is not passed
// on; a frame left empty is not delivered) and require the kernel's capture
// to match it frame by frame; check the summary, the crash records, the
// saved dump against the copy taken when the kernel wrote it, the exit
// statuses and that nothing of tapfuzz outlived it. --selftest damages the
// same results in known ways and requires each damage to be caught.
//
// usage: verdict [--selftest] RESULTS_DIR COUNT
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Linux input codes used by the board (linux/input-event-codes.h).
const int EV_SYN = 0, EV_KEY = 1, EV_ABS = 3;
const int SYN_REPORT = 0, SYN_DROPPED = 3;
const int ABS_X = 0, ABS_Y = 1, ABS_MT_POSITION_X = 53, ABS_MT_POSITION_Y = 54,
          ABS_MT_TRACKING_ID = 57;
const int BTN_TOUCH = 330;

const char kPanelName[] = "tapfuzz board panel";
const char kCorePath[] = "/data/cores/";
const int kSignalOfCrash = 11;

struct Rec {
    int type, code, value;
    bool operator==(const Rec& o) const
    {
        return type == o.type && code == o.code && value == o.value;
    }
};

// Records the kernel delivered together, closed by its SYN_REPORT.
struct Frame {
    double t = 0;
    std::vector<Rec> recs;
};

struct Run {
    std::string name;
    bool byCount = false;
    std::vector<std::string> log;      // main log lines, in order
    std::vector<std::string> crashLog; // crash log lines
    std::vector<Frame> frames;
    int droppedMarks = 0;    // SYN_DROPPED seen in the capture
    int unterminated = 0;    // records after the last SYN_REPORT
    std::string device;      // name the recorder read from the node
    int status = -1;         // tapfuzz's exit status
    int recorderStatus = -1;
    std::vector<std::string> leftovers;
    std::vector<std::string> psDuring;
};

struct Results {
    fs::path dir;
    int count = 0;
    Run runs[3];
    std::map<std::string, std::string> crasher;
    std::map<std::string, std::string> cores; // saved name -> bytes
    std::string witness;
    bool haveWitness = false;
    std::string fb, event0, bootUptime;
    std::vector<std::string> tmpAfter;
};

// ---------------------------------------------------------------- reading

bool readText(const fs::path& p, std::string* out)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

std::vector<std::string> readLines(const fs::path& p)
{
    std::vector<std::string> lines;
    std::ifstream in(p);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string firstLine(const fs::path& p)
{
    auto lines = readLines(p);
    return lines.empty() ? "" : lines[0];
}

int readStatus(const fs::path& p)
{
    std::string s = firstLine(p);
    char* end = nullptr;
    long v = strtol(s.c_str(), &end, 10);
    return (s.empty() || *end != '\0') ? -1 : static_cast<int>(v);
}

void parseCapture(const fs::path& p, Run* run)
{
    std::ifstream in(p);
    std::string line;
    Frame cur;
    while (std::getline(in, line)) {
        if (line.rfind("# device: ", 0) == 0) {
            run->device = line.substr(10);
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        double t;
        Rec r;
        if (sscanf(line.c_str(), "%lf %d %d %d", &t, &r.type, &r.code, &r.value) != 4)
            continue;
        if (r.type == EV_SYN && r.code == SYN_DROPPED) {
            ++run->droppedMarks;
            continue;
        }
        if (r.type == EV_SYN && r.code == SYN_REPORT) {
            cur.t = t;
            run->frames.push_back(cur);
            cur = Frame();
            continue;
        }
        cur.recs.push_back(r);
    }
    run->unterminated = static_cast<int>(cur.recs.size());
}

std::vector<std::string> logFiles(const fs::path& runDir, const char* name)
{
    std::vector<std::string> lines;
    std::vector<fs::path> days;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(runDir / "results", ec))
        if (e.path().filename().string().rfind("tapfuzz", 0) == 0)
            days.push_back(e.path());
    std::sort(days.begin(), days.end());
    for (const auto& d : days) {
        auto part = readLines(d / name);
        lines.insert(lines.end(), part.begin(), part.end());
    }
    return lines;
}

Results load(const fs::path& dir, int count)
{
    Results r;
    r.dir = dir;
    r.count = count;
    const fs::path out = dir / "out";
    const char* names[3] = {"run1", "run2", "run3"};
    for (int i = 0; i < 3; ++i) {
        Run& run = r.runs[i];
        run.name = names[i];
        run.byCount = i == 0;
        run.log = logFiles(dir / names[i], "tapfuzz.log");
        run.crashLog = logFiles(dir / names[i], "crash.log");
        parseCapture(out / (run.name + ".capture"), &run);
        run.status = readStatus(out / (run.name + ".status"));
        run.recorderStatus = readStatus(out / (run.name + ".evrecord.status"));
        run.leftovers = readLines(out / (run.name + ".leftovers"));
        run.psDuring = readLines(out / (run.name + ".ps-during"));
    }
    for (const auto& line : readLines(out / "crasher.txt")) {
        auto eq = line.find('=');
        if (eq != std::string::npos)
            r.crasher[line.substr(0, eq)] = line.substr(eq + 1);
    }
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir / "cores", ec)) {
        std::string bytes;
        if (readText(e.path(), &bytes))
            r.cores[e.path().filename().string()] = bytes;
    }
    if (!r.crasher["witness"].empty())
        r.haveWitness = readText(out / r.crasher["witness"], &r.witness);
    r.fb = firstLine(out / "fb.txt");
    r.event0 = firstLine(out / "event0-name.txt");
    r.bootUptime = firstLine(out / "boot-uptime");
    r.tmpAfter = readLines(out / "tmp-after-run1.txt");
    return r;
}

// ---------------------------------------------------------------- the log

enum Kind { CLICK, SWIPE, LONGCLICK, PRESSKEY, KINDS };
const char* const kKindName[KINDS] = {"click", "swipe", "long click", "key press"};

struct Gesture {
    Kind kind;
    int x = 0, y = 0, x1 = 0, y1 = 0, step = 0, code = 0;
    std::string text;
};

// The message of a main log line: what follows "[date time][INFO]".
std::string message(const std::string& line, const char* tag)
{
    auto pos = line.find(tag);
    if (line.empty() || line[0] != '[' || pos == std::string::npos)
        return "";
    return line.substr(pos + strlen(tag));
}

std::vector<Gesture> loggedGestures(const Run& run)
{
    std::vector<Gesture> out;
    for (const auto& line : run.log) {
        std::string m = message(line, "][INFO]");
        Gesture g;
        g.text = m;
        char tail = 0;
        if (sscanf(m.c_str(), "Sending Click (ACTION_DOWN):(%d,%d%c", &g.x, &g.y, &tail) == 3
            && tail == ')') {
            g.kind = CLICK;
        } else if (sscanf(m.c_str(), "Sending LongClick (ACTION_LONGCLICK):(%d,%d%c", &g.x, &g.y,
                          &tail) == 3
                   && tail == ')') {
            g.kind = LONGCLICK;
        } else if (sscanf(m.c_str(), "Sending Swipe (ACTION_MOTION):(%d,%d,%d,%d,%d%c", &g.x, &g.y,
                          &g.x1, &g.y1, &g.step, &tail) == 6
                   && tail == ')') {
            g.kind = SWIPE;
        } else if (sscanf(m.c_str(), "Sending PressKey (ACTION_PRESSKEY):(%d%c", &g.code, &tail) == 2
                   && tail == ')') {
            g.kind = PRESSKEY;
        } else {
            continue;
        }
        out.push_back(g);
    }
    return out;
}

// ---------------------------------------------------------------- the model

// What the input core remembers per device: the last absolute values and
// key states it passed on. The panel has no ABS_MT_SLOT, so its
// multi-touch values are not remembered and never filtered.
struct KernelState {
    int absX = 0, absY = 0;
    std::map<int, int> keys;
};

struct Filtered {
    int absX = 0, absY = 0, btnTouch = 0, keys = 0, emptyFrames = 0;
};

// Passes one written frame through the model; false when the kernel would
// deliver nothing of it (its SYN_REPORT then has nothing to report).
bool filterFrame(const std::vector<Rec>& written, KernelState* st, Filtered* f,
                 std::vector<Rec>* delivered)
{
    delivered->clear();
    for (const Rec& r : written) {
        if (r.type == EV_ABS && (r.code == ABS_X || r.code == ABS_Y)) {
            int& old = r.code == ABS_X ? st->absX : st->absY;
            if (old == r.value) {
                ++(r.code == ABS_X ? f->absX : f->absY);
                continue;
            }
            old = r.value;
        } else if (r.type == EV_KEY) {
            int& old = st->keys[r.code];
            if (old == (r.value != 0)) {
                ++(r.code == BTN_TOUCH ? f->btnTouch : f->keys);
                continue;
            }
            old = r.value != 0;
        }
        delivered->push_back(r);
    }
    if (delivered->empty()) {
        ++f->emptyFrames;
        return false;
    }
    return true;
}

// Applies delivered records to the model (frames no gesture accounts for).
void absorb(const Frame& fr, KernelState* st)
{
    for (const Rec& r : fr.recs) {
        if (r.type == EV_ABS && r.code == ABS_X)
            st->absX = r.value;
        else if (r.type == EV_ABS && r.code == ABS_Y)
            st->absY = r.value;
        else if (r.type == EV_KEY)
            st->keys[r.code] = r.value != 0;
    }
}

std::vector<Rec> downBlock(int x, int y)
{
    return {{EV_ABS, ABS_MT_TRACKING_ID, 1}, {EV_ABS, ABS_MT_POSITION_X, x},
            {EV_ABS, ABS_MT_POSITION_Y, y},  {EV_KEY, BTN_TOUCH, 1},
            {EV_ABS, ABS_X, x},              {EV_ABS, ABS_Y, y}};
}

std::vector<Rec> moveBlock(int x, int y)
{
    return {{EV_ABS, ABS_MT_POSITION_X, x}, {EV_ABS, ABS_MT_POSITION_Y, y},
            {EV_ABS, ABS_X, x}, {EV_ABS, ABS_Y, y}};
}

std::vector<Rec> liftBlock()
{
    return {{EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0}};
}

std::string describe(const std::vector<Rec>& recs)
{
    std::string s;
    for (size_t i = 0; i < recs.size(); ++i) {
        const Rec& r = recs[i];
        char buf[64];
        if (r.type == EV_ABS && r.code == ABS_MT_TRACKING_ID)
            snprintf(buf, sizeof buf, "TRACKING_ID %d", r.value);
        else if (r.type == EV_ABS && r.code == ABS_MT_POSITION_X)
            snprintf(buf, sizeof buf, "MT_X %d", r.value);
        else if (r.type == EV_ABS && r.code == ABS_MT_POSITION_Y)
            snprintf(buf, sizeof buf, "MT_Y %d", r.value);
        else if (r.type == EV_ABS && r.code == ABS_X)
            snprintf(buf, sizeof buf, "ABS_X %d", r.value);
        else if (r.type == EV_ABS && r.code == ABS_Y)
            snprintf(buf, sizeof buf, "ABS_Y %d", r.value);
        else if (r.type == EV_KEY && r.code == BTN_TOUCH)
            snprintf(buf, sizeof buf, "BTN_TOUCH %d", r.value);
        else if (r.type == EV_KEY)
            snprintf(buf, sizeof buf, "KEY %d %d", r.code, r.value);
        else
            snprintf(buf, sizeof buf, "(%d %d %d)", r.type, r.code, r.value);
        s += (i ? ", " : "") + std::string(buf);
    }
    return s;
}

// One swipe point: the coordinate along the walk is known from the log;
// the other is drawn by the driver library between start and end.
struct PathPoint {
    bool xKnown, yKnown;
    int x, y;
    int lo, hi; // range of the drawn coordinate
};

// The driver's path for a swipe of `step` segments: the start, step - 1
// points that advance in equal truncated steps along the larger move, the
// end. A walk whose main direction decreases goes through the points
// backwards and lifts at index 0, the swipe's own start.
std::vector<PathPoint> swipePath(const Gesture& g)
{
    const int dx = g.x1 - g.x, dy = g.y1 - g.y;
    const int xdir = dx > 0 ? 1 : -1, ydir = dy > 0 ? 1 : -1;
    std::vector<PathPoint> path;
    path.push_back({true, true, g.x, g.y, 0, 0});
    if (std::abs(dx) > g.step) {
        const int xstep = xdir * (std::abs(dx) / g.step);
        for (int i = 1; i < g.step; ++i)
            path.push_back({true, false, g.x + i * xstep, 0, std::min(g.y, g.y1),
                            std::max(g.y, g.y1)});
    } else {
        const int ystep = ydir * (std::abs(dy) / g.step);
        for (int i = 1; i < g.step; ++i)
            path.push_back({false, true, 0, g.y + i * ystep, std::min(g.x, g.x1),
                            std::max(g.x, g.x1)});
    }
    path.push_back({true, true, g.x1, g.y1, 0, 0});
    return path;
}

struct RunFigures {
    int logged[KINDS] = {0, 0, 0, 0};
    int matched[KINDS] = {0, 0, 0, 0};
    int deliveredFrames = 0;
    int swipesToEnd = 0, swipesBackToStart = 0;
    double shortestHold = 1e9;
    Filtered filtered;
    std::vector<std::string> samples;
};

class Judge {
public:
    Judge(bool quiet) : quiet_(quiet) {}

    void fail(const std::string& what)
    {
        if (failures_++ == 0)
            first_ = what;
        if (!quiet_)
            printf("   FAIL %s\n", what.c_str());
    }
    const std::string& firstFailure() const { return first_; }
    void pass() { ++passed_; }
    void check(bool ok, const std::string& what)
    {
        if (ok)
            pass();
        else
            fail(what);
    }
    int failures() const { return failures_; }
    int passed() const { return passed_; }
    bool quiet() const { return quiet_; }

private:
    bool quiet_;
    int passed_ = 0;
    int failures_ = 0;
    std::string first_;
};

// Matches the gestures of one run against the frames; the model state runs
// on from the previous run, since the panel lives through all three.
RunFigures matchRun(const Run& run, KernelState* st, Judge* judge)
{
    RunFigures fig;
    const KernelState before = *st;
    // Whatever is judged below, the next run starts from what the kernel
    // really passed on in this one (all held values were flushed).
    struct Settle {
        const Run& run;
        const KernelState& before;
        KernelState* st;
        ~Settle()
        {
            *st = before;
            for (const Frame& fr : run.frames)
                absorb(fr, st);
        }
    } settle{run, before, st};
    const auto gestures = loggedGestures(run);
    size_t cur = 0;
    std::vector<Rec> delivered;
    const std::string where = run.name + ": ";

    // Expects the kernel's next frame to be `written` as filtered; false on
    // a mismatch (reported once).
    auto expectFrame = [&](const std::vector<Rec>& written, const Gesture& g,
                           const Frame** got) -> bool {
        if (!filterFrame(written, st, &fig.filtered, &delivered))
            return true;
        if (cur >= run.frames.size()) {
            judge->fail(where + "\"" + g.text + "\": the kernel delivered nothing for {"
                        + describe(delivered) + "}");
            return false;
        }
        const Frame& fr = run.frames[cur];
        if (fr.recs != delivered) {
            judge->fail(where + "\"" + g.text + "\": expected {" + describe(delivered)
                        + "}, the kernel delivered {" + describe(fr.recs) + "}");
            return false;
        }
        if (got)
            *got = &fr;
        ++cur;
        return true;
    };

    for (const Gesture& g : gestures)
        ++fig.logged[g.kind];
    bool ok = true;
    for (size_t gi = 0; ok && gi < gestures.size(); ++gi) {
        const Gesture& g = gestures[gi];
        const size_t first = cur;
        switch (g.kind) {
        case CLICK:
        case LONGCLICK: {
            const Frame* down = nullptr;
            const Frame* lift = nullptr;
            ok = expectFrame(downBlock(g.x, g.y), g, &down) && expectFrame(liftBlock(), g, &lift);
            if (ok && g.kind == LONGCLICK && down && lift) {
                // The driver sleeps 800 us between the two frames, and the
                // kernel stamps a frame when its SYN_REPORT arrives.
                const double hold = lift->t - down->t;
                fig.shortestHold = std::min(fig.shortestHold, hold);
                if (hold < 0.0008) {
                    judge->fail(where + "\"" + g.text + "\": held only "
                                + std::to_string(static_cast<long>(hold * 1e6))
                                + " us, not 800");
                    ok = false;
                }
            }
            break;
        }
        case PRESSKEY:
            ok = expectFrame({{EV_KEY, g.code, 1}}, g, nullptr)
                 && expectFrame({{EV_KEY, g.code, 0}}, g, nullptr);
            break;
        case SWIPE: {
            if ((g.x == g.x1 && g.y == g.y1) || g.step == 0)
                break; // the driver writes nothing for these
            ok = expectFrame(downBlock(g.x, g.y), g, nullptr);
            const auto path = swipePath(g);
            const int n = static_cast<int>(path.size());
            const int dx = g.x1 - g.x, dy = g.y1 - g.y;
            const bool reversed = std::abs(dy) > std::abs(dx) ? g.y1 < g.y : g.x1 < g.x;
            std::vector<int> visits;
            if (g.step > 3) {
                int index = reversed ? n - 1 : 0;
                for (int i = 0; i < g.step - 3; ++i)
                    visits.push_back(index += reversed ? -1 : 1);
            }
            if (g.step >= 3)
                visits.push_back(reversed ? 0 : n - 1);
            for (size_t vi = 0; ok && vi < visits.size(); ++vi) {
                PathPoint p = path[visits[vi]];
                if (!p.xKnown || !p.yKnown) {
                    // Take the drawn coordinate from the delivered frame and
                    // hold it to its range; the rest must match exactly.
                    int mtx = -1, mty = -1;
                    if (cur < run.frames.size() && run.frames[cur].recs.size() >= 2) {
                        mtx = run.frames[cur].recs[0].value;
                        mty = run.frames[cur].recs[1].value;
                    }
                    int drawn = p.xKnown ? mty : mtx;
                    if (drawn < p.lo || drawn > p.hi) {
                        judge->fail(where + "\"" + g.text + "\": path point "
                                    + std::to_string(visits[vi]) + " has "
                                    + (p.xKnown ? "y " : "x ") + std::to_string(drawn)
                                    + ", outside " + std::to_string(p.lo) + ".."
                                    + std::to_string(p.hi));
                        ok = false;
                        break;
                    }
                    (p.xKnown ? p.y : p.x) = drawn;
                }
                ok = expectFrame(moveBlock(p.x, p.y), g, nullptr);
            }
            if (ok && g.step >= 3)
                ok = expectFrame(liftBlock(), g, nullptr);
            if (ok && g.step >= 3)
                ++(reversed ? fig.swipesBackToStart : fig.swipesToEnd);
            break;
        }
        default:
            break;
        }
        if (ok) {
            judge->pass();
            ++fig.matched[g.kind];
            // The first gesture of each kind shows what the kernel made of it.
            if (fig.matched[g.kind] == 1) {
                std::string s = "   " + g.text + "\n";
                for (size_t k = first; k < cur; ++k)
                    s += "        kernel: " + describe(run.frames[k].recs) + "\n";
                fig.samples.push_back(s);
            }
        }
    }
    fig.deliveredFrames = static_cast<int>(run.frames.size());
    if (!ok)
        return fig;

    // tapfuzz acts on SIGINT and SIGALRM only between events, after the
    // event's log line, so a signalled run too owns every frame it caused.
    const size_t rest = run.frames.size() - cur;
    if (rest > 0) {
        judge->fail(where + std::to_string(rest)
                    + " delivered frames match no logged gesture, the first {"
                    + describe(run.frames[cur].recs) + "}");
    }
    return fig;
}

// ---------------------------------------------------------------- the dump

uint32_t u32(const std::string& b, size_t off)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(b[off]))
           | static_cast<uint32_t>(static_cast<unsigned char>(b[off + 1])) << 8
           | static_cast<uint32_t>(static_cast<unsigned char>(b[off + 2])) << 16
           | static_cast<uint32_t>(static_cast<unsigned char>(b[off + 3])) << 24;
}

uint16_t u16(const std::string& b, size_t off)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(b[off])
                                 | static_cast<unsigned char>(b[off + 1]) << 8);
}

// A 32-bit little-endian Arm ELF core, every segment the kernel declared
// present in full and nothing after the last one, whose NT_PRSTATUS names
// the crashed process and its signal. Empty when sound, else why not.
std::string checkCore(const std::string& b, int pid)
{
    if (b.size() < 52 || b.compare(0, 4, "\x7f" "ELF") != 0)
        return "not an ELF file";
    if (b[4] != 1 || b[5] != 1)
        return "not a 32-bit little-endian ELF file";
    if (u16(b, 16) != 4 || u16(b, 18) != 40)
        return "not an Arm core file (type " + std::to_string(u16(b, 16)) + ", machine "
               + std::to_string(u16(b, 18)) + ")";
    const uint32_t phoff = u32(b, 28);
    const uint16_t phentsize = u16(b, 42), phnum = u16(b, 44);
    if (phentsize < 32 || phnum == 0
        || static_cast<uint64_t>(phoff) + uint64_t(phentsize) * phnum > b.size())
        return "program headers cut off";
    uint64_t end = 0;
    bool sawPid = false;
    for (uint16_t i = 0; i < phnum; ++i) {
        const size_t ph = phoff + size_t(i) * phentsize;
        const uint32_t type = u32(b, ph), off = u32(b, ph + 4), filesz = u32(b, ph + 16);
        if (uint64_t(off) + filesz > b.size())
            return "segment " + std::to_string(i) + " runs past the end of the file";
        end = std::max<uint64_t>(end, uint64_t(off) + filesz);
        if (type != 4) // PT_NOTE
            continue;
        for (size_t p = off; p + 12 <= size_t(off) + filesz;) {
            const uint32_t namesz = u32(b, p), descsz = u32(b, p + 4), ntype = u32(b, p + 8);
            const size_t desc = p + 12 + ((size_t(namesz) + 3) & ~size_t(3));
            if (desc + descsz > size_t(off) + filesz)
                return "a note runs past its segment";
            // NT_PRSTATUS on 32-bit Arm: pr_cursig at 12, pr_pid at 24.
            if (ntype == 1 && descsz >= 28) {
                if (static_cast<int>(u32(b, desc + 24)) != pid)
                    return "NT_PRSTATUS names pid " + std::to_string(u32(b, desc + 24));
                if (u16(b, desc + 12) != kSignalOfCrash)
                    return "NT_PRSTATUS names signal " + std::to_string(u16(b, desc + 12));
                sawPid = true;
            }
            p = desc + ((size_t(descsz) + 3) & ~size_t(3));
        }
    }
    if (!sawPid)
        return "no NT_PRSTATUS note";
    if (end != b.size())
        return "the file holds " + std::to_string(b.size()) + " bytes, its segments "
               + std::to_string(end);
    return "";
}

// The crasher's child filled memory from its pid; finding the sequence
// shows the dump holds that process's memory.
bool holdsPattern(const std::string& b, unsigned pid, size_t n)
{
    std::string pat(n, '\0');
    unsigned x = pid ^ 0x5eedu;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        pat[i] = static_cast<char>(static_cast<unsigned char>(x >> 16));
    }
    return b.find(pat) != std::string::npos;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& msg)
{
    for (const auto& l : lines) {
        if (l.size() >= msg.size() && l.compare(l.size() - msg.size(), msg.size(), msg) == 0
            && l[0] == '[')
            return true;
    }
    return false;
}

int countLines(const std::vector<std::string>& lines, const std::string& needle)
{
    int n = 0;
    for (const auto& l : lines)
        n += l.find(needle) != std::string::npos;
    return n;
}

// ---------------------------------------------------------------- verdict

int judge(const Results& r, bool quiet, std::string* firstFailure = nullptr)
{
    Judge j(quiet);
    auto say = [&](const char* fmt, auto... args) {
        if (!quiet)
            printf(fmt, args...);
    };

    say("\n== the board\n");
    say("   kernel reached /init after %s s of guest time\n", r.bootUptime.c_str());
    say("   /dev/fb0 answers %s (xres yres bpp)\n", r.fb.c_str());
    say("   /dev/input/event0 is \"%s\"\n", r.event0.c_str());
    j.check(r.fb.rfind("800 480", 0) == 0, "/dev/fb0 answered \"" + r.fb + "\", not 800x480");
    j.check(r.event0 == kPanelName, "/dev/input/event0 is \"" + r.event0 + "\", not the panel");

    KernelState st;
    Filtered total;
    int delivered = 0;
    for (const Run& run : r.runs) {
        const std::string w = run.name + ": ";
        say("\n== %s (%s)\n", run.name.c_str(),
            run.byCount ? "by count" : run.name == "run2" ? "ended by SIGINT" : "ended by SIGALRM");
        j.check(!run.log.empty(), w + "no main log in results/tapfuzz<date>/");
        j.check(run.device == kPanelName, w + "the recorder read \"" + run.device + "\"");
        j.check(run.recorderStatus == 0, w + "the recorder ended with status "
                                             + std::to_string(run.recorderStatus));
        j.check(run.droppedMarks == 0, w + "the kernel dropped events (SYN_DROPPED)");
        j.check(run.unterminated == 0, w + "records after the last SYN_REPORT");
        j.check(run.status == 0, w + "tapfuzz exited with status " + std::to_string(run.status));
        j.check(run.leftovers.empty(),
                w + "left running after exit: " + (run.leftovers.empty() ? "" : run.leftovers[0]));

        RunFigures fig = matchRun(run, &st, &j);
        int logged = 0, matched = 0;
        for (int k = 0; k < KINDS; ++k) {
            logged += fig.logged[k];
            matched += fig.matched[k];
        }
        delivered += fig.deliveredFrames;
        total.absX += fig.filtered.absX;
        total.absY += fig.filtered.absY;
        total.btnTouch += fig.filtered.btnTouch;
        total.keys += fig.filtered.keys;
        total.emptyFrames += fig.filtered.emptyFrames;
        say("   exit status %d; gestures logged %d, matched by the kernel's frames %d "
            "(%d frames delivered)\n",
            run.status, logged, matched, fig.deliveredFrames);
        say("   by kind (logged/matched): click %d/%d, swipe %d/%d, long click %d/%d, "
            "key press %d/%d\n",
            fig.logged[CLICK], fig.matched[CLICK], fig.logged[SWIPE], fig.matched[SWIPE],
            fig.logged[LONGCLICK], fig.matched[LONGCLICK], fig.logged[PRESSKEY],
            fig.matched[PRESSKEY]);
        say("   swipes lifted at their end point %d, walked back to their start %d\n",
            fig.swipesToEnd, fig.swipesBackToStart);
        if (fig.logged[LONGCLICK] > 0)
            say("   shortest long-click hold seen by the kernel: %.0f us\n", fig.shortestHold * 1e6);
        say("   kernel filtered: ABS_X unchanged %d, ABS_Y unchanged %d, BTN_TOUCH unchanged %d, "
            "key unchanged %d, empty frames %d\n",
            fig.filtered.absX, fig.filtered.absY, fig.filtered.btnTouch, fig.filtered.keys,
            fig.filtered.emptyFrames);
        j.check(logged == matched, w + std::to_string(logged - matched) + " logged gestures unmatched");

        const int summaries = countLines(run.log, "][INFO]Events injected:");
        const int finishes = countLines(run.log, "][INFO]// tapfuzz finish");
        if (run.byCount) {
            j.check(logged == r.count, w + std::to_string(logged) + " gestures logged, not "
                                           + std::to_string(r.count));
            j.check(hasLine(run.log, "[INFO]Events injected:" + std::to_string(r.count)),
                    w + "no \"Events injected:" + std::to_string(r.count) + "\" line");
            j.check(hasLine(run.log, "[INFO]cycleCounter:" + std::to_string(r.count)),
                    w + "no \"cycleCounter:" + std::to_string(r.count) + "\" line");
            j.check(finishes == 1, w + "no single \"// tapfuzz finish\" line");
            say("   summary: \"Events injected:%d\" and \"// tapfuzz finish\" %s\n", r.count,
                summaries == 1 && finishes == 1 ? "logged" : "MISSING");
            bool echoSeen = false;
            for (const auto& l : run.psDuring)
                echoSeen |= l.find("tail -F ./results/tapfuzz") != std::string::npos;
            j.check(echoSeen, w + "the log echo (tail -F) was not seen while tapfuzz ran");
            say("   console echo: running during the run %s, left after exit %zu\n",
                echoSeen ? "yes" : "NO", run.leftovers.size());
        } else {
            j.check(logged > 0, w + "no gesture logged before the signal");
            j.check(summaries == 0 && finishes == 0, w + "a signalled run wrote the summary");
            say("   no summary line (a signal ends the run without one); left after exit %zu\n",
                run.leftovers.size());
        }
        if (!quiet && run.byCount) {
            printf("   the first gesture of each kind, as logged and as the kernel delivered it:\n");
            for (const auto& s : fig.samples)
                printf("%s", s.c_str());
        }
    }

    // The crash.
    say("\n== the crash\n");
    auto get = [&](const char* key) {
        auto it = r.crasher.find(key);
        return it == r.crasher.end() ? std::string() : it->second;
    };
    const std::string dump = get("dump");
    const int pid = atoi(get("pid").c_str());
    j.check(get("signal") == std::to_string(kSignalOfCrash) && get("core") == "1",
            "the crasher's child did not die of SIGSEGV with a core (signal " + get("signal")
                + ", core " + get("core") + ")");
    const std::string prefix = "coredump-crasher-" + std::to_string(pid) + "-";
    std::string saved;
    if (dump.rfind(prefix, 0) != 0) {
        j.fail("the kernel wrote no dump named " + prefix + "<seconds> into /tmp (saw \"" + dump
               + "\")");
    } else {
        // The guest has no time zone: its local time is UTC.
        time_t t = static_cast<time_t>(strtoll(dump.c_str() + prefix.size(), nullptr, 10));
        struct tm tmv;
        gmtime_r(&t, &tmv);
        char stamp[64];
        strftime(stamp, sizeof stamp, "%Y-%m-%d_%H:%M:%S", &tmv);
        saved = prefix + stamp;
        say("   the kernel wrote /tmp/%s (%s bytes)\n", dump.c_str(), get("size").c_str());
        say("   tapfuzz saved it as %s%s\n", kCorePath, saved.c_str());
    }
    auto it = saved.empty() ? r.cores.end() : r.cores.find(saved);
    if (!saved.empty() && it == r.cores.end()) {
        j.fail("no " + std::string(kCorePath) + saved + " among the saved dumps");
    } else if (it != r.cores.end()) {
        const std::string& bytes = it->second;
        j.check(r.haveWitness, "no copy of the dump was taken when the kernel wrote it");
        const bool same = r.haveWitness && bytes == r.witness;
        j.check(!r.haveWitness || same,
                "the saved dump differs from the kernel's (" + std::to_string(bytes.size())
                    + " bytes saved, " + std::to_string(r.witness.size()) + " written)");
        const std::string why = checkCore(bytes, pid);
        j.check(why.empty(), "the saved dump is not a complete core: " + why);
        const bool pattern = holdsPattern(bytes, static_cast<unsigned>(pid),
                                          static_cast<size_t>(atol(get("pattern_bytes").c_str())));
        j.check(pattern, "the saved dump lacks the crashed process's memory pattern");
        say("   byte for byte equal to the kernel's file: %s; complete Arm ELF core of pid %d "
            "(SIGSEGV): %s; holds the process's %s-byte memory pattern: %s\n",
            same ? "yes" : "NO", pid, why.empty() ? "yes" : "NO", get("pattern_bytes").c_str(),
            pattern ? "yes" : "NO");
    }
    j.check(r.cores.size() == 1, std::to_string(r.cores.size()) + " files in " + kCorePath
                                     + ", expected the one dump");
    for (const auto& l : r.tmpAfter)
        j.check(l.find("coredump") == std::string::npos, "left in /tmp: " + l);
    if (!saved.empty()) {
        const Run& run1 = r.runs[0];
        const std::string record = "[CRASH][Coredump]" + std::string(kCorePath) + saved;
        const std::string mv = "[INFO]mv /tmp/" + dump + " " + kCorePath + saved;
        const bool inMain = hasLine(run1.log, record), inCrash = hasLine(run1.crashLog, record);
        const bool moved = hasLine(run1.log, mv);
        j.check(inMain, "the main log has no crash record \"" + record + "\"");
        j.check(inCrash, "the crash log has no crash record \"" + record + "\"");
        j.check(moved, "the main log has no line \"" + mv.substr(6) + "\"");
        say("   crash record in the main log: %s, in the crash log: %s, move logged: %s\n",
            inMain ? "yes" : "NO", inCrash ? "yes" : "NO", moved ? "yes" : "NO");
    }

    say("\n== overall\n");
    say("   frames delivered %d; kernel filtered in all: ABS_X %d, ABS_Y %d, BTN_TOUCH %d, "
        "keys %d, empty frames %d\n",
        delivered, total.absX, total.absY, total.btnTouch, total.keys, total.emptyFrames);
    say("   verdict: %s\n", j.failures() ? "FAIL" : "PASS");
    say("checks: %d passed, %d failed\n", j.passed(), j.failures());
    if (firstFailure)
        *firstFailure = j.firstFailure();
    return j.failures();
}

// ---------------------------------------------------------------- selftest

// Each case damages a copy of good results the way a real fault would; the
// verdict must fail on every one.
int selftest(const Results& good)
{
    if (judge(good, true) != 0) {
        printf("selftest: the results do not pass as they are; nothing to damage\n");
        return 1;
    }
    auto firstFrame = [](Run& run, int type, int code) -> Frame* {
        for (auto& f : run.frames)
            for (auto& rec : f.recs)
                if (rec.type == type && rec.code == code)
                    return &f;
        return nullptr;
    };
    auto replaceInLog = [](std::vector<std::string>& lines, const std::string& from,
                           const std::string& to) {
        for (auto& l : lines) {
            auto p = l.find(from);
            if (p != std::string::npos) {
                l.replace(p, from.size(), to);
                return true;
            }
        }
        return false;
    };
    // Index of the first frame of run's first gesture of `kind`; a swipe of
    // the event source (step 5, never without displacement) is always five
    // frames and every other gesture two, since each of their frames carries
    // multi-touch values or a key change and so is never filtered away whole.
    auto firstFrameOf = [](const Run& run, Kind kind) -> long {
        long frame = 0;
        for (const auto& g : loggedGestures(run)) {
            const long n = g.kind == SWIPE ? 5 : 2;
            if (g.kind == kind)
                return frame + n <= static_cast<long>(run.frames.size()) ? frame : -1;
            frame += n;
        }
        return -1;
    };
    struct Case {
        const char* name;
        std::function<bool(Results&)> damage; // false: not applicable here
    };
    const std::vector<Case> cases = {
        {"a delivered frame lost", [](Results& r) {
             auto& f = r.runs[0].frames;
             if (f.size() < 3) return false;
             f.erase(f.begin() + static_cast<long>(f.size() / 2));
             return true;
         }},
        {"a delivered position off by one", [&](Results& r) {
             Frame* f = firstFrame(r.runs[0], EV_ABS, ABS_MT_POSITION_X);
             if (!f) return false;
             for (auto& rec : f->recs)
                 if (rec.code == ABS_MT_POSITION_X) { ++rec.value; break; }
             return true;
         }},
        {"an unchanged ABS_X delivered again", [](Results& r) {
             for (auto& f : r.runs[0].frames)
                 for (size_t i = 0; i < f.recs.size(); ++i)
                     if (f.recs[i].type == EV_ABS && f.recs[i].code == ABS_MT_POSITION_X) {
                         bool hasAbsX = false;
                         for (auto& rec : f.recs) hasAbsX |= rec.type == EV_ABS && rec.code == ABS_X;
                         if (hasAbsX) {
                             f.recs.push_back({EV_ABS, ABS_X, f.recs[i].value});
                             return true;
                         }
                     }
             return false;
         }},
        {"a key code changed", [](Results& r) {
             for (auto& f : r.runs[0].frames)
                 for (auto& rec : f.recs)
                     if (rec.type == EV_KEY && rec.code != BTN_TOUCH) { rec.code += 1; return true; }
             return false;
         }},
        {"a long click not held", [&](Results& r) {
             const long i = firstFrameOf(r.runs[0], LONGCLICK);
             if (i < 0) return false;
             r.runs[0].frames[static_cast<size_t>(i) + 1].t = r.runs[0].frames[static_cast<size_t>(i)].t;
             return true;
         }},
        {"a swipe lifted one pixel off its last point", [&](Results& r) {
             const long i = firstFrameOf(r.runs[0], SWIPE);
             if (i < 0) return false;
             // Frames of a swipe: down, two moves, the last point, the lift.
             r.runs[0].frames[static_cast<size_t>(i) + 3].recs.at(0).value += 1;
             return true;
         }},
        {"a swipe's drawn point outside its range", [&](Results& r) {
             const long i = firstFrameOf(r.runs[0], SWIPE);
             if (i < 0) return false;
             const auto gs = loggedGestures(r.runs[0]);
             for (const auto& g : gs) {
                 if (g.kind != SWIPE) continue;
                 const auto path = swipePath(g);
                 auto& move = r.runs[0].frames[static_cast<size_t>(i) + 1].recs;
                 // Replace the drawn coordinate of the first move, and the
                 // ABS_ value that repeats it, with one past its range.
                 const int axis = path[1].xKnown ? 1 : 0;
                 const int out = path[1].hi + 1;
                 for (auto& rec : move)
                     if (rec.code == axis || rec.code == ABS_MT_POSITION_X + axis) rec.value = out;
                 return true;
             }
             return false;
         }},
        {"a gesture missing from the log", [](Results& r) {
             auto& log = r.runs[0].log;
             for (size_t i = 0; i < log.size(); ++i)
                 if (log[i].find("]Sending ") != std::string::npos) {
                     log.erase(log.begin() + static_cast<long>(i));
                     return true;
                 }
             return false;
         }},
        {"a wrong summary count",
         [&](Results& r) {
             return replaceInLog(r.runs[0].log, "Events injected:" + std::to_string(r.count),
                                 "Events injected:" + std::to_string(r.count + 1));
         }},
        {"an unlogged click at the end of the run by count", [](Results& r) {
             const double t = r.runs[0].frames.empty() ? 0 : r.runs[0].frames.back().t;
             Frame down, lift;
             down.t = t + 1;
             down.recs = downBlock(1, 2);
             lift.t = t + 2;
             lift.recs = liftBlock();
             r.runs[0].frames.push_back(down);
             r.runs[0].frames.push_back(lift);
             return true;
         }},
        {"an unlogged key press at the end of the SIGINT run", [](Results& r) {
             const double t = r.runs[1].frames.empty() ? 0 : r.runs[1].frames.back().t;
             r.runs[1].frames.push_back({t + 1, {{EV_KEY, 115, 1}}});
             r.runs[1].frames.push_back({t + 2, {{EV_KEY, 115, 0}}});
             return true;
         }},
        {"a signalled run exited with status 1", [](Results& r) { r.runs[1].status = 1; return true; }},
        {"the echo left running", [](Results& r) {
             r.runs[2].leftovers.push_back("  200     1 S    tail -F ./results/x/tapfuzz.log");
             return true;
         }},
        {"the crash record missing from the crash log", [](Results& r) {
             r.runs[0].crashLog.clear();
             return true;
         }},
        {"the saved dump one byte short", [](Results& r) {
             if (r.cores.empty()) return false;
             auto& b = r.cores.begin()->second;
             b.pop_back();
             return true;
         }},
        {"the saved dump with one byte changed", [](Results& r) {
             if (r.cores.empty()) return false;
             auto& b = r.cores.begin()->second;
             b[b.size() / 2] = static_cast<char>(b[b.size() / 2] ^ 0x40);
             return true;
         }},
        {"the dump and its copy cut short alike", [](Results& r) {
             if (r.cores.empty() || r.witness.size() < 8192) return false;
             auto& b = r.cores.begin()->second;
             b.resize(b.size() - 4096);
             r.witness = b;
             return true;
         }},
        {"the dump left under its raw name", [](Results& r) {
             if (r.cores.empty()) return false;
             std::string bytes = r.cores.begin()->second;
             r.cores.clear();
             r.cores[r.crasher["dump"]] = bytes;
             return true;
         }},
    };
    int missed = 0, run = 0;
    for (const auto& c : cases) {
        Results r = good;
        if (!c.damage(r)) {
            printf("   selftest: %-45s not applicable to these results\n", c.name);
            continue;
        }
        ++run;
        std::string why;
        const bool caught = judge(r, true, &why) != 0;
        if (!caught)
            ++missed;
        printf("   selftest: %s: %s\n", c.name, caught ? "caught" : "MISSED");
        if (caught)
            printf("             (%s)\n", why.c_str());
    }
    printf("   selftest: %d damaged copies, %d caught, %d missed\n", run, run - missed, missed);
    printf("selftest: %d passed, %d failed\n", run - missed, missed);
    return missed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    bool self = argc == 4 && strcmp(argv[1], "--selftest") == 0;
    if (argc != 3 && !self) {
        fprintf(stderr, "usage: verdict [--selftest] RESULTS_DIR COUNT\n");
        return 2;
    }
    const fs::path dir = argv[self ? 2 : 1];
    const int count = atoi(argv[self ? 3 : 2]);
    if (!fs::is_directory(dir / "out")) {
        fprintf(stderr, "verdict: %s holds no board results (no out/)\n", dir.c_str());
        return 2;
    }
    const Results r = load(dir, count);
    if (self)
        return selftest(r);
    return judge(r, false) ? 1 : 0;
}
