// Problem: a results folder is read by people at a desk and by CI servers,
// long after the run and often damaged (a killed run, a full disk).
// Solution: read whatever of the logs, records and pictures is readable,
// note what is not, and write one HTML file with everything inline (no
// script, nothing fetched) and a junit.xml of the crashes.
#include "report/report.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "base/files.h"
#include "base/log_text.h"
#include "report/report_reader.h"

namespace {

const size_t kMaxSwipeLines = 5000;        // drawn per run; more only blacken the map
const long kMaxPicture = 4 * 1024 * 1024;  // larger screenshots are linked, not inlined
const char* const kKinds[] = {"click", "swipe", "longclick", "key"};

// What one page holds, whatever the folder holds.
const long long kMaxInlined = 32LL * 1024 * 1024;  // screenshot bytes per page; the rest are listed by path
const long long kMaxCells = 250000;                // touch-map cells per run: finer grids are coarsened
const size_t kMaxMarks = 10000;                    // listed per run; more are counted
const size_t kMaxMarkBytes = 8 << 20;              // text of the marks kept from the log (all runs), and per record
const size_t kMaxRuns = 1000;
const size_t kMaxNotes = 50;         // per run; the folder's list holds 20 times that
const size_t kNoteBytes = 1024;      // of a note's text
const size_t kMaxHead = 32;          // "# key:value" lines kept per record
const size_t kShownLine = 120;       // bytes of a gesture line shown before a mark
const long long kMaxAt = 100000LL * 60000000;  // 70 days: a later gesture is no run of ours
const char* const kMarks[] = {"crash", "dump", "freeze", "exit"};
// Read without following a link in the last step and without waiting on a
// FIFO or a device that a hostile name may be.
const int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

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

bool noControl(const char* s, size_t n)  // the start of s needs no \xHH on a page
{
    const unsigned char c = static_cast<unsigned char>(s[0]);
    if (n == 1)
        return c >= 0x20 && c != 0x7f;
    // C1 controls (U+0080..U+009F, errors to HTML) and U+FFFE, U+FFFF (XML
    // 1.0 refuses them).
    const unsigned char d = static_cast<unsigned char>(s[1]);
    return !(n == 2 && c == 0xc2 && d < 0xa0) && !(n == 3 && c == 0xef && d == 0xbf && static_cast<unsigned char>(s[2]) >= 0xbe);
}

// Text for the page and junit.xml: bytes outside UTF-8 and control
// characters become \xHH as in the log, markup characters entities. A
// backslash stays as it is: the log and the record escaped theirs.
std::string esc(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8Length(s.data() + i, s.size() - i);
        if (n == 0 || !noControl(s.data() + i, n)) {
            for (size_t k = 0; k < std::max<size_t>(n, 1); ++k) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(s[i + k]));
                out += hex;
            }
            i += std::max<size_t>(n, 1);
            continue;
        }
        switch (s[i]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.append(s, i, n);
        }
        i += n;
    }
    return out;
}

void base64(ReportOut& o, const std::string& in)
{
    static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<unsigned char>(in[i + 2]);
        out += t[v >> 18];
        out += t[(v >> 12) & 63];
        out += i + 1 < in.size() ? t[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? t[v & 63] : '=';
        if (out.size() >= 64 * 1024)
            o << out, out.clear();
    }
    o << out;
}

// Seconds of a "YYYY-MM-DD HH:MM:SS" stamp; both ends of a run are local
// times of one clock, so reading them as UTC keeps their difference.
long long stampSeconds(const std::string& stamp)
{
    struct tm t = {};
    const char* end = strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &t);
    return end != nullptr && *end == '\0' ? static_cast<long long>(timegm(&t)) : -1;
}

std::string baseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

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

void addNote(std::vector<std::string>& notes, long long& left, const std::string& note, size_t most = kMaxNotes)
{
    if (notes.size() < most)
        notes.push_back(note.size() > kNoteBytes ? note.substr(0, kNoteBytes) + "..." : note);
    else
        ++left;
}

struct Gesture {
    long long index, at;
    int kind;  // FACTOR_TYPE
    long long x = 0, y = 0, x1 = 0, y1 = 0;
};

// "INDEX MICROSECONDS KIND FIELDS..."; what follows the fields the report
// uses is not looked at.
bool parseGesture(const std::string& line, Gesture* g)
{
    const char* p = line.c_str();
    if (!number(p, INT_MIN, INT_MAX, &g->index) || !number(p, 0, kMaxAt, &g->at))
        return false;
    while (*p == ' ' || *p == '\t')
        ++p;
    const size_t len = strcspn(p, " \t");
    g->kind = -1;
    for (int k = 0; k < 4; ++k)
        if (strlen(kKinds[k]) == len && strncmp(p, kKinds[k], len) == 0)
            g->kind = k;
    p += len;
    const long long lo = INT_MIN, hi = INT_MAX;
    switch (g->kind) {
    case 0:
    case 2: return number(p, lo, hi, &g->x) && number(p, lo, hi, &g->y);
    case 1: return number(p, lo, hi, &g->x) && number(p, lo, hi, &g->y) && number(p, lo, hi, &g->x1) && number(p, lo, hi, &g->y1);
    case 3: return true;
    default: return false;
    }
}

bool allDigits(const std::string& s, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return from < to;
}

// A saved name, coredump-<program>-<pid>-<YYYY-MM-DD>_<HH:MM:SS>[.N], split
// into its program, pid and time; the program may itself hold dashes.
bool splitSavedName(std::string base, ReportMark* m)
{
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && allDigits(base, dot + 1, base.size()))
        base.resize(dot);
    static const char kShape[] = "-dddd-dd-dd_dd:dd:dd";  // d: a digit
    const size_t n = sizeof kShape - 1, prefix = sizeof "coredump-" - 1;
    if (base.compare(0, prefix, "coredump-") != 0 || base.size() < prefix + 2 + n)
        return false;
    const size_t at = base.size() - n;
    for (size_t i = 0; i < n; ++i)
        if (kShape[i] == 'd' ? !allDigits(base, at + i, at + i + 1) : base[at + i] != kShape[i])
            return false;
    const size_t dash = base.rfind('-', at - 1);
    if (dash == std::string::npos || dash < prefix || !allDigits(base, dash + 1, at))
        return false;
    m->program = base.substr(prefix, dash - prefix);
    m->pid = base.substr(dash + 1, at - dash - 1);
    m->time = base.substr(at + 1, 10) + " " + base.substr(at + 12, 8);
    return true;
}

int markKind(const std::string& what)
{
    for (int k = 0; k < 4; ++k)
        if (what == kMarks[k])
            return k;
    return 3;
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
    if (!splitSavedName(base, &m))
        m.program = base;
    auto app = run.appCrash.find(m.saved);
    if (app != run.appCrash.end())
        m.program = app->second;
    m.what = app == run.appCrash.end() && run.namesApp ? "dump" : "crash";
    m.message = m.what == "dump" ? "not known to be the application's (no app crash line): " + m.saved
                                 : m.program + " pid " + (m.pid.empty() ? "?" : m.pid) + " dumped core: " + m.saved;
    m.shot = m.saved + ".png";
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

void addGesture(ReportRun& run, const Gesture& g)
{
    ++run.gestures;
    ++run.counts[g.kind];
    run.lastAt = g.at;
    const size_t minute = static_cast<size_t>(g.at / 60000000);
    if (run.perMinute.size() <= minute)
        run.perMinute.resize(minute + 1);
    ++run.perMinute[minute];
    if (g.kind == 1 && run.swipesAll++ < static_cast<long long>(kMaxSwipeLines)) {
        ++run.swipesDrawn;
        run.swipes += "M" + std::to_string(g.x) + " " + std::to_string(g.y) + "L" + std::to_string(g.x1) + " " +
                      std::to_string(g.y1);
    }
    if (g.kind != 0 && g.kind != 2)
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

bool askedForIt(const ReportRun& run, std::string* how)
{
    const std::string command = run.head.count("command") ? run.head.at("command") : "";
    if (run.injected >= 0) {
        *how = "finished: " + std::to_string(run.injected) + " events injected";
        return true;
    }
    if (!run.stopSignal.empty()) {
        *how = "ended by " + run.stopSignal;
        return run.stopSignal == "SIGALRM" && command.find("--hour") != std::string::npos;
    }
    *how = "ended by nothing it logged (killed, or still running)";
    return false;
}

double seconds(const ReportRun& run)
{
    double d = run.lastAt / 1e6;
    long long a = stampSeconds(run.head.count("start") ? run.head.at("start") : ""), b = stampSeconds(run.lastStamp);
    return a >= 0 && b >= a && b - a > d ? static_cast<double>(b - a) : d;
}

long long atOf(const ReportRun& run, int event)
{
    auto b = run.before.find(event);
    if (b != run.before.end() && b->second.at >= 0)
        return b->second.at;
    return event <= 0 || run.gestures == 0 ? 0 : run.lastAt;
}

void touchMap(ReportOut& o, ReportRun& run, const std::vector<Zone>& zones)
{
    layOut(run);
    if (run.cells.empty()) {
        o << "<p class=\"note\">no touch map: the record gives no screen size</p>";
        return;
    }
    // 600 px wide at the screen's ratio, within reason for a strip of a screen.
    const double height = std::min(6000.0, std::max(1.0, 600.0 * run.height / run.width));
    o << "<svg class=\"map\" width=\"600\" height=\"" << height << "\" viewBox=\"0 0 " << run.width << " "
      << run.height << "\"><rect width=\"100%\" height=\"100%\" fill=\"#f2f2f2\" stroke=\"#888\"/>";
    const long long most = std::max(1LL, run.mostInCell);
    for (size_t i = 0; i < run.cells.size(); ++i)
        if (run.cells[i] != 0)
            o << "<rect x=\"" << static_cast<long long>(i % run.cols) * run.cell << "\" y=\""
              << static_cast<long long>(i / run.cols) * run.cell << "\" width=\"" << run.cell << "\" height=\""
              << run.cell << "\" fill=\"#d22\" fill-opacity=\"" << 0.1 + 0.9 * run.cells[i] / most << "\"/>";
    o << "<path d=\"" << run.swipes << "\" stroke=\"#15c\" stroke-opacity=\".35\" stroke-width=\""
      << run.width / 600.0 << "\" fill=\"none\"/>";
    for (const Zone& z : zones)
        o << "<rect x=\"" << z.x << "\" y=\"" << z.y << "\" width=\"" << z.w << "\" height=\"" << z.h
          << "\" fill=\"#000\" fill-opacity=\".3\" stroke=\"#000\" stroke-dasharray=\"6 4\"/>";
    o << "</svg><p>" << run.width << "x" << run.height << ", cells of " << run.cell
      << " px shaded by clicks and long clicks (darkest: " << most << "); " << run.swipesDrawn << " of "
      << run.swipesAll << " swipes as lines; forbidden zones hatched dark";
    if (run.offScreen > 0)
        o << "; " << run.offScreen << " touches off the screen not shown";
    o << ".</p>";
}

void timeline(ReportOut& o, const ReportRun& run)
{
    std::vector<long long> minutes = run.perMinute;
    if (minutes.empty())
        minutes.push_back(0);
    const double n = static_cast<double>(minutes.size());
    const long long most = std::max(1LL, *std::max_element(minutes.begin(), minutes.end()));
    // A bar per minute, or per group of minutes (the busiest of them) when
    // there are more minutes than pixels.
    const size_t per = (minutes.size() + 799) / 800, bars = (minutes.size() + per - 1) / per;
    o << "<svg class=\"timeline\" width=\"800\" height=\"130\"><rect width=\"800\" height=\"110\" fill=\"#f7f7f7\"/>";
    for (size_t b = 0; b < bars; ++b) {
        long long v = 0;
        for (size_t i = b * per; i < std::min(minutes.size(), (b + 1) * per); ++i)
            v = std::max(v, minutes[i]);
        o << "<rect x=\"" << 800.0 * b / bars << "\" y=\"" << 110 - 100.0 * v / most << "\" width=\"" << 800.0 / bars
          << "\" height=\"" << 100.0 * v / most << "\" fill=\"#8ab\"/>";
    }
    for (const ReportMark& m : run.marks) {
        double x = 800 * (atOf(run, m.event) / 6e7) / n;
        static const char* const colour[] = {"#d00", "#888", "#06f", "#e80"};
        o << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"0\" y2=\"110\" stroke=\"" << colour[markKind(m.what)]
          << "\" stroke-width=\"2\"/>";
    }
    o << "<text x=\"0\" y=\"126\" font-size=\"12\">0 min</text><text x=\"800\" y=\"126\" font-size=\"12\" "
         "text-anchor=\"end\">"
      << static_cast<long long>(n) << " min; busiest " << most
      << " events/min</text></svg><p><span style=\"color:#d00\">| crash</span> <span style=\"color:#888\">| dump "
         "not the application's</span> <span style=\"color:#06f\">| freeze</span> <span style=\"color:#e80\">| "
         "application exit</span></p>";
}

// The screenshot of a mark, when it may be inlined: a name tapfuzz gives
// (coredump-....png beside the saved dump, freeze-....png), in the results
// folder or beside the dump its record names, a regular file that is a PNG
// of at most kMaxPicture bytes, within the page's kMaxInlined. Otherwise ""
// and *note says why.
std::string picture(ReportFolder& folder, const ReportMark& m, std::string* note)
{
    const std::string base = baseName(m.shot);
    const bool crash = m.what == "crash" || m.what == "dump";
    const char* prefix = crash ? "coredump-" : "freeze-";
    if (base.compare(0, strlen(prefix), prefix) != 0 || base.size() < 4 ||
        base.compare(base.size() - 4, 4, ".png") != 0) {
        *note = "screenshot " + m.shot + " not inlined: not a name tapfuzz gives";
        return "";
    }
    // A freeze shot is only ever in the results folder, whatever the log says.
    std::vector<std::pair<int, std::string>> where;
    if (crash)
        where.push_back({AT_FDCWD, m.shot});
    if (folder.fd >= 0)
        where.push_back({folder.fd, base});
    std::string why = "missing";
    for (const auto& w : where) {
        struct stat st;
        Fd fd(openRegular(w.first, w.second, &st, &why));
        const std::string shown = w.first == AT_FDCWD ? w.second : folder.path + "/" + w.second;
        if (fd.get() < 0 && why == "missing")
            continue;
        if (fd.get() < 0) {
            *note = "screenshot " + shown + " not inlined: " + why;
            return "";
        }
        if (st.st_size > kMaxPicture) {
            *note = "screenshot " + shown + " too large to inline";
            return "";
        }
        if (folder.inlined + st.st_size > kMaxInlined) {
            *note = "screenshot " + shown + " not inlined: the page holds its 32 MB of screenshots";
            return "";
        }
        std::string data(static_cast<size_t>(st.st_size), '\0');
        size_t got = 0;
        for (ssize_t n; got < data.size() && (n = read(fd.get(), &data[got], data.size() - got)) != 0;) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            got += static_cast<size_t>(n);
        }
        data.resize(got);
        if (data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) {
            *note = "screenshot " + shown + " not inlined: not a PNG";
            return "";
        }
        folder.inlined += static_cast<long long>(data.size());
        return data;
    }
    *note = "screenshot " + m.shot + " " + why;
    return "";
}

void runSection(ReportOut& o, ReportFolder& folder, ReportRun& run)
{
    auto head = [&run](const char* k) { return run.head.count(k) ? run.head.at(k) : std::string("?"); };
    std::vector<Zone> zones;
    std::string why;
    if (run.head.count("exclude") && !parseZones(run.head.at("exclude"), &zones, &why))
        addNote(run.notes, run.notesLeft, "forbidden zones not readable: " + why);
    std::string how;
    askedForIt(run, &how);
    std::string minutes;
    for (long long c : run.perMinute.empty() ? std::vector<long long>{0} : run.perMinute)
        minutes += (minutes.empty() ? "" : " ") + std::to_string(c);

    o << "<section class=\"run\" id=\"" << esc(run.name) << "\" data-seed=\"" << esc(head("seed"))
      << "\" data-events=\"" << run.gestures << "\" data-injected=\"" << run.injected;
    for (int k = 0; k < 4; ++k)
        o << "\" data-" << kKinds[k] << "=\"" << run.counts[k];
    o << "\" data-crashes=\"" << run.kinds[0] << "\" data-dumps=\"" << run.kinds[1] << "\" data-freezes=\""
      << run.kinds[2] << "\" data-exits=\"" << run.kinds[3] << "\" data-minutes=\"" << minutes << "\">\n<h2>"
      << esc(run.name) << "</h2>\n<table class=\"head\"><tr><th>seed</th><td>" << esc(head("seed"))
      << "</td></tr><tr><th>command</th><td><code>" << esc(head("command")) << "</code></td></tr><tr><th>library</th><td>"
      << esc(head("library")) << "</td></tr><tr><th>start</th><td>" << esc(head("start"))
      << "</td></tr><tr><th>duration</th><td>" << static_cast<long long>(seconds(run))
      << " s</td></tr><tr><th>ended</th><td>" << esc(how)
      << "</td></tr></table>\n<h3>Gestures per kind</h3><table><tr><th>kind</th><th>injected</th><th>share</th><th>"
         "asked</th></tr>";
    std::vector<std::string> mix(4, "?");
    std::istringstream mixText(run.head.count("mix") ? run.head.at("mix") : "");
    int k = 0;
    for (std::string v; k < 4 && std::getline(mixText, v, ',');)
        mix[k++] = v;
    for (k = 0; k < 4; ++k) {
        char share[32];
        snprintf(share, sizeof share, "%.1f %%", run.gestures == 0 ? 0.0 : 100.0 * run.counts[k] / run.gestures);
        o << "<tr><td>" << kKinds[k] << "</td><td>" << run.counts[k] << "</td><td>" << share << "</td><td>"
          << esc(mix[k]) << " %</td></tr>";
    }
    o << "</table>\n<h3>Touch map</h3>";
    touchMap(o, run, zones);
    o << "\n<h3>Timeline (events per minute)</h3>";
    timeline(o, run);
    o << "\n<h3>Crashes, dumps, freezes and exits</h3>";
    if (run.marks.empty())
        o << "<p>none</p>";
    else
        o << "<table class=\"marks\"><tr><th>time</th><th>what</th><th>program</th><th>pid</th><th>saved</th><th>"
             "after gesture</th><th>screen</th><th>gestures before</th></tr>";
    const std::string record = folder.path + "/" + run.name + ".events";
    for (const ReportMark& m : run.marks) {
        std::string note, shot = m.shot.empty() ? "" : picture(folder, m, &note);
        std::string before;
        auto b = run.before.find(m.event);
        if (b != run.before.end())
            for (const std::string& line : b->second.lines)
                before += esc(line) + "\n";
        o << "<tr class=\"" << m.what << "\" data-event=\"" << m.event << "\" data-saved=\"" << esc(m.saved)
          << "\"><td>" << esc(m.time) << "</td><td>" << m.what << "</td><td>"
          << (m.what == "dump" ? "unverified: " : "") << esc(m.program) << "</td><td>" << esc(m.pid) << "</td><td>"
          << esc(m.saved.empty() ? m.message : m.saved) << "</td><td>" << m.event << "</td><td>";
        if (!shot.empty()) {
            o << "<img width=\"240\" alt=\"screen\" src=\"data:image/png;base64,";
            base64(o, shot);
            o << "\"/>";
        } else if (!note.empty()) {
            o << esc(note);
            addNote(run.notes, run.notesLeft, note);
        }
        o << "</td><td><pre>" << before << "</pre>";
        if (m.event > 0 && run.listed)
            o << "replay: <code>tapfuzz --replay " << esc(record) << " --to " << m.event << "</code>";
        o << "</td></tr>";
    }
    if (!run.marks.empty())
        o << "</table>";
    if (run.unlisted > 0)
        o << "<p class=\"note\">" << run.unlisted << " more crashes, dumps, freezes and exits not listed</p>";
    o << "</section>\n";
}

// "YYYY-MM-DD HH:MM:SS" exactly and a real date, as the schema's time
// stamp wants it (strptime alone takes fewer digits and February 30).
bool isStamp(const std::string& s)
{
    long long t = stampSeconds(s);
    struct tm tmv;
    char again[32] = "";
    time_t tt = static_cast<time_t>(t);
    return t >= 0 && tt == t && gmtime_r(&tt, &tmv) != nullptr &&
           strftime(again, sizeof again, "%Y-%m-%d %H:%M:%S", &tmv) > 0 && s == again;
}

void junitRun(ReportOut& o, ReportFolder& folder, const ReportRun& run)
{
    auto head = [&run](const char* k) { return run.head.count(k) ? run.head.at(k) : std::string(""); };
    std::string how, start = head("start"), cls = "tapfuzz." + run.name;
    bool ok = askedForIt(run, &how);
    std::replace(start.begin(), start.end(), ' ', 'T');
    if (!isStamp(head("start")))
        start = "1970-01-01T00:00:00";
    const int dumps = static_cast<int>(std::count_if(run.marks.begin(), run.marks.end(),
                                                     [](const ReportMark& m) { return m.what == "dump"; }));
    const int tests = static_cast<int>(run.marks.size()) + 1 + (run.unlisted > 0 ? 1 : 0);
    const int failures = tests - dumps - (ok ? 1 : 0);
    char time[32];
    snprintf(time, sizeof time, "%.3f", seconds(run));
    o << "  <testsuite name=\"" << esc(run.name) << "\" tests=\"" << tests << "\" failures=\"" << failures
      << "\" skipped=\"" << dumps << "\" timestamp=\"" << esc(start) << "\" time=\"" << time
      << "\">\n    <properties><property name=\"seed\" value=\"" << esc(head("seed"))
      << "\"/><property name=\"command\" value=\"" << esc(head("command"))
      << "\"/></properties>\n    <testcase classname=\"" << esc(cls) << "\" name=\"run seed:" << esc(head("seed"))
      << "\" time=\"" << time << "\"";
    o << (ok ? "/>\n" : "><failure message=\"" + esc(how) + "\"/></testcase>\n");
    // A dump not known to be the application's is reported, but neither as
    // its crash nor as a failure.
    for (const ReportMark& m : run.marks) {
        std::string name = m.what == "freeze" || m.what == "dump" ? m.what : m.what + " " + m.program;
        o << "    <testcase classname=\"" << esc(cls) << "\" name=\"" << esc(name) << " event:" << m.event << "\"><"
          << (m.what == "dump" ? "skipped" : "failure") << " message=\"" << esc(m.message) << "\"/></testcase>\n";
    }
    if (run.unlisted > 0)
        o << "    <testcase classname=\"" << esc(cls) << "\" name=\"unlisted\"><failure message=\"" << run.unlisted
          << " more crashes, dumps, freezes and exits\"/></testcase>\n";
    o << "  </testsuite>\n";
    folder.tests += tests;
    folder.failures += failures;
}

// FOLDER/NAME is written as NAME.part and renamed when whole and valid.
bool commit(AsideFile& part, ReportOut& out, std::string* why)
{
    if (!out.flush()) {
        *why = errorText(errno);
        return false;
    }
    if (!out.valid()) {
        *why = "its text would not be valid UTF-8 of XML characters";
        return false;
    }
    if (part.close(false) != 0 || part.rename(true) != 0) {
        *why = errorText(errno);
        return false;
    }
    return true;
}

// The run a "record:" line names: the record's base name picks it; the
// path itself is never opened.
ReportRun* logRun(ReportFolder& folder, const std::string& base)
{
    if (base.size() <= 11 || base.compare(0, 4, "run-") != 0 || base.compare(base.size() - 7, 7, ".events") != 0)
        return nullptr;
    const std::string name = base.substr(0, base.size() - 7);
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

void readRun(ReportFolder& folder, ReportRun& run)
{
    std::string why;
    struct stat st;
    Fd fd(run.listed ? openRegular(folder.fd, run.name + ".events", &st, &why) : -1);
    if (!run.listed)
        addNote(run.notes, run.notesLeft, "the log names run record " + run.name + ".events, which is not in the folder");
    else if (fd.get() < 0)
        addNote(run.notes, run.notesLeft, "run record " + folder.path + "/" + run.name + ".events not readable: " + why);
    if (fd.get() >= 0) {
        LineReader in(fd.get());
        readRecord(in, run);
    }
    sortMarks(run);
    if (fd.get() >= 0 && !run.before.empty() && lseek(fd.get(), 0, SEEK_SET) == 0) {
        LineReader in(fd.get());
        readGesturesBefore(in, run);
    }
}

}  // namespace

int writeReport(const std::string& given)
{
    // "results/tapfuzzD/" and "results/tapfuzzD" name one folder; the paths
    // the page shows (the replay command among them) get one slash.
    std::string path = given;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    if (!dir) {
        fprintf(stderr, "tapfuzz: cannot read the results folder %s: %s\n", escapeLogText(path).c_str(), errorText(errno).c_str());
        return 1;
    }
    ReportFolder folder;
    folder.path = path;
    folder.fd = dirfd(dir.get());
    // Runs are the records in the listing, the first kMaxRuns by name.
    std::set<std::string> names;
    while (struct dirent* e = readdir(dir.get())) {
        std::string n = e->d_name;
        if (n.rfind("run-", 0) == 0 && n.size() > 11 && n.compare(n.size() - 7, 7, ".events") == 0) {
            names.insert(n.substr(0, n.size() - 7));
            if (names.size() > kMaxRuns)
                names.erase(std::prev(names.end())), ++folder.runsLeft;
        }
    }
    for (const std::string& n : names) {
        folder.runs[n].name = n;
        folder.runs[n].listed = true;
    }
    {
        std::string why;
        struct stat st;
        Fd log(openRegular(folder.fd, "tapfuzz.log", &st, &why));
        if (log.get() >= 0) {
            LineReader in(log.get());
            readMainLog(in, folder);
        } else {
            addNote(folder.notes, folder.notesLeft, "main log " + path + "/tapfuzz.log not readable: " + why);
        }
    }

    AsideFile htmlPart(folder.fd, "report.html"), junitPart(folder.fd, "junit.xml");
    const int htmlFd = htmlPart.create(true), junitFd = htmlFd < 0 ? -1 : junitPart.create(true);
    if (htmlFd < 0 || junitFd < 0) {
        fprintf(stderr, "tapfuzz: cannot write %s/%s.part: %s\n", escapeLogText(path).c_str(),
                htmlFd < 0 ? "report.html" : "junit.xml", errorText(errno).c_str());
        return 1;
    }
    ReportOut html(htmlFd), junit(junitFd);
    html << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"/><title>tapfuzz report " << esc(path)
         << "</title><style>body{font:14px sans-serif;margin:16px;max-width:960px}table{border-collapse:collapse;"
            "margin:6px 0}td,th{border:1px solid #bbb;padding:2px 6px;text-align:left;vertical-align:top}"
            "pre,code{font-size:11px;margin:0;white-space:pre-wrap;word-break:break-all}section{border-top:3px "
            "solid #333;margin-top:20px}.note{color:#a40}</style></head><body>\n<h1>tapfuzz report</h1><p>"
         << esc(path) << ": " << folder.runs.size() << " run(s)</p>\n";
    // The totals come last; their room is kept in the opening tag.
    const std::string opening = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tapfuzz\"";
    const size_t room = 48;
    junit << opening << std::string(room, ' ') << ">\n";
    for (auto& r : folder.runs) {
        readRun(folder, r.second);
        writeRun(html, junit, folder, r.second);
        r.second = ReportRun();  // its figures are written: the memory goes to the next
    }
    if (folder.runs.empty())
        addNote(folder.notes, folder.notesLeft, "no run found in " + path);
    if (folder.runsLeft > 0)
        addNote(folder.notes, folder.notesLeft, std::to_string(folder.runsLeft) + " runs beyond the first " +
                                                    std::to_string(kMaxRuns) + " not reported");
    if (!folder.notes.empty()) {
        html << "<h2>Not readable</h2><ul class=\"notes\">";
        for (const std::string& n : folder.notes)
            html << "<li class=\"note\">" << esc(n) << "</li>";
        if (folder.notesLeft > 0)
            html << "<li class=\"note\">" << folder.notesLeft << " more</li>";
        html << "</ul>";
    }
    html << "</body></html>\n";
    junit << "</testsuites>\n";
    const std::string totals =
        " tests=\"" + std::to_string(folder.tests) + "\" failures=\"" + std::to_string(folder.failures) + "\"";
    std::string why;
    if (!commit(htmlPart, html, &why)) {
        fprintf(stderr, "tapfuzz: cannot write %s/report.html: %s\n", escapeLogText(path).c_str(), why.c_str());
        return 1;
    }
    if (!junit.flush() || pwrite(junitFd, totals.data(), totals.size(), static_cast<off_t>(opening.size())) !=
                              static_cast<ssize_t>(totals.size()) ||
        !commit(junitPart, junit, &why)) {
        fprintf(stderr, "tapfuzz: cannot write %s/junit.xml: %s\n", escapeLogText(path).c_str(),
                (why.empty() ? errorText(errno) : why).c_str());
        return 1;
    }
    printf("%s/report.html\n", path.c_str());
    return 0;
}

LineReader::LineReader(int fd) : mFd(fd), mBuf(new char[kMaxLine]) {}

LineReader::LineReader(const char* data, size_t size) : mData(data), mEnd(size) {}

bool LineReader::fill()
{
    if (mFd < 0 || mFailed)
        return false;
    ssize_t n;
    while ((n = read(mFd, mBuf.get(), kMaxLine)) < 0 && errno == EINTR) {
    }
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

ReportOut& ReportOut::operator<<(const char* s)
{
    return put(s, strlen(s));
}

ReportOut& ReportOut::operator<<(long long v)
{
    char text[32];
    return put(text, static_cast<size_t>(snprintf(text, sizeof text, "%lld", v)));
}

ReportOut& ReportOut::operator<<(double v)
{
    char text[32];
    return put(text, static_cast<size_t>(snprintf(text, sizeof text, "%g", v)));
}

ReportOut& ReportOut::put(const char* s, size_t n)
{
    for (size_t i = 0; i < n && mValid;) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x80) {
            ++i;
            continue;
        }
        const size_t k = utf8Length(s + i, n - i);
        mValid = k != 0 && (c == '\t' || c == '\n' || c == '\r' || c >= 0x20) &&
                 !(k == 3 && c == 0xef && static_cast<unsigned char>(s[i + 1]) == 0xbf &&
                   static_cast<unsigned char>(s[i + 2]) >= 0xbe);
        i += k;
    }
    mWritten += static_cast<long long>(n);
    if (mFd >= 0) {
        mBuf.append(s, n);
        if (mBuf.size() >= 64 * 1024)
            flush();
    }
    return *this;
}

bool ReportOut::flush()
{
    for (size_t at = 0; mError == 0 && at < mBuf.size();) {
        ssize_t n = write(mFd, mBuf.data() + at, mBuf.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            mError = n < 0 ? errno : EIO;
        else
            at += static_cast<size_t>(n);
    }
    mBuf.clear();
    errno = mError;
    return mError == 0;
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
    long long lineNo = 0, bad = 0;
    for (bool cut; in.next(&line, &cut);) {
        ++lineNo;
        Gesture g;
        if (cut) {
            if (bad++ == 0)
                addNote(run.notes, run.notesLeft, "run record line " + std::to_string(lineNo) + " not readable: longer than 64 KB");
        } else if (line.rfind("# crash:", 0) == 0) {
            const size_t after = line.rfind(" after:");
            ReportMark m;
            m.saved = line.substr(8, after == std::string::npos ? std::string::npos : after - 8);
            m.event = toInt(after == std::string::npos ? -1 : numberAfter(line.substr(after), " after:"));
            describeDump(run, m);
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

void writeRun(ReportOut& html, ReportOut& junit, ReportFolder& folder, ReportRun& run)
{
    runSection(html, folder, run);
    junitRun(junit, folder, run);
    for (const std::string& n : run.notes)
        addNote(folder.notes, folder.notesLeft, run.name + ": " + n, kMaxNotes * 20);
    if (run.notesLeft > 0)
        addNote(folder.notes, folder.notesLeft, run.name + ": " + std::to_string(run.notesLeft) + " more", kMaxNotes * 20);
}
