// The shipped tapfuzz in a sandbox: gestures stay out of the forbidden zones
// as the node received them, and the report of a crashing run renders in
// headless Chromium with the numbers of the log and the record, beside a
// junit.xml that the JUnit schema accepts.
#include <fcntl.h>
#include <glob.h>
#include <linux/input.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sandboxed_case.h"

namespace {

std::string Only(const std::string& pattern)  // the path of the one file matching, or ""
{
    glob_t g{};
    std::string found = glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc == 1 ? g.gl_pathv[0] : "";
    globfree(&g);
    return found;
}

std::vector<std::smatch> Matches(const std::string& text, const std::string& re)
{
    const std::regex pattern(re);
    return {std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()};
}

int Count(const std::string& text, const std::string& re)
{
    return static_cast<int>(Matches(text, re).size());
}

std::string Group(const std::string& text, const std::string& re)  // first group of the first match
{
    std::smatch m;
    return std::regex_search(text, m, std::regex(re)) ? m[1].str() : "";
}

class Report : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs root for private namespaces";
        AllowPreloadBeforeSanitizer();
        ASSERT_EQ(mkfifo(sb.path("/dev/input/event0").c_str(), 0666), 0);
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/fb0"), std::string(320 * 2 * 240, '\0')));
        ASSERT_EQ(mkdir(sb.path("saved").c_str(), 0755), 0);
    }
    int Run(const std::string& profile, std::vector<std::string> args, const char* fb = "800x480")
    {
        std::string lib = FEEDINPUT_LIB;
        Sandbox::WriteFile(sb.path("device.conf"), "LIBLARAY_PATH=" + lib.substr(0, lib.rfind('/') + 1) +
                                                       "\nCOREFILE_PATH=./saved/\n" + profile);
        args.insert(args.begin(), TAPFUZZ_BIN);
        int st = sb.Exec(args, {"LD_PRELOAD=" FBSHIM_LIB, "TZ=UTC", std::string("TAPFUZZ_TEST_FB=") + fb});
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::string Err() const { return Sandbox::ReadFile(sb.root() + "/err.txt"); }
    Sandbox sb;
};

// Over 20,000 gestures no point the node got while a finger was down, nor
// any point of the straight moves between them, lies in a zone; and a swipe
// across the full-height zone would cross it.
TEST_F(Report, GesturesStayOutOfTheZones)
{
    const int zones[2][4] = {{100, 100, 200, 150}, {500, 0, 120, 480}};
    auto inZone = [&zones](double x, double y) {
        for (const auto& z : zones)
            if (x >= z[0] && x < z[0] + z[2] && y >= z[1] && y < z[1] + z[3])
                return true;
        return false;
    };
    NodeCapture node(sb.path("/dev/input/event0"));
    auto pad = [](std::string line, size_t bytes) { return line.resize(bytes, ' '), line; };
    // 4095 bytes, the longest line read whole; read in 255-byte pieces, its
    // last zone would end at "500,0,120,48".
    ASSERT_EQ(Run("LONGCLICK_DURATION=1\nCLICK_DURATION=0\n" + pad(pad("EXCLUDE_RECTS= 100,100,200,150 ;", 243) + "500,0,120,480", 4095) + "\n",
                  {"--throttle", "0", "--pct-motion", "1", "--pct-longclick", "4", "20000"}),
              0)
        << Err();
    const std::string& raw = node.Take();
    int pos[2] = {0, 0}, last[2] = {0, 0}, touches = 0, points = 0;
    bool down = false, moved = false;
    for (size_t at = 0; at + sizeof(input_event) <= raw.size(); at += sizeof(input_event)) {
        input_event ev;
        memcpy(&ev, raw.data() + at, sizeof ev);
        if (ev.type == EV_ABS && (ev.code == ABS_MT_POSITION_X || ev.code == ABS_MT_POSITION_Y))
            pos[ev.code - ABS_MT_POSITION_X] = ev.value;
        if (ev.type == EV_KEY && ev.code == BTN_TOUCH)
            touches += (down = ev.value == 1) ? 1 : 0, moved = false;
        if (ev.type != EV_SYN || !down)
            continue;
        ++points;
        for (int i = moved ? 0 : 32; i <= 32; ++i) {
            double x = last[0] + (pos[0] - last[0]) * i / 32.0, y = last[1] + (pos[1] - last[1]) * i / 32.0;
            ASSERT_FALSE(inZone(x, y)) << x << "," << y << " from " << last[0] << "," << last[1] << " to " << pos[0]
                                       << "," << pos[1];
        }
        last[0] = pos[0], last[1] = pos[1], moved = true;
    }
    EXPECT_EQ(touches, 20000);
    EXPECT_GT(points, touches);  // the moves of the swipes
    EXPECT_NE(Sandbox::ReadFile(Only(sb.path("results/tapfuzz*/run-*.events"))).find("# exclude:100,100,200,150;500,0,120,480\n"),
              std::string::npos);

    const struct { std::string profile; const char* err; std::vector<std::string> args = {"--throttle", "0", "5"}; } bad[] = {
        {"EXCLUDE_RECTS=1,2,3", "\"1,2,3\" is not x,y,w,h"},
        {"EXCLUDE_RECTS=0,0,5,5;-1,0,5,5", "\"-1,0,5,5\" is not"},
        {"EXCLUDE_RECTS=10,10,0,5", "\"10,10,0,5\" is not"},
        {"EXCLUDE_RECTS=0,0,9,9x", "\"0,0,9,9x\" is not"},
        {"EXCLUDE_RECTS=0,0,1,1;0,0,1,1;0,0,1,1;0,0,1,1;0,0,1,1;0,0,1,1;0,0,1,1;0,0,1,1;2,2,1,1", "\"2,2,1,1\" is more than 8"},
        {"EXCLUDE_RECTS=0,0,400,480;400,0,400,480", "cover every point"},
        // Refused rather than cut: before the core pattern is written.
        {pad("EXCLUDE_RECTS=0,0,5,5", 4096), "profile key EXCLUDE_RECTS: line longer than 4095 characters, ignored\ntapfuzz: EXCLUDE_RECTS"},
        {pad("APP_RESTART=true", 4096), "profile key APP_RESTART: line longer than 4095 characters, ignored\ntapfuzz: APP_RESTART"},
        // Two neighbouring pixels free: a click fits, a swipe only once in ages.
        {"EXCLUDE_RECTS=0,0,800,479;0,479,798,1", "tapfuzz: swipes cannot be drawn outside EXCLUDE_RECTS", {"--pct-motion", "100", "5"}},
    };
    for (const auto& c : bad) {
        Sandbox::WriteFile(sb.path("/proc/sys/kernel/core_pattern"), "");
        EXPECT_EQ(Run(c.profile + "\n", c.args), 1) << c.err;
        EXPECT_NE(Err().find(c.err), std::string::npos) << Err();
        EXPECT_TRUE(strncmp(c.err, "profile", 7) != 0 || Sandbox::ReadFile(sb.path("/proc/sys/kernel/core_pattern")).empty());
    }
}

// A run that crashes its application, a run cut short and a damaged record
// in one folder; the report says what the log and the records say. Hostile
// pieces among them: a dump in /tmp named with bytes outside UTF-8, another
// the -a run recorded with no "app crash:" line, its screenshot a link to a
// root-only file, a forged freeze naming that file with a FIFO under its
// name in the folder, and a link planted at report.html.part. A second
// folder, written by hand, holds a run still going whose crashes group with
// one of the first folder's.
TEST_F(Report, PageAndJunitOfAFolder)
{
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/tmp/coredump-\xff\xfe-77777-1700000000"), "planted"));
    ASSERT_EQ(Run("APP_RESTART=" TOUCHAPP_BIN " crash 10 0 0 160 240\nAPP_RESTART_DELAY=0\n",
                  {"-a", "touchapp", "--stop-on-crash", "--throttle", "150", "--seed", "42", "100000"}, "320x240x16"),
              3)
        << Err();
    ASSERT_EQ(Run("EXCLUDE_RECTS=0,0,100,100\n", {"--throttle", "0", "--pct-pinch", "30", "--seed", "3", "30"}), 0) << Err();
    const std::string folder = Only(sb.path("results/tapfuzz*"));
    ASSERT_NE(folder, "");
    const std::string damaged = folder + "/run-999999-1.events", folderIn = "./" + folder.substr(sb.path("").size());
    Sandbox::WriteFile(damaged, "# tapfuzz run record\n# seed:5\n# screen:320x240\n1 10 click 5 5 0\n2 20 swi");
    const std::string secret = sb.path("secret/freeze-2024-01-01_00:00:00.png"), planted = "saved/coredump-touchapp-4242-2023-11-14_22:13:20";
    ASSERT_EQ(mkdir(sb.path("secret").c_str(), 0700), 0);
    ASSERT_TRUE(Sandbox::WriteFile(secret, "\x89PNG\r\n\x1a\nroot only"));
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((folder + "/freeze-2024-01-01_00:00:00.png").c_str(), 0666), 0);
    ASSERT_EQ(symlink(secret.c_str(), sb.path(planted + ".png").c_str()), 0);
    ASSERT_TRUE(Sandbox::WriteFile(sb.path(planted), "planted"));
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("victim"), "keep"));
    ASSERT_EQ(symlink(sb.path("victim").c_str(), (folder + "/report.html.part").c_str()), 0);
    const std::string log0 = Sandbox::ReadFile(folder + "/tapfuzz.log");
    const auto records = Matches(log0, R"(record:\./(.*?\.events))");
    ASSERT_EQ(records.size(), 2u);
    const std::string first = sb.path(records[0][1]), second = sb.path(records[1][1]);
    Sandbox::WriteFile(first, Sandbox::ReadFile(first) + "# crash:./" + planted + " after:1\n");
    const std::string dump = "# crash:./saved/coredump-", segv = " signature:SIGSEGV,touchapp+0x10a2c\n";
    Sandbox::WriteFile(second, Sandbox::ReadFile(second) + dump + "touchapp-21-2024-05-01_01:00:00 after:4" + segv);
    ASSERT_EQ(mkdir(sb.path("results/night2").c_str(), 0755), 0);
    Sandbox::WriteFile(sb.path("results/night2/tapfuzz.log"), "[2024-05-02 01:00:00][INFO]record:./results/night2/run-010000-1.events\n"
                       "[2024-05-02 01:01:00][INFO]progress: 12/300 events, 5 crashes (3 distinct)\n");
    Sandbox::WriteFile(sb.path("results/night2/run-010000-1.events"), "# seed:9\n" + dump + "touchapp-11-2024-05-02_01:00:01 after:3" +
                       segv + dump + "touchapp-12-2024-05-02_01:00:02 after:7" + segv + dump + "touchapp-13-2024-05-02_01:00:03 after:9 "
                       "signature:SIGABRT,libc.so.6+0x2f0c\n" + dump + "helperd-14-2024-05-02_01:00:04 after:12\n" + dump +
                       "helperd-15-2024-05-02_01:00:05 after:14 signature:unknown\n");
    // A shrink's result is part of the run it names, no run of its own.
    Sandbox::WriteFile(sb.path("results/night2/run-010000-1-min.events"), "# seed:9\n# shrunk from:./results/night2/run-010000-1.events crash after:3 signature:SIGSEGV,touchapp+0x10a2c\n1 0 click 1 1 0\n");
    // The crash bundles beside two dumps: their backtraces go on the crash rows, HTML escaped.
    mkdir(sb.path("saved").c_str(), 0755);
    for (const char* pid : {"21-2024-05-01_01:00:00", "11-2024-05-02_01:00:01"})
        Sandbox::WriteFile(sb.path(std::string("saved/coredump-touchapp-") + pid + ".txt"),
                           "signature: SIGSEGV touchapp+0x10a2c\nbacktrace (frame, module+offset, symbol+offset, how found):\n"
                           "#0 touchapp+0x10a2c draw<cell>+0x1c (pc)\n#1 touchapp+0x10b40 (exidx)\n\nlast 50 gestures:\n#2 no frame\n");
    Sandbox::WriteFile(folder + "/tapfuzz.log", log0 + "[2024-01-01 00:00:00][INFO]freeze: screen unchanged for 5 s after event:2\n"
                                                       "[2024-01-01 00:00:00][INFO]freeze: screenshot " + secret + "\n");
    ASSERT_EQ(sb.Exec({"/usr/bin/timeout", "60", TAPFUZZ_BIN, "--report", folderIn, "./results/night2/"}), 0) << Err();
    EXPECT_EQ(Sandbox::ReadFile(sb.root() + "/out.txt"), folderIn + "/report.html\n");
    EXPECT_EQ(Sandbox::ReadFile(sb.path("victim")), "keep");
    const std::string html = Sandbox::ReadFile(folder + "/report.html"), xml = Sandbox::ReadFile(folder + "/junit.xml");
    EXPECT_EQ(Count(html, "<script|src=.(http|file)"), 0);
    EXPECT_EQ(Count(html, "data:image/png"), 3) << "the application's crash only: its row, its run's and the top distinct table";
    EXPECT_NE(html.find("run-999999-1: run record line 5 not readable: 2 20 swi"), std::string::npos);
    EXPECT_NE(html.find(planted + ".png not inlined: a symbolic link"), std::string::npos);
    EXPECT_NE(html.find("freeze-2024-01-01_00:00:00.png not inlined: not a regular file"), std::string::npos);
    EXPECT_NE(html.find("still running (or killed); last: 2024-05-02 01:01:00 progress: 12/300 events"), std::string::npos);
    EXPECT_EQ(Count(html, "run-010000-1-min"), 1) << "only under the crash it shrank";
    EXPECT_EQ(Count(html, "<pre>#0 touchapp\\+0x10a2c draw&lt;cell&gt;\\+0x1c \\(pc\\)\n#1 touchapp\\+0x10b40 \\(exidx\\)\n</pre>"), 3)
        << "the crash's row in its run's table, the other run's and the table of all";
    EXPECT_NE(html.find("shrunk to 1 gestures: <code>tapfuzz --replay ./results/night2/run-010000-1-min.events</code>"), std::string::npos);
    EXPECT_NE(html.find("id=\"1/run-010000-1\" data-folder=\"./results/night2\" data-distinct-crashes=\"3\""), std::string::npos);
    EXPECT_EQ(system(("xmllint --noout --schema " TESTS_DIR "/junit.xsd '" + folder + "/junit.xml' && xmllint --noout '" +
                      folder + "/report.html'").c_str()), 0) << xml;

    // Headless Chromium renders it (the expected size, not blank), and the
    // page it read holds the numbers of the log and the records.
    std::vector<std::string> pages = {html};
    const bool chromium = system("chromium --version >/dev/null 2>&1") == 0;
    if (chromium) {
        const std::string chrome = "cd '" + sb.root() + "' && mkdir -p chrome && TMPDIR=chrome HOME=chrome chromium "
                                   "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                                   "--disable-background-networking --disable-component-update --disable-sync "
                                   "--user-data-dir=chrome 'file://" + folder + "/report.html' ";
        ASSERT_EQ(system((chrome + "--window-size=1000,1800 --screenshot=page.png >/dev/null 2>&1").c_str()), 0);
        ASSERT_EQ(system((chrome + "--dump-dom >dom.html 2>/dev/null && pngtopnm page.png >page.ppm").c_str()), 0);
        const std::string ppm = Sandbox::ReadFile(sb.root() + "/page.ppm");
        EXPECT_EQ(ppm.substr(0, 13), "P6\n1000 1800\n");
        std::map<std::string, int> colours;
        for (size_t at = ppm.size() % 3; at + 3 <= ppm.size(); at += 3)
            ++colours[ppm.substr(at, 3)];
        EXPECT_GT(colours.size(), 50u) << "a blank page";
        pages.push_back(Sandbox::ReadFile(sb.root() + "/dom.html"));
    }
    // A dump is the application's crash only with its "app crash:" line.
    const std::string log = Sandbox::ReadFile(folder + "/tapfuzz.log");
    int crashes = 0, dumps = 0, run = 0;
    for (const std::smatch& r : Matches(log, R"(record:\./(.*/(run-\d+-\d+)\.events))")) {
        const std::string record = Sandbox::ReadFile(sb.path(r[1]));
        int ours = 0, others = 0;
        for (const std::smatch& m : Matches(record, "# crash:(\\S*) after:(\\d+)(?: signature:(\\S+))?")) {
            const bool app = run == 1 || log.find("]app crash: touchapp dump:" + m[1].str() + " after") != std::string::npos;
            (app ? ours : others)++;
            EXPECT_TRUE(app || xml.find("name=\"dump event:" + m[2].str() + "\"><skipped message=\"not known to be the application") !=
                                   std::string::npos) << m[1] << "\n" << xml;
            if (app && run == 0) {  // the real crash: the case is named after the key the watcher wrote
                std::string key = m[3].matched ? m[3].str() : "unknown";
                std::replace(key.begin(), key.end(), ',', ' ');
                EXPECT_EQ(Count(xml, "name=\"crash touchapp " + std::regex_replace(key, std::regex(R"([+.])"), "\\$&") +
                                     "\"><failure message=\"1 dump, "
                                     "first after gesture " + m[2].str() + "\"/><system-out>replay: tapfuzz --replay " + folderIn),
                          1) << xml;
            }
        }
        for (const std::string& page : pages) {
            auto data = [&page, &r](const std::string& key) {
                return Group(Group(page, "(<section class=.?run.? id=.?(?:1/)?" + r[2].str() + "[^>]*>)"), " data-" + key + "=[\"']([^'\"]*)");
            };
            for (const char* kind : {"click", "swipe", "longclick", "key", "pinch"}) {  // pinches named where asked for
                const int n = Count(record, std::string("\n\\d+ \\d+ ") + kind + " ");
                EXPECT_EQ(data(kind), run == 0 && kind[0] == 'p' ? "" : std::to_string(n));
                EXPECT_TRUE(run == 0 || kind[0] != 'p' || (n > 0 && Count(page, "M\\d+ \\d+(L\\d+ \\d+){10}M\\d+ \\d+(L\\d+ \\d+){10}") >= n)) << n;
            }
            EXPECT_EQ(data("seed"), Group(record, "# seed:(\\d+)"));
            EXPECT_EQ(data("crashes"), std::to_string(ours));
            EXPECT_EQ(data("dumps"), std::to_string(others));
            EXPECT_EQ(data("distinct-crashes"), std::to_string(ours));  // one crash each
            EXPECT_EQ(data("injected"), run == 0 ? Group(log, "Events injected:(\\d+)") : "30");
        }
        ++run;
        crashes += ours, dumps += others;
    }
    EXPECT_EQ(run, 2);
    EXPECT_EQ(crashes, 2);
    EXPECT_EQ(dumps, 2);  // the one with bytes outside UTF-8 and the planted touchapp one
    // Across both folders: the real crash, and the hand-made ones grouped
    // by key, or by program without one.
    const struct { const char* row; std::string junit; bool both; } distinct[] = {
        {"\"SIGSEGV,touchapp+0x10a2c\" data-program=\"touchapp\" data-count=\"3\" data-first=\"3\" data-last=\"7\"",
         "crash touchapp SIGSEGV touchapp+0x10a2c\"><failure message=\"3 dumps, first after gesture 3\"/><system-out>replay: "
         "tapfuzz --replay ./results/night2/run-010000-1.events --to 4\nseen in: " + folderIn + "\nseen in: ./results/night2\n", true},
        {"\"SIGABRT,libc.so.6+0x2f0c\" data-program=\"touchapp\" data-count=\"1\" data-first=\"9\" data-last=\"9\"",
         "crash touchapp SIGABRT libc.so.6+0x2f0c\"><failure message=\"1 dump, first after gesture 9\"", false},
        {"\"unknown\" data-program=\"helperd\" data-count=\"2\" data-first=\"12\" data-last=\"14\"",
         "crash helperd unknown\"><failure message=\"2 dumps, first after gesture 12\"/><system-out>replay: tapfuzz --replay "
         "./results/night2/run-010000-1.events --to 13\nseen in: ./results/night2\ndump: ./saved/coredump-helperd-14", false},
    };
    for (const std::string& page : pages) {
        const size_t top = page.find("<section class=\"all\" data-distinct-crashes=\"4\">");
        ASSERT_NE(top, std::string::npos) << page.substr(0, 2000);
        const std::string all = page.substr(top, page.find("</section>", top) - top);
        EXPECT_EQ(Count(all, "<tr class=\"distinct\""), 4);
        for (const auto& d : distinct) {
            const size_t row = all.find(std::string("<tr class=\"distinct\" data-signature=") + d.row + ">");
            ASSERT_NE(row, std::string::npos) << d.row << "\n" << all;
            EXPECT_NE(xml.find("name=\"" + d.junit), std::string::npos) << d.junit << "\n" << xml;
            EXPECT_EQ(all.substr(row, all.find("</tr>", row) - row).find(folderIn) != std::string::npos, d.both) << d.row;
        }
    }
    EXPECT_EQ(Count(xml, "name=\"crash "), 4) << xml;
    // A failure per distinct crash, application exit and (forged) freeze,
    // and one for each run that logged no end (the damaged one, the one
    // still going); dumps are cases, not failures.
    const int exits = Count(log, "app:touchapp exited after event:");
    EXPECT_EQ(Count(xml, "<failure"), 4 + exits + 3) << xml;
    EXPECT_EQ(Count(xml, "<testcase"), 4 + dumps + exits + 5) << xml;
    if (!chromium)
        GTEST_SKIP() << "chromium cannot run here";
}


// 100 folders under a limit of 30 descriptors, each with a run of the same
// name, one gesture at day 69 and a crash whose key carries a one-character
// CSI (U+009B) and a right-to-left override (U+202E): the page is written,
// its ids are unique, its timelines hold at most 800 numbers, and the
// controls are escaped.
TEST_F(Report, ManyFoldersOfOneRunName)
{
    std::string args;
    const std::string key = "SIGSEGV,/a\xc2\x9b" "2J\xe2\x80\xae" "b.so+0x10";
    for (int f = 0; f < 100; ++f) {
        const std::string folder = "f" + std::to_string(f);
        ASSERT_EQ(mkdir(sb.path(folder).c_str(), 0755), 0);
        Sandbox::WriteFile(sb.path(folder + "/tapfuzz.log"), "[2024-05-01 12:00:00][INFO]record:./run-1-1.events\n");
        Sandbox::WriteFile(sb.path(folder + "/run-1-1.events"), "# screen:800x480\n1 5961600000000 click 1 1 0\n"
                                                                "# crash:./saved/coredump-a-1-2024-05-01_12:00:00 after:1 signature:" + key + "\n");
        args += " " + folder;
    }
    ASSERT_EQ(sb.Exec({"/bin/sh", "-c", "ulimit -n 30 && exec " TAPFUZZ_BIN " --report" + args}), 0) << Err();
    const std::string html = Sandbox::ReadFile(sb.path("f0/report.html"));
    std::set<std::string> ids;
    for (const std::smatch& m : Matches(html, "<section class=\"run\" id=\"([^\"]*)\""))
        EXPECT_TRUE(ids.insert(m[1]).second) << m[1];
    EXPECT_EQ(ids.size(), 100u);
    for (const std::smatch& m : Matches(html, "data-minutes=\"([^\"]*)\""))
        ASSERT_LE(std::count(m[1].first, m[1].second, ' '), 799) << "per run: at most 800 numbers";
    EXPECT_LT(html.size(), 20u << 20);
    for (const char* raw : {"\xc2\x9b", "\xe2\x80\xae"})
        EXPECT_EQ(html.find(raw), std::string::npos);
    EXPECT_NE(html.find("/a\\xc2\\x9b2J\\xe2\\x80\\xaeb.so"), std::string::npos);
}

}  // namespace
