// The shipped tapfuzz, run whole in a sandbox with the shipped libfeedinput
// or a stand-in: one row per run, each checking what reached the event node
// against the log, the console, the results and dumps, and the exit status.
#include <linux/input.h>
#include <poll.h>

#include <random>

#include "base/log_text.h"
#include "gesture/pinch_path.h"
#include "sandboxed_case.h"

namespace {

// The node's records as gestures ("tap X,Y", "swipe X,Y to X,Y", "key CODE",
// "pinch X,Y X,Y to X,Y X,Y"), read through one letter per record: a finger
// goes down (DxyBXYS), moves (xyXYS) and lifts (UbS); a key goes down (KS)
// and up (kS); two fingers select slots 0 and 1 (L, M), go down with ids 1
// and 2 (D, E), move and lift both in one frame. A single finger after two
// selects slot 0 first, and only then. A record out of that order, a torn
// record or a time stamp ends it with "bad ...".
std::vector<std::string> Gestures(const std::string& raw)
{
    std::vector<input_event> ev(raw.size() / sizeof(input_event));
    raw.copy(reinterpret_cast<char*>(ev.data()), ev.size() * sizeof(input_event));
    std::string letters;
    for (const input_event& e : ev) {
        const char* abs = e.code == ABS_MT_TRACKING_ID ? (e.value == 1 ? "D" : e.value == 2 ? "E" : e.value == -1 ? "U" : "?")
                          : e.code == ABS_MT_SLOT ? (e.value == 0 ? "L" : e.value == 1 ? "M" : "?")
                          : e.code == ABS_MT_POSITION_X ? "x" : e.code == ABS_MT_POSITION_Y ? "y"
                          : e.code == ABS_X ? "X" : e.code == ABS_Y ? "Y" : "?";
        letters += e.input_event_sec || e.input_event_usec || e.value < -1 ? '?'
                   : e.type == EV_SYN ? (e.code == SYN_REPORT && e.value == 0 ? 'S' : '?')
                   : e.type == EV_KEY ? (e.value > 1 ? '?' : (e.code == BTN_TOUCH ? "bB" : "kK")[e.value])
                   : e.type == EV_ABS ? abs[0] : '?';
    }
    static const std::regex gesture("L?DxyBXYS((xyXYS)*)UbS|KSkS|LDxyMExyBXYS((LxyMxyXYS)*)LUMUbS");
    std::vector<std::string> out;
    std::smatch m;
    bool slot1 = false;
    for (size_t i = 0; i < ev.size(); i += static_cast<size_t>(m.length())) {
        if (!std::regex_search(letters.cbegin() + static_cast<long>(i), letters.cend(), m, gesture,
                               std::regex_constants::match_continuous))
            return out.push_back("bad records at " + std::to_string(i) + ": " + letters.substr(i, 40)), out;
        size_t b = i;  // where the gesture proper starts
        auto at = [&](size_t k) { return std::to_string(ev[b + k].value) + "," + std::to_string(ev[b + k + 1].value); };
        if (letters[i] == 'L' && letters[i + 4] == 'M') {  // ABS_X/Y follow the first finger, frame by frame
            bool bad = at(9) != at(2);
            size_t f0 = 2, f1 = 6;
            for (size_t f = 12; f + 9 <= 12 + static_cast<size_t>(m[3].length()); f += 9)
                bad = bad || at(f + 6) != at(f + 1), f0 = f + 1, f1 = f + 4;
            if (bad)
                return out.push_back("bad pinch at " + std::to_string(i)), out;
            out.push_back("pinch " + at(2) + " " + at(6) + " to " + at(f0) + " " + at(f1));
            slot1 = true;
            continue;
        }
        if (letters[i] != 'K' && (letters[i] == 'L') != slot1)
            return out.push_back("slot 0 " + std::string(slot1 ? "not " : "") + "selected again at " + std::to_string(i)), out;
        b += letters[i] == 'L';
        slot1 = slot1 && letters[i] == 'K';
        const size_t end = 2 + m[1].length();  // the last move's position, or the touch's
        if (letters[b] == 'K' ? ev[b].code != ev[b + 2].code : at(4) != at(1) || (m[1].length() && at(end) != at(end + 2)))
            return out.push_back("bad gesture at " + std::to_string(i)), out;
        out.push_back(letters[b] == 'K' ? "key " + std::to_string(ev[b].code)
                      : m[1].length() == 0 ? "tap " + at(1) : "swipe " + at(1) + " to " + at(end));
    }
    if (raw.size() % sizeof(input_event) != 0)
        out.push_back("bad: a torn record");
    return out;
}

// The gesture a -v-v line promises, in the words of Gestures(): swipes walk
// forward and lift at their end point, whatever the direction.
std::string Promised(const std::string& line)
{
    static const std::regex tap(R"(Sending (Click \(ACTION_DOWN\)|LongClick \(ACTION_LONGCLICK\)):\((-?\d+,-?\d+)\))"),
        swipe(R"(Sending Swipe \(ACTION_MOTION\):\((-?\d+,-?\d+),(-?\d+,-?\d+),5\))"),
        key(R"(Sending PressKey \(ACTION_PRESSKEY\):\((-?\d+)\))"),
        pinch(R"(Sending Pinch \(ACTION_PINCH\):\((-?\d+),(-?\d+),(-?\d+),(-?\d+),(-?\d+)\))");
    std::smatch m;
    if (std::regex_match(line, m, pinch)) {
        const Pointer e = {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]), 10, 300000, FACTOR_PINCH, std::stoi(m[5])};
        auto at = [&](int i, int f) { return std::to_string(pinchPoint(e, i, f).x) + "," + std::to_string(pinchPoint(e, i, f).y); };
        return "pinch " + at(0, 0) + " " + at(0, 1) + " to " + at(10, 0) + " " + at(10, 1);
    }
    return std::regex_match(line, m, tap)     ? "tap " + m[2].str()
           : std::regex_match(line, m, swipe) ? "swipe " + m[1].str() + " to " + m[2].str()
           : std::regex_match(line, m, key)   ? "key " + std::to_string(std::stoi(m[1]) & 0xffff)
                                              : "not an event line: " + line;
}

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    // Each "where:text" must be found in out, err, log, crash (the crash
    // log), calls (what a stand-in library was asked), left (processes left
    // running), pattern (the core-pattern file), a saved dump (dump,
    // dump.1, hostile) or the hostile one's bundle text (bundle);
    // "!where:text" must not, "where=text" is all of it, and "where==where"
    // compares two of them.
    std::vector<std::string> expect;
    std::string profile = "";
    std::string lib = "";      // a stand-in's folder; "": the built library; "/...": a folder as it stands; "-": no profile
    const char* fb = "800x480";  // what the frame buffer reports ("": the query fails); nullptr: no /dev/fb0
    std::string shell = "";    // run in the sandbox before tapfuzz replaces the shell
    int sig = 0;               // sent a random moment after the results appear (with dumps: after the second is saved)
    const char* gestures = ".*";  // every gesture on the node matches
    std::array<int, 4> mix = {-1};  // % of the library's calls that are clicks, swipes, long clicks, keys
};
// Cases are named in test output, not dumped as bytes.
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

// Blanks, CRLF and comments around the values; the first of two lines wins; a
// key of 0, of text or of too many characters, on a line too long or with a
// NUL byte, is no key.
const std::string kKeys = "HWKEY_ENABLE=1\n \tHWKEY_VOL_UP \t=\t 115th \t\r\n#HWKEY_BACK=1\nHWKEY_BACK=158\nHWKEY_BACK=159\nHWKEY_HOME=0\n"
                          "HWKEY_MUTE=abc\nHWKEY_POWER=1234567890123456\n" + std::string(4096, ' ') + "HWKEY_RADIO=5\nHWKEY_NVI=6" +
                          std::string(1, '\0') + "\n", kFb = "cannot read the screen size from /dev/fb0: ";
const std::string kDump = "saved/coredump-crashy-4242-2023-11-14_22:13:20", kHostile = "coredump-x\n[forged][INFO];touch pwned;$(touch pwned2)-7-";
const std::string kSeq = [] { std::string text; for (int i = 1; i <= 100000; ++i) text += std::to_string(i) + "\n"; return text; }();
// A dump whose program has a hostile name, then two dumps of one name and
// second, the later one written (as the kernel would) once the first is gone.
const std::string kDumps = "(sleep 0.2; printf h > '/tmp/" + kHostile + "1700000000'; seq 100000 > /tmp/coredump-crashy-4242-1700000000;"
                           " echo keep > /tmp/keep-me; until [ -e " + kDump + " ] && [ ! -e /tmp/coredump-crashy-4242-1700000000 ]; do sleep 0.1; done;"
                           " echo second > /tmp/coredump-crashy-4242-1700000000) & ";

// Instant clicks and 1 ms long clicks, for runs that check something else than holds.
const std::string kQuick = "CLICK_DURATION=0\nLONGCLICK_DURATION=1\n";

const std::string kUsage = "usage: tapfuzz :[-a appname] \n               [--pct-touch PERCENT]\n               [--pct-longclick PERCENT]\n"
    "               [--pct-motion PERCENT]\n               [--pct-presskey PERCENT]\n               [--pct-pinch PERCENT]\n               [--throttle MILLISEC]\n               [--seed N]\n"
    "               [--stop-on-crash]\n               [--max-crashes N]\n               [--explore]\n               [--help]\n               COUNT\n"
    "       tapfuzz --replay FILE [--from N] [--to M] [--speed F]\n"
    "       tapfuzz -a appname --shrink RECORD [--crash N] [--tries T] [--wait S] [--speed F] [--hour H]\n"
    "       tapfuzz --report FOLDER [FOLDER...]\n";

const RunCase kRuns[] = {
    {"usage", {}, 255, {"out=" + kUsage}}, {"help", {"--help"}, 255, {"out:" + kUsage}},
    {"version_without_library", {"--help", "--version"}, 0, {"out:tapfuzz version:V0.2.3\nlibaray version:V0.1\n"}, "", "/no/such/"},
    {"version_of_the_library", {"--version"}, 0, {"out:libaray version:fake-2.1\n"}, "", "full"},
    {"touch_above_hundred", {"--pct-touch", "101", "5"}, 1, {"!log:Events injected"}},
    {"mix_under_hundred", {"--pct-touch", "20", "--pct-motion", "20", "--pct-longclick", "20", "--pct-presskey", "20", "5"}, 1, {}},
    {"no_library", {"5"}, 1, {"err:nothing of the event mix can be injected", "log:nothing of the event mix", "log:dlopen failed for /no/such/libfeedinput.so"}, "", "/no/such/"},
    {"library_path_127", {"5"}, 1, {"log:dlopen failed for /" + std::string(125, 'p') + "/libfeedinput.so\n"}, "", "/" + std::string(125, 'p') + "/"},
    {"fb_no_answer", {"5"}, 1, {"err:" + kFb + "Inappropriate ioctl for device", "log:" + kFb}, "", "", ""},
    {"fb_missing", {"5"}, 1, {"err:" + kFb + "No such file or directory"}, "", "", nullptr},
    {"fb_zero_width", {"5"}, 1, {"err:" + kFb + "it reports 0 x 480"}, "", "", "0x480"},
    {"panel_rotate_bad", {"5"}, 1, {"err=tapfuzz: PANEL_ROTATE \"45\" is not 0, 90, 180 or 270\n", "log:PANEL_ROTATE \"45\""}, "PANEL_ROTATE=45\n"},
    {"panel_invert_bad", {"5"}, 1, {"err=tapfuzz: PANEL_INVERT_Y \"1x\" is not 0 or 1\n"}, "PANEL_INVERT_Y=1x\n"},
    {"click_duration_bad", {"5"}, 1, {"err=tapfuzz: CLICK_DURATION 1001 is outside 0..1000 (milliseconds)\n"}, "CLICK_DURATION=1001\n"},
    // A 12-bit panel turned half round: the log names its ranges, the clicks go out in them.
    {"panel_12bit", {"--pct-touch", "100", "5"}, 0, {"log:[INFO]panel: x 0..4095 y 0..4095 for a 800x480 screen (PANEL_ROTATE=180)\n"},
        "PANEL_ROTATE=180\n", "", "800x480", "export TAPFUZZ_TEST_RANGE=0,4095,0,4095; ", 0, "tap [0-9]{1,4},[0-9]{1,4}"},
    {"grid_clamped", {"5"}, 1, {"err:tapfuzz: SCREEN_BASIC_SIZE -2147483648 is outside 1..480\n"}, "SCREEN_BASIC_SIZE=-99999999999\n"},
    {"no_profile", {"5"}, 1, {"out:openfile [./device.conf] error [No such file or directory]\n"}, "", "-"},
    // The main log of the day appends, and falls back to the console when it cannot be a file.
    {"runs_append", {"3"}, 0, {"log:[INFO]Events injected:2\n", "log:[INFO]Events injected:3\n"}, kQuick, "", "800x480", "\"$0\" 2 >/dev/null; "},
    {"results_is_a_file", {"3"}, 0, {"out:][INFO]Events injected:3\n"}, kQuick, "", "800x480", "echo x > results; "},
    {"main_log_is_a_folder", {"3"}, 0, {"out:][INFO]Events injected:3\n"}, kQuick, "", "800x480", "mkdir -p results/tapfuzz$(date +%Y%m%d)/tapfuzz.log; "},
    {"count", {"-v-v", "20"}, 0, {"log:[INFO]Events injected:20\n", "log:[INFO]// tapfuzz finish\n", "log:[INFO]cycleCounter:20\n",
        "log:[INFO]corefile save path:./saved/\n", "log:[INFO]Success: echo \"/tmp/coredump-%e-%p-%t\" > /proc/sys/kernel/core_pattern\n",
        "log:link:touchClick\n", "log:[INFO]screens: not counted: no pause between gestures\n", "log:[INFO]screens:unknown no-op:unknown\n",
        "pattern=/tmp/coredump-%e-%p-%t\n", "log:[INFO]panel: axis ranges unreadable: points written as screen pixels\n"},
        "SCREEN_BASIC_SIZE=30\n" + kQuick, "", "800x490", "", 0, "tap ([0-9]{1,2}|[1-6][0-9]{2}|7[0-7][0-9]),([0-9]{1,2}|[1-3][0-9]{2}|4[0-7][0-9])|swipe .*"},
    {"keys_only", {"-v-v", "--pct-presskey", "100", "20"}, 0, {"log:[INFO]Events injected:20\n", "err:profile key HWKEY_POWER: value longer than 15 characters, ignored\n",
        "err:profile key HWKEY_RADIO: line longer than 4095 characters, ignored\nprofile key HWKEY_NVI: value holds a NUL byte, ignored\n"},
        kKeys, "", "800x480", "", 0, "key (115|158)"},
    {"mix_printout", {"-v", "--pct-touch", "50", "3"}, 0, {"log:\n//  Event percentages\n//  TOUCH:50.0%\n//  MOTION:23.1%\n//  LONGCLICK:23.1%\n//  PRESSKEY:3.8%\n",
        "log:[INFO]Events injected:3", "!log:Sending"}, "HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\n" + kQuick},
    {"mix_proportions", {"--pct-touch", "50", "4000"}, 0, {}, kKeys + kQuick, "full", "800x480", "", 0, ".*", {50, 23, 23, 4}},
    {"library_with_touch_only", {"-v-v", "10"}, 0, {"log:[INFO]link:touchClick\n[", "!log:link:touchSwipe", "!calls:touchSwipe", "log:Events injected:10"}, "", "touchonly"},
    {"library_failing", {"--pct-presskey", "100", "2"}, 0, {"log:[INFO]Error PressKey (ACTION_PRESSKEY):(115)\n", "calls=sendHKeyInput(115);sendHKeyMcu(115);sendHKeyInput(115);sendHKeyMcu(115);"},
        "HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\n", "failing"},
    // Two fingers: both lift, even when SIGINT or SIGTERM lands in the middle of a pinch.
    {"pinch", {"-v-v", "--pct-pinch", "30", "40"}, 0, {"log:Events injected:40", "log:\n//  PINCH:30.0%\n", "log:Sending Pinch"}, kQuick},
    {"pinch_sigint", {"-v-v", "--pct-pinch", "100", "100000"}, 0, {"!log:Events injected"}, "", "", "800x480", "", SIGINT, "pinch .*"},
    {"pinch_sigterm", {"-v-v", "--pct-pinch", "100", "100000"}, 0, {"!log:Events injected", "log:[INFO]stopped by SIGTERM\n"}, "", "", "800x480", "", SIGTERM, "pinch .*"},
    {"pinch_without_function", {"--pct-pinch", "50", "10"}, 0, {"err=tapfuzz: pinches cannot be injected (the driver library lacks touchPinch)\n", "log:Events injected:10\n"}, "", "touchonly"},
    {"pinch_one_slot_panel", {"--pct-pinch", "50", "10"}, 0, {"err=tapfuzz: pinches cannot be injected (the touch panel reports fewer than 2 slots)\n"},
        kQuick, "", "800x480", "export TAPFUZZ_TEST_SLOTS=1; ", 0, "tap .*|swipe .*"},
    {"pinch_only_without_function", {"--pct-pinch", "100", "5"}, 1, {"err:lacks touchPinch)\ntapfuzz: nothing of the event mix can be injected"}, "", "touchonly"},
    {"sigint", {"-v-v", "100000"}, 0, {"!log:Events injected"}, kKeys, "", "800x480", "", SIGINT},
    {"sigint_in_a_long_pause", {"-v-v", "--throttle", "60000", "100000"}, 0, {"!log:Events injected"}, "", "", "800x480", "", SIGINT},
    {"sigalrm", {"-v-v", "--throttle", "3", "--hour", "1"}, 0, {"!log:Events injected"}, "", "", "800x480", "", SIGALRM},
    {"other_tail_lives_on", {"3"}, 0, {"left:tail -f /dev/null"}, kQuick, "", "800x480", "tail -f /dev/null & "},
    // A dump moves (renamed) once it stopped growing, is recorded once, and
    // never replaces one saved before; the hostile name forges no log line.
    {"dumps", {"-v-v", "--throttle", "200", "100000"}, 0, {"log:[CRASH][Coredump]./" + kDump + "\n", "crash:[CRASH][Coredump]./" + kDump + ".1\n",
        "log:[INFO]mv /tmp/coredump-crashy-4242-1700000000 ./" + kDump + "\n", "log:" + escapeLogText(kHostile) + "2023-11-14_22:13:20\n", "!log:keep-me",
        "dump==seq", "dump.1=second\n", "hostile=h", "bundle:dump: ./saved/" + escapeLogText(kHostile) + "2023-11-14_22:13:20\n"},
        "", "", "800x480", kDumps, SIGINT},
    // The same, copied to another file system.
    {"dumps_copied", {"-v-v", "--throttle", "200", "100000"}, 0, {"log:[CRASH][Coredump]./" + kDump + ".1\n", "dump==seq", "dump.1=second\n"}, "", "", "800x480", "mount -t tmpfs t /tmp; " + kDumps, SIGINT},
};

class Run : public SandboxedCase, public ::testing::WithParamInterface<RunCase> {};

TEST_P(Run, WhatItInjectsLogsAndLeaves)
{
    const RunCase& c = GetParam();
    if (c.shell.rfind("mount", 0) == 0 && std::string(TAPFUZZ_BIN).rfind("/tmp/", 0) == 0)
        GTEST_SKIP() << "a tmpfs on /tmp would hide this build tree from the run";
    std::string lib = FEEDINPUT_LIB, env = "LD_PRELOAD=" FBSHIM_LIB;
    lib = c.lib[0] == '/' ? c.lib : c.lib[0] ? FAKEFEED_DIR "/" + c.lib + "/" : lib.substr(0, lib.rfind('/') + 1);
    ASSERT_TRUE(c.lib == "-" || Sandbox::WriteFile(sb_.path("device.conf"), "LIBLARAY_PATH=" + lib + "\nCOREFILE_PATH=./saved/\n" + c.profile));
    ASSERT_TRUE(mkdir(sb_.path("saved").c_str(), 0755) == 0 && (!c.fb || Sandbox::WriteFile(sb_.path("/dev/fb0"), "")));
    NodeCapture node(sb_.path("/dev/input/event0"));
    std::vector<std::string> argv = {"/bin/sh", "-c", c.shell + "exec \"$0\" \"$@\"", TAPFUZZ_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    // The preloaded shim comes before the sanitizer runtime.
    SandboxProcess run = sb_.Start(argv, {env, "TZ=UTC", std::string("TAPFUZZ_TEST_FB=") + (c.fb ? c.fb : ""), "ASAN_OPTIONS=verify_asan_link_order=0"});
    for (int i = 0; c.sig && i < 600 && access(sb_.path(c.shell.find("seq") == std::string::npos ? "results" : kDump + ".1").c_str(), F_OK) != 0; ++i)
        usleep(50000);
    std::mt19937 pick(::testing::UnitTest::GetInstance()->random_seed());
    usleep(c.sig ? std::uniform_int_distribution<int>(50000, 400000)(pick) : 0);
    EXPECT_TRUE(!c.sig || run.Kill(c.sig));
    const int st = run.Wait();
    const std::string mainLog = MainLog(), crashLog = MainLog("crash.log"), calls = Sandbox::ReadFile(sb_.path("calls.txt"));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == c.status) << st << Sandbox::ReadFile(sb_.root() + "/err.txt");
    const std::map<std::string, std::string> where = {
        {"out", Sandbox::ReadFile(sb_.root() + "/out.txt")}, {"err", Sandbox::ReadFile(sb_.root() + "/err.txt")}, {"log", mainLog},
        {"crash", crashLog}, {"calls", calls}, {"left", sb_.Leftovers()}, {"pattern", Sandbox::ReadFile(sb_.path("/proc/sys/kernel/core_pattern"))},
        {"dump", Sandbox::ReadFile(sb_.path(kDump))}, {"dump.1", Sandbox::ReadFile(sb_.path(kDump + ".1"))},
        {"hostile", Sandbox::ReadFile(sb_.path("saved/" + kHostile + "2023-11-14_22:13:20"))}, {"seq", kSeq},
        {"bundle", Sandbox::ReadFile(sb_.path("saved/" + kHostile + "2023-11-14_22:13:20.txt"))}};
    for (const std::string& e : c.expect) {
        const bool absent = e[0] == '!';
        const size_t sep = e.find_first_of(":=");
        const std::string &text = where.at(e.substr(absent, sep - absent)), want = e.substr(sep + 1);
        EXPECT_TRUE(e[sep] == ':' ? (text.find(want) == std::string::npos) == absent : text == (want[0] == '=' ? where.at(want.substr(1)) : want))
            << e << "\n---\n" << text;
    }
    // The node got exactly what the -v-v lines promise, in order.
    std::vector<std::string> promised, gestures = Gestures(node.Take());
    for (const std::string& m : Messages("[INFO]"))
        if (m.rfind("Sending ", 0) == 0)
            promised.push_back(Promised(m));
    EXPECT_EQ(c.lib.empty() && !c.args.empty() && c.args[0] == "-v-v" ? promised : gestures, gestures);
    for (const std::string& g : gestures)
        EXPECT_TRUE(std::regex_match(g, std::regex(c.gestures))) << g;
    // Whole lines only (the mix printout spreads one over several), none forged; nothing left running but another's tail.
    static const std::regex whole(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[.*|//  [A-Z][A-Za-z ]+(:\d+\.\d%)?)");
    for (const std::string& text : {mainLog, crashLog}) {
        EXPECT_TRUE(text.empty() || text.back() == '\n');
        for (const std::string& line : ::Messages(text, ""))
            EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
    for (const std::string& line : ::Messages(sb_.Leftovers(), ""))
        EXPECT_NE(std::string::npos, line.find("tail -f /dev/null")) << line;
    EXPECT_TRUE(access(sb_.path("pwned").c_str(), F_OK) != 0 && access(sb_.path("pwned2").c_str(), F_OK) != 0);
    std::map<std::string, int> n;
    std::istringstream in(calls);
    for (std::string call; std::getline(in, call, ';');)
        ++n[call.substr(0, call.find('('))];
    const char* kinds[] = {"touchClick", "touchSwipe", "touchLongClick", "sendHKeyInput"};
    for (int k = 0; c.mix[0] >= 0 && k < 4; ++k)  // of 4000 calls; 4 points are 5 standard deviations or more
        EXPECT_NEAR(c.mix[k], n[kinds[k]] / 40.0, 4) << kinds[k];
}

INSTANTIATE_TEST_SUITE_P(Tapfuzz, Run, ::testing::ValuesIn(kRuns), [](const auto& p) { return std::string(p.param.name); });

}  // namespace
