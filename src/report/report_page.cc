// Problem: the page is read by anyone and by browsers, and what it shows
// comes from logs and records that anyone may have written into.
// Solution: every text escaped for HTML and XML, pictures inlined only when
// they are tapfuzz's own PNGs within the page's budget, figures drawn as SVG.
#include "report/report_page.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "base/files.h"
#include "base/log_text.h"
#include "gesture/kinds.h"
#include "gesture/zones.h"
#include "record/record_line.h"

namespace {

const long kMaxPicture = 4 * 1024 * 1024;  // larger screenshots are linked, not inlined
const long long kMaxInlined = 32LL * 1024 * 1024;  // screenshot bytes per page; the rest are listed by path
// Bars of a run's timeline, and numbers in its data-minutes: a run of 70
// days (the latest gesture a record may hold) is 100,800 minutes, which
// listed one by one made a page of hundreds of megabytes.
const size_t kBars = 800;

// The last gesture a replay of a crash found after gesture `after` takes: a
// dump is often seen while the next gesture is under way (a long click
// whose touch-down crashed the application), so that one goes too.
long long replayTo(long long after)
{
    return after + 1;
}

bool noControl(const char* s, size_t n)  // the start of s needs no \xHH on a page
{
    const unsigned char c = static_cast<unsigned char>(s[0]);
    if (n == 1)
        return c >= 0x20 && c != 0x7f;
    // C1 controls (errors to HTML) and bidirectional controls as in the log;
    // U+FFFE, U+FFFF (XML 1.0 refuses them).
    return !steersText(s, n) && !(n == 3 && c == 0xef && static_cast<unsigned char>(s[1]) == 0xbf &&
                                  static_cast<unsigned char>(s[2]) >= 0xbe);
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
    *how = run.progress.empty() ? "ended by nothing it logged (killed, or still running)"
                                : "still running (or killed); last: " + run.progress;
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
    if (!run.pinches.empty())
        o << "<path d=\"" << run.pinches << "\" stroke=\"#2a2\" stroke-opacity=\".5\" stroke-width=\""
          << run.width / 600.0 << "\" fill=\"none\"/>";
    for (const Zone& z : zones)
        o << "<rect x=\"" << z.x << "\" y=\"" << z.y << "\" width=\"" << z.w << "\" height=\"" << z.h
          << "\" fill=\"#000\" fill-opacity=\".3\" stroke=\"#000\" stroke-dasharray=\"6 4\"/>";
    o << "</svg><p>" << run.width << "x" << run.height << ", cells of " << run.cell
      << " px shaded by clicks and long clicks (darkest: " << most << "); " << run.swipesDrawn << " of "
      << run.swipesAll << " swipes as lines; forbidden zones hatched dark";
    if (run.counts[FACTOR_PINCH] > 0)
        o << "; " << run.pinchesDrawn << " of " << run.counts[FACTOR_PINCH] << " pinches as both fingers' paths (green)";
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
    const size_t per = (minutes.size() + kBars - 1) / kBars, bars = (minutes.size() + per - 1) / per;
    o << "<svg class=\"timeline\" width=\"800\" height=\"130\"><rect width=\"800\" height=\"110\" fill=\"#f7f7f7\"/>";
    for (size_t b = 0; b < bars; ++b) {
        long long v = 0;
        for (size_t i = b * per; i < std::min(minutes.size(), (b + 1) * per); ++i)
            v = std::max(v, minutes[i]);
        if (v == 0)
            continue;  // an empty bar draws nothing: a run of few gestures stays small
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
// At most `max` bytes of the file open at fd: what it holds up to there, or
// up to a read error.
std::string readUpTo(int fd, size_t max)
{
    std::string data(max, '\0');
    const ssize_t got = readAll(fd, &data[0], max);
    data.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return data;
}

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
        std::string data = readUpTo(fd.get(), static_cast<size_t>(st.st_size));
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

// The screenshot of a crash or mark inlined, or why not (into `notes`,
// when given).
void shotCell(ReportOut& o, ReportFolder& folder, const ReportMark& m, ReportRun* notes)
{
    std::string note, shot = m.shot.empty() ? "" : picture(folder, m, &note);
    if (!shot.empty()) {
        o << "<img width=\"240\" alt=\"screen\" src=\"data:image/png;base64,";
        base64(o, shot);
        o << "\"/>";
    } else if (!note.empty()) {
        o << esc(note);
        if (notes != nullptr)
            addNote(notes->notes, notes->notesLeft, note);
    }
}

// The backtrace of a crash bundle beside its dump (`shot` with .txt for
// .png): its frame lines, at most 32 from the first 64 KB of the file, "" when
// there is none (an older bundle, a bundle gone or not a regular file).
std::string bundleBacktrace(const std::string& shot)
{
    constexpr size_t kMaxBundle = 64 << 10, kMaxFrames = 32;
    if (shot.size() < 4 || shot.compare(shot.size() - 4, 4, ".png") != 0)
        return "";
    struct stat st;
    std::string why;
    Fd fd(openRegular(AT_FDCWD, shot.substr(0, shot.size() - 4) + ".txt", &st, &why));
    if (fd.get() < 0)
        return "";
    const std::string text = readUpTo(fd.get(), kMaxBundle);
    const size_t at = text.find("\nbacktrace (");
    std::string frames;
    size_t line = at == std::string::npos ? text.size() : text.find('\n', at + 1);
    for (size_t n = 0; line != std::string::npos && line + 1 < text.size() && text[line + 1] == '#' && n < kMaxFrames; ++n) {
        const size_t end = text.find('\n', line + 1);
        if (end == std::string::npos)
            break;
        frames += text.substr(line + 1, end - line);
        line = end;
    }
    return frames;
}

// A table of distinct crashes. A run's (`all` null) replays its own record
// and finds screenshots in its folder; the table of all of them takes both
// from each crash's first and names the folders it was seen in.
void distinctTable(ReportOut& o, const CrashGroups& groups, ReportFolder& folder, const std::string& record,
                   std::vector<ReportFolder>* all)
{
    const std::vector<const DistinctCrash*> rows = groups.sorted();
    if (rows.empty()) {
        o << "<p>none</p>";
        return;
    }
    o << "<table class=\"distinct\"><tr><th>signature</th><th>program</th><th>dumps</th><th>first gesture</th><th>"
         "last gesture</th><th>screen at the first</th><th>backtrace of the first</th><th>replay of the first</th>"
      << (all != nullptr ? "<th>seen in</th>" : "") << "</tr>";
    for (const DistinctCrash* g : rows) {
        ReportMark first;
        first.what = "crash", first.shot = g->shot;
        const std::string& replay = all != nullptr ? g->record : record;
        o << "<tr class=\"distinct\" data-signature=\"" << esc(g->key) << "\" data-program=\"" << esc(g->program)
          << "\" data-count=\"" << g->count << "\" data-first=\"" << g->first << "\" data-last=\"" << g->last
          << "\"><td><code>" << esc(g->key) << "</code></td><td>" << esc(g->program) << "</td><td>" << g->count
          << "</td><td>" << g->first << "</td><td>" << g->last << "</td><td>";
        // The page's budget of screenshots is counted in the first folder.
        // A folder past the first is closed once read: open for this row only.
        ReportFolder& in = all != nullptr ? (*all)[g->folder] : folder;
        bool same = true;
        std::unique_ptr<DIR, int (*)(DIR*)> dir(in.fd < 0 && !in.again ? openFolder(in, &same) : nullptr, closedir);
        in.inlined = folder.inlined;
        shotCell(o, in, first, nullptr);
        folder.inlined = in.inlined;
        if (dir)
            in.fd = -1;
        o << "</td><td>";
        const std::string frames = bundleBacktrace(g->shot);
        if (!frames.empty()) {
            // A line a frame: escaped one by one, the line ends kept.
            o << "<pre>";
            for (size_t at = 0, end; (end = frames.find('\n', at)) != std::string::npos; at = end + 1)
                o << esc(frames.substr(at, end - at)) << "\n";
            o << "</pre>";
        }
        o << "</td><td>";
        if (g->first > 0 && !replay.empty())
            o << "<code>tapfuzz --replay " << esc(replay) << " --to " << replayTo(g->first) << "</code>";
        if (all != nullptr) {
            o << "</td><td>";
            for (const std::string& f : g->folders)
                o << esc(f) << "<br/>";
            if (g->foldersSeen > static_cast<long long>(g->folders.size()))
                o << "and " << g->foldersSeen - static_cast<long long>(g->folders.size()) << " more";
        }
        o << "</td></tr>";
    }
    o << "</table>";
    if (groups.left() > 0)
        o << "<p class=\"note\">" << groups.left() << " more crashes not grouped</p>";
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
    // As the timeline draws them: at most kBars numbers, each the busiest
    // minute of its group of data-minutes-per minutes.
    const size_t per = (std::max<size_t>(run.perMinute.size(), 1) + kBars - 1) / kBars;
    std::string minutes;
    for (size_t i = 0; i < std::max<size_t>(run.perMinute.size(), 1); i += per) {
        long long most = 0;
        for (size_t k = i; k < std::min(run.perMinute.size(), i + per); ++k)
            most = std::max(most, run.perMinute[k]);
        minutes += (minutes.empty() ? "" : " ") + std::to_string(most);
    }

    // A run's name holds no '/': "INDEX/" keeps the ids of runs of one name
    // in several folders apart.
    const std::string id = (folder.index == 0 ? "" : std::to_string(folder.index) + "/") + run.name;
    o << "<section class=\"run\" id=\"" << esc(id) << "\" data-folder=\"" << esc(folder.path)
      << "\" data-distinct-crashes=\"" << run.distinct.size() << "\" data-seed=\"" << esc(head("seed"))
      << "\" data-events=\"" << run.gestures << "\" data-injected=\"" << run.injected;
    // Pinches are named only in a run that asked for them or holds some.
    std::vector<std::string> mix(4, "?");
    std::istringstream mixText(run.head.count("mix") ? run.head.at("mix") : "");
    int k = 0;
    for (std::string v; k < FACTORZ_COUNT && std::getline(mixText, v, ',');)
        mix.resize(std::max(k + 1, 4)), mix[k++] = v;
    const int kinds = mix.size() > 4 || run.counts[FACTOR_PINCH] > 0 ? FACTORZ_COUNT : 4;
    mix.resize(kinds, "?");
    for (k = 0; k < kinds; ++k)
        o << "\" data-" << kindName(k) << "=\"" << run.counts[k];
    o << "\" data-crashes=\"" << run.kinds[0] << "\" data-dumps=\"" << run.kinds[1] << "\" data-freezes=\""
      << run.kinds[2] << "\" data-exits=\"" << run.kinds[3] << "\" data-minutes=\"" << minutes
      << "\" data-minutes-per=\"" << per << "\">\n<h2>"
      << esc(run.name) << "</h2>\n<table class=\"head\"><tr><th>seed</th><td>" << esc(head("seed"))
      << "</td></tr><tr><th>command</th><td><code>" << esc(head("command")) << "</code></td></tr><tr><th>library</th><td>"
      << esc(head("library")) << "</td></tr><tr><th>start</th><td>" << esc(head("start"))
      << "</td></tr><tr><th>duration</th><td>" << static_cast<long long>(seconds(run))
      << " s</td></tr><tr><th>ended</th><td>" << esc(how)
      << "</td></tr></table>\n<h3>Gestures per kind</h3><table><tr><th>kind</th><th>injected</th><th>share</th><th>"
         "asked</th></tr>";
    for (k = 0; k < kinds; ++k) {
        char share[32];
        snprintf(share, sizeof share, "%.1f %%", run.gestures == 0 ? 0.0 : 100.0 * run.counts[k] / run.gestures);
        o << "<tr><td>" << kindName(k) << "</td><td>" << run.counts[k] << "</td><td>" << share << "</td><td>"
          << esc(mix[k]) << " %</td></tr>";
    }
    o << "</table>\n<h3>Touch map</h3>";
    touchMap(o, run, zones);
    o << "\n<h3>Timeline (events per minute)</h3>";
    timeline(o, run);
    const std::string record = folder.path + "/" + run.name + kRecordEnd;
    o << "\n<h3>Distinct crashes</h3>";
    distinctTable(o, run.distinct, folder, run.listed ? record : "", nullptr);
    o << "\n<h3>Crashes, dumps, freezes and exits</h3>";
    if (run.marks.empty())
        o << "<p>none</p>";
    else
        o << "<table class=\"marks\"><tr><th>time</th><th>what</th><th>program</th><th>pid</th><th>saved</th><th>"
             "after gesture</th><th>screen</th><th>gestures before</th></tr>";
    for (const ReportMark& m : run.marks) {
        std::string before;
        auto b = run.before.find(m.event);
        if (b != run.before.end())
            for (const std::string& line : b->second.lines)
                before += esc(line) + "\n";
        o << "<tr class=\"" << m.what << "\" data-event=\"" << m.event << "\" data-saved=\"" << esc(m.saved)
          << "\"><td>" << esc(m.time) << "</td><td>" << m.what << "</td><td>"
          << (m.what == "dump" ? "unverified: " : "") << esc(m.program) << "</td><td>" << esc(m.pid) << "</td><td>"
          << esc(m.saved.empty() ? m.message : m.saved) << "</td><td>" << m.event << "</td><td>";
        shotCell(o, folder, m, &run);
        o << "</td><td><pre>" << before << "</pre>";
        if (m.event > 0 && run.listed)
            o << "replay: <code>tapfuzz --replay " << esc(record) << " --to " << replayTo(m.event) << "</code>";
        auto shrunk = folder.shrunk.find({run.name, m.event});
        if ((m.what == "crash" || m.what == "dump") && shrunk != folder.shrunk.end())
            o << "<br/>shrunk to " << shrunk->second.first << " gestures: <code>tapfuzz --replay "
              << esc(shrunk->second.second) << "</code>";
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
    auto count = [&run](const char* what) {
        return static_cast<int>(
            std::count_if(run.marks.begin(), run.marks.end(), [what](const ReportMark& m) { return m.what == what; }));
    };
    const int dumps = count("dump");
    const int tests = static_cast<int>(run.marks.size()) - count("crash") + 1 + (run.unlisted > 0 ? 1 : 0);
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
    // its crash nor as a failure; crashes are cases of the distinct ones.
    for (const ReportMark& m : run.marks) {
        if (m.what == "crash")
            continue;
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

}  // namespace

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

void writeRun(ReportOut& html, ReportOut& junit, ReportFolder& folder, ReportRun& run)
{
    runSection(html, folder, run);
    junitRun(junit, folder, run);
    for (const std::string& n : run.notes)
        addNote(folder.notes, folder.notesLeft, run.name + ": " + n, kMaxNotes * 20);
    if (run.notesLeft > 0)
        addNote(folder.notes, folder.notesLeft, run.name + ": " + std::to_string(run.notesLeft) + " more", kMaxNotes * 20);
}

void writeAllCrashes(ReportOut& html, ReportOut& junit, std::vector<ReportFolder>& folders, const CrashGroups& all)
{
    html << "<section class=\"all\" data-distinct-crashes=\"" << all.size()
         << "\">\n<h2>Distinct crashes of all runs</h2>";
    distinctTable(html, all, folders[0], "", &folders);
    html << "</section>\n";
    const std::vector<const DistinctCrash*> rows = all.sorted();
    const size_t cases = rows.size() + (all.left() > 0 ? 1 : 0);
    if (cases == 0)
        return;
    junit << "  <testsuite name=\"distinct crashes\" tests=\"" << cases << "\" failures=\"" << cases << "\">\n";
    for (const DistinctCrash* g : rows) {
        std::string name = "crash " + g->program + " " + g->key;
        std::replace(name.end() - static_cast<std::ptrdiff_t>(g->key.size()), name.end(), ',', ' ');
        junit << "    <testcase classname=\"tapfuzz.crashes\" name=\"" << esc(name) << "\"><failure message=\""
              << g->count << (g->count == 1 ? " dump" : " dumps") << ", first after gesture " << g->first
              << "\"/><system-out>";
        if (g->first > 0 && !g->record.empty())
            junit << "replay: tapfuzz --replay " << esc(g->record) << " --to " << replayTo(g->first) << "\n";
        for (const std::string& f : g->folders)
            junit << "seen in: " << esc(f) << "\n";
        for (const std::string& d : g->dumps)
            junit << "dump: " << esc(d) << "\n";
        if (g->count > static_cast<long long>(g->dumps.size()))
            junit << "and " << g->count - static_cast<long long>(g->dumps.size()) << " more dumps\n";
        junit << "</system-out></testcase>\n";
    }
    if (all.left() > 0)
        junit << "    <testcase classname=\"tapfuzz.crashes\" name=\"not grouped\"><failure message=\"" << all.left()
              << " more crashes\"/></testcase>\n";
    junit << "  </testsuite>\n";
}
