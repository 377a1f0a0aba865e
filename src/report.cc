// Problem: a results folder is read by people at a desk and by CI servers,
// long after the run and often damaged (a killed run, a full disk).
// Solution: read whatever of the logs, records and pictures is readable,
// note what is not, and write one HTML file with everything inline (no
// script, nothing fetched) and a junit.xml of the crashes.
#include "report.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace {

const size_t kMaxSwipeLines = 5000;        // drawn per run; more only blacken the map
const long kMaxPicture = 4 * 1024 * 1024;  // larger screenshots are linked, not inlined
const char* const kKinds[] = {"click", "swipe", "longclick", "key"};

struct Gesture {
    int index;
    long long at;  // microseconds from the run's start
    int kind;      // FACTOR_TYPE
    int x, y, x1, y1;
    std::string line;
};

// A crash, freeze or application exit, at the gesture index it came after.
struct Mark {
    std::string what, time, program, pid, saved, message, shot;
    int event;
};

struct Run {
    std::string name, recordPath;
    std::map<std::string, std::string> head;  // "# key:value" of the record
    std::vector<Gesture> gestures;
    std::vector<Mark> marks;
    std::vector<std::string> notes;
    std::map<std::string, std::string> appCrash;  // saved dump -> application
    std::string lastStamp, stopSignal;
    long long injected = -1;  // the summary's count; -1 without a summary
};

bool readText(const std::string& path, std::string* text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

std::string esc(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += (static_cast<unsigned char>(c) < 32 && c != '\n') ? ' ' : c;
        }
    }
    return out;
}

std::string base64(const std::string& in)
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
    }
    return out;
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

// The number after `key` in `text`, or -1.
long long numberAfter(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    return at == std::string::npos ? -1 : atoll(text.c_str() + at + key.size());
}

void readRecord(Run& run)
{
    std::string text;
    if (!readText(run.recordPath, &text)) {
        run.notes.push_back("run record " + run.recordPath + " not readable");
        return;
    }
    std::istringstream in(text);
    int lineNo = 0, bad = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        if (line.rfind("# crash:", 0) == 0) {
            size_t after = line.rfind(" after:");
            Mark m{"crash", "", "", "", line.substr(8, after == std::string::npos ? std::string::npos : after - 8),
                   "", "", static_cast<int>(numberAfter(line, " after:"))};
            run.marks.push_back(m);
        } else if (line.rfind("# ", 0) == 0 && line.find(':') != std::string::npos) {
            size_t colon = line.find(':');
            run.head.emplace(line.substr(2, colon - 2), line.substr(colon + 1));
        } else if (!line.empty() && line[0] != '#') {
            std::istringstream f(line);
            Gesture g{0, 0, -1, 0, 0, 0, 0, line};
            std::string kind;
            f >> g.index >> g.at >> kind;
            for (int k = 0; k < 4; ++k)
                if (kind == kKinds[k])
                    g.kind = k;
            if (g.kind == 0 || g.kind == 2)
                f >> g.x >> g.y;
            else if (g.kind == 1)
                f >> g.x >> g.y >> g.x1 >> g.y1;
            // A time before the start or beyond 70 days is no run of ours.
            if (!f || g.kind < 0 || g.at < 0 || g.at > 100000LL * 60000000) {
                if (bad++ == 0)
                    run.notes.push_back("run record line " + std::to_string(lineNo) + " not readable: " + line);
                continue;
            }
            run.gestures.push_back(g);
        }
    }
    if (bad > 1)
        run.notes.push_back(std::to_string(bad) + " run record lines not readable in all");
}

// What the run's own lines of the main log say; they lie between its
// "record:" line and the next run's "seed:" line.
void readLog(const std::string& folder, std::map<std::string, Run>& runs, std::vector<std::string>& notes)
{
    std::string text;
    if (!readText(folder + "/tapfuzz.log", &text)) {
        notes.push_back("main log " + folder + "/tapfuzz.log not readable");
        return;
    }
    std::istringstream in(text);
    Run* run = nullptr;
    for (std::string line; std::getline(in, line);) {
        if (line.size() < 28 || line[0] != '[' || line.compare(20, 7, "][INFO]") != 0)
            continue;
        const std::string stamp = line.substr(1, 19), msg = line.substr(27);
        const long long event = numberAfter(msg, "after event:");
        if (msg.rfind("record:", 0) == 0) {
            std::string name = baseName(msg.substr(7));
            name = name.substr(0, name.rfind(".events"));
            run = &runs[name];
            if (run->name.empty()) {
                run->name = name;
                run->recordPath = msg.substr(7);
            }
        } else if (msg.rfind("seed:", 0) == 0) {
            run = nullptr;
        } else if (run == nullptr) {
            continue;
        } else if (msg.rfind("Events injected:", 0) == 0) {
            run->injected = atoll(msg.c_str() + 16);
        } else if (msg.rfind("stopped by ", 0) == 0) {
            run->stopSignal = msg.substr(11);
        } else if (msg.rfind("app crash: ", 0) == 0 && msg.find(" dump:") != std::string::npos) {
            size_t d = msg.find(" dump:"), a = msg.rfind(" after event:");
            run->appCrash[msg.substr(d + 6, a - d - 6)] = msg.substr(11, d - 11);
        } else if (msg.rfind("freeze: screen unchanged for ", 0) == 0) {
            run->marks.push_back({"freeze", stamp, "", "", "", msg.substr(8, msg.find(" after") - 8), "",
                                  static_cast<int>(event)});
        } else if (msg.rfind("freeze: screenshot ", 0) == 0 && !run->marks.empty()) {
            run->marks.back().shot = msg.substr(19);
        } else if (msg.rfind("app:", 0) == 0 && msg.find(" exited after event:") != std::string::npos) {
            std::string app = msg.substr(4, msg.find(" exited") - 4);
            run->marks.push_back({"exit", stamp, app, "", "", app + msg.substr(msg.find(" exited")), "",
                                  static_cast<int>(event)});
        }
        if (run != nullptr)
            run->lastStamp = stamp;
    }
}

// The first of these that can be read: the path as logged (relative to the
// run's working directory, which is usually where the report is made), or
// the same name inside the results folder.
std::string picture(const std::string& folder, const std::string& path, std::string* note)
{
    std::string data;
    for (const std::string& p : {path, folder + "/" + baseName(path)}) {
        FILE* f = fopen(p.c_str(), "rb");
        if (f == nullptr)
            continue;
        long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
        fclose(f);
        if (size > kMaxPicture) {
            *note = "screenshot " + p + " too large to inline";
            return "";
        }
        if (readText(p, &data))
            return data;
    }
    *note = "screenshot " + path + " missing";
    return "";
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
bool splitSavedName(std::string base, Mark* m)
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

// Crash details from the saved name.
void describeCrashes(Run& run)
{
    for (Mark& m : run.marks) {
        if (m.what != "crash")
            continue;
        std::string base = baseName(m.saved);
        if (!splitSavedName(base, &m))
            m.program = base;
        auto app = run.appCrash.find(m.saved);
        if (app != run.appCrash.end())
            m.program = app->second;
        m.message = m.program + " pid " + (m.pid.empty() ? "?" : m.pid) + " dumped core: " + m.saved;
        m.shot = m.saved + ".png";
    }
    std::stable_sort(run.marks.begin(), run.marks.end(), [](const Mark& a, const Mark& b) { return a.event < b.event; });
}

bool askedForIt(const Run& run, std::string* how)
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

double seconds(const Run& run)
{
    double d = run.gestures.empty() ? 0 : run.gestures.back().at / 1e6;
    long long a = stampSeconds(run.head.count("start") ? run.head.at("start") : ""), b = stampSeconds(run.lastStamp);
    return a >= 0 && b >= a && b - a > d ? static_cast<double>(b - a) : d;
}

long long atOf(const Run& run, int event)
{
    for (const Gesture& g : run.gestures)
        if (g.index == event)
            return g.at;
    return event <= 0 || run.gestures.empty() ? 0 : run.gestures.back().at;
}

void touchMap(std::ostream& o, const Run& run, const std::vector<Zone>& zones)
{
    int w = 0, h = 0, grid = atoi(run.head.count("grid") ? run.head.at("grid").c_str() : "20");
    if (sscanf(run.head.count("screen") ? run.head.at("screen").c_str() : "", "%dx%d", &w, &h) != 2 || w <= 0 ||
        h <= 0 || grid <= 0 || grid > w || grid > h) {
        o << "<p class=note>no touch map: the record gives no screen size</p>";
        return;
    }
    std::map<std::pair<int, int>, int> cells;
    int most = 1;
    std::string swipes;
    size_t drawn = 0, all = 0;
    for (const Gesture& g : run.gestures) {
        if (g.kind == 0 || g.kind == 2)
            most = std::max(most, ++cells[{g.x / grid, g.y / grid}]);
        else if (g.kind == 1 && all++ < kMaxSwipeLines && ++drawn)
            swipes += "M" + std::to_string(g.x) + " " + std::to_string(g.y) + "L" + std::to_string(g.x1) + " " +
                      std::to_string(g.y1);
    }
    o << "<svg class=map width=600 height=" << 600 * h / w << " viewBox='0 0 " << w << " " << h
      << "'><rect width='100%' height='100%' fill='#f2f2f2' stroke='#888'/>";
    for (const auto& c : cells)
        o << "<rect x=" << c.first.first * grid << " y=" << c.first.second * grid << " width=" << grid
          << " height=" << grid << " fill='#d22' fill-opacity='" << 0.1 + 0.9 * c.second / most << "'/>";
    o << "<path d='" << swipes << "' stroke='#15c' stroke-opacity='.35' stroke-width='" << w / 600.0
      << "' fill='none'/>";
    for (const Zone& z : zones)
        o << "<rect x=" << z.x << " y=" << z.y << " width=" << z.w << " height=" << z.h
          << " fill='#000' fill-opacity='.3' stroke='#000' stroke-dasharray='6 4'/>";
    o << "</svg><p>" << w << "x" << h << ", cells of " << grid << " px shaded by clicks and long clicks (darkest: "
      << most << "); " << drawn << " of " << all << " swipes as lines; forbidden zones hatched dark.</p>";
}

void timeline(std::ostream& o, const Run& run, std::vector<long long>* perMinute)
{
    for (const Gesture& g : run.gestures) {
        size_t m = static_cast<size_t>(g.at / 60000000);
        if (perMinute->size() <= m)
            perMinute->resize(m + 1);
        ++(*perMinute)[m];
    }
    if (perMinute->empty())
        perMinute->push_back(0);
    const double n = static_cast<double>(perMinute->size());
    long long most = std::max(1LL, *std::max_element(perMinute->begin(), perMinute->end()));
    o << "<svg class=timeline width=800 height=130><rect width=800 height=110 fill='#f7f7f7'/>";
    for (size_t i = 0; i < perMinute->size(); ++i)
        o << "<rect x=" << 800 * i / n << " y=" << 110 - 100.0 * (*perMinute)[i] / most << " width=" << 800 / n
          << " height=" << 100.0 * (*perMinute)[i] / most << " fill='#8ab'/>";
    for (const Mark& m : run.marks) {
        double x = 800 * (atOf(run, m.event) / 6e7) / n;
        const char* colour = m.what == "crash" ? "#d00" : m.what == "freeze" ? "#06f" : "#e80";
        o << "<line x1=" << x << " x2=" << x << " y1=0 y2=110 stroke='" << colour << "' stroke-width=2/>";
    }
    o << "<text x=0 y=126 font-size=12>0 min</text><text x=800 y=126 font-size=12 text-anchor=end>" << n
      << " min; busiest " << most
      << " events/min</text></svg><p><span style='color:#d00'>| crash</span> <span style='color:#06f'>| "
         "freeze</span> <span style='color:#e80'>| application exit</span></p>";
}

void runSection(std::ostream& o, const std::string& folder, Run& run, std::vector<std::string>& notes)
{
    auto head = [&run](const char* k) { return run.head.count(k) ? run.head.at(k) : std::string("?"); };
    std::vector<Zone> zones;
    std::string why;
    if (run.head.count("exclude") && !parseZones(run.head.at("exclude"), &zones, &why))
        run.notes.push_back("forbidden zones not readable: " + why);
    long long counts[4] = {0, 0, 0, 0};
    for (const Gesture& g : run.gestures)
        ++counts[g.kind];
    std::string how;
    askedForIt(run, &how);
    std::vector<long long> perMinute;
    std::ostringstream map, line;
    touchMap(map, run, zones);
    timeline(line, run, &perMinute);
    int crashes = 0, freezes = 0, exits = 0;
    for (const Mark& m : run.marks)
        (m.what == "crash" ? crashes : m.what == "freeze" ? freezes : exits)++;
    std::string minutes;
    for (long long c : perMinute)
        minutes += (minutes.empty() ? "" : " ") + std::to_string(c);

    o << "<section class=run id='" << esc(run.name) << "' data-seed='" << esc(head("seed")) << "' data-events='"
      << run.gestures.size() << "' data-injected='" << run.injected;
    for (int k = 0; k < 4; ++k)
        o << "' data-" << kKinds[k] << "='" << counts[k];
    o << "' data-crashes='" << crashes << "' data-freezes='" << freezes << "' data-exits='" << exits
      << "' data-minutes='" << minutes << "'>\n<h2>" << esc(run.name) << "</h2>\n<table class=head><tr><th>seed<td>" << esc(head("seed"))
      << "<tr><th>command<td><code>" << esc(head("command")) << "</code><tr><th>library<td>" << esc(head("library"))
      << "<tr><th>start<td>" << esc(head("start")) << "<tr><th>duration<td>" << static_cast<long long>(seconds(run))
      << " s<tr><th>ended<td>" << esc(how) << "</table>\n<h3>Gestures per kind</h3><table><tr><th>kind<th>injected<th>share<th>asked";
    std::vector<std::string> mix(4, "?");
    std::istringstream mixText(run.head.count("mix") ? run.head.at("mix") : "");
    for (int k = 0; k < 4 && std::getline(mixText, mix[k], ',');)
        ++k;
    for (int k = 0; k < 4; ++k) {
        char share[32];
        snprintf(share, sizeof share, "%.1f %%", run.gestures.empty() ? 0.0 : 100.0 * counts[k] / run.gestures.size());
        o << "<tr><td>" << kKinds[k] << "<td>" << counts[k] << "<td>" << share << "<td>" << esc(mix[k]) << " %";
    }
    o << "</table>\n<h3>Touch map</h3>" << map.str() << "\n<h3>Timeline (events per minute)</h3>" << line.str()
      << "\n<h3>Crashes, freezes and exits</h3>";
    if (run.marks.empty())
        o << "<p>none</p>";
    else
        o << "<table class=marks><tr><th>time<th>what<th>program<th>pid<th>saved<th>after gesture<th>screen<th>gestures "
             "before";
    for (const Mark& m : run.marks) {
        std::string note, shot = m.shot.empty() ? "" : picture(folder, m.shot, &note);
        std::string before;
        for (const Gesture& g : run.gestures)
            if (g.index > m.event - 5 && g.index <= m.event)
                before += esc(g.line) + "\n";
        o << "<tr class=" << m.what << " data-event=" << m.event << " data-saved='" << esc(m.saved) << "'><td>"
          << esc(m.time) << "<td>" << m.what << "<td>" << esc(m.program) << "<td>" << esc(m.pid) << "<td>"
          << esc(m.saved.empty() ? m.message : m.saved) << "<td>" << m.event << "<td>";
        if (!shot.empty())
            o << "<img width=240 alt='screen' src='data:image/png;base64," << base64(shot) << "'>";
        else if (!note.empty())
            o << esc(note);
        o << "<td><pre>" << before << "</pre>";
        if (m.event > 0)
            o << "replay: <code>tapfuzz --replay " << esc(run.recordPath) << " --to " << m.event << "</code>";
    }
    if (!run.marks.empty())
        o << "</table>";
    for (const std::string& n : run.notes)
        notes.push_back(run.name + ": " + n);
    o << "</section>\n";
}

void junitRun(std::ostream& o, const Run& run, int* tests, int* failures)
{
    auto head = [&run](const char* k) { return run.head.count(k) ? run.head.at(k) : std::string(""); };
    std::string how, start = head("start"), cls = "tapfuzz." + run.name;
    bool ok = askedForIt(run, &how);
    std::replace(start.begin(), start.end(), ' ', 'T');
    if (stampSeconds(head("start")) < 0)
        start = "1970-01-01T00:00:00";
    int f = (ok ? 0 : 1) + static_cast<int>(run.marks.size());
    char time[32];
    snprintf(time, sizeof time, "%.3f", seconds(run));
    o << "  <testsuite name=\"" << esc(run.name) << "\" tests=\"" << run.marks.size() + 1 << "\" failures=\"" << f
      << "\" timestamp=\"" << start << "\" time=\"" << time << "\">\n    <properties><property name=\"seed\" value=\""
      << esc(head("seed")) << "\"/><property name=\"command\" value=\"" << esc(head("command"))
      << "\"/></properties>\n    <testcase classname=\"" << esc(cls) << "\" name=\"run seed:" << esc(head("seed"))
      << "\" time=\"" << time << "\"";
    o << (ok ? "/>\n" : "><failure message=\"" + esc(how) + "\"/></testcase>\n");
    for (const Mark& m : run.marks) {
        std::string name = m.what == "freeze" ? "freeze" : m.what + " " + m.program;
        o << "    <testcase classname=\"" << esc(cls) << "\" name=\"" << esc(name) << " event:" << m.event
          << "\"><failure message=\"" << esc(m.message) << "\"/></testcase>\n";
    }
    o << "  </testsuite>\n";
    *tests += static_cast<int>(run.marks.size()) + 1;
    *failures += f;
}

// Written aside, then renamed: a reader never sees half a file.
bool writeFile(const std::string& path, const std::string& text)
{
    const std::string aside = path + ".part";
    FILE* f = fopen(aside.c_str(), "we");
    bool ok = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = f != nullptr && fclose(f) == 0 && ok;
    if (ok && rename(aside.c_str(), path.c_str()) == 0)
        return true;
    fprintf(stderr, "tapfuzz: cannot write %s: %s\n", path.c_str(), strerror(errno));
    remove(aside.c_str());
    return false;
}

}  // namespace

int writeReport(const std::string& given)
{
    // "results/tapfuzzD/" and "results/tapfuzzD" name one folder; the paths
    // the page shows (the replay command among them) get one slash.
    std::string folder = given;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        fprintf(stderr, "tapfuzz: cannot read the results folder %s: %s\n", folder.c_str(), strerror(errno));
        return 1;
    }
    std::map<std::string, Run> runs;
    while (struct dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        if (n.rfind("run-", 0) == 0 && n.size() > 11 && n.compare(n.size() - 7, 7, ".events") == 0) {
            Run& r = runs[n.substr(0, n.size() - 7)];
            r.name = n.substr(0, n.size() - 7);
            r.recordPath = folder + "/" + n;
        }
    }
    closedir(dir);
    std::vector<std::string> notes;
    readLog(folder, runs, notes);

    std::ostringstream html, xml;
    int tests = 0, failures = 0;
    html << "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>tapfuzz report " << esc(folder)
         << "</title><style>body{font:14px sans-serif;margin:16px;max-width:960px}table{border-collapse:collapse;"
            "margin:6px 0}td,th{border:1px solid #bbb;padding:2px 6px;text-align:left;vertical-align:top}"
            "pre,code{font-size:11px;margin:0;white-space:pre-wrap;word-break:break-all}section{border-top:3px solid #333;margin-top:20px}.note{color:#a40}"
            "</style></head><body>\n<h1>tapfuzz report</h1><p>"
         << esc(folder) << ": " << runs.size() << " run(s)</p>\n";
    for (auto& r : runs) {
        readRecord(r.second);
        describeCrashes(r.second);
        runSection(html, folder, r.second, notes);
        junitRun(xml, r.second, &tests, &failures);
    }
    if (runs.empty())
        notes.push_back("no run found in " + folder);
    if (!notes.empty()) {
        html << "<h2>Not readable</h2><ul class=notes>";
        for (const std::string& n : notes)
            html << "<li class=note>" << esc(n);
        html << "</ul>";
    }
    html << "</body></html>\n";
    std::string junit = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tapfuzz\" tests=\"" +
                        std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\">\n" + xml.str() +
                        "</testsuites>\n";
    if (!writeFile(folder + "/report.html", html.str()) || !writeFile(folder + "/junit.xml", junit))
        return 1;
    printf("%s/report.html\n", folder.c_str());
    return 0;
}
