// The shipped tapfuzz with the shipped libfeedinput, run whole in a sandbox:
// what it writes to the event node against what it logs, how each way of
// ending looks, and core dumps that appear while it runs.
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"

namespace {

const char kUsage[] =
    "usage: monkey :[-a appname] \n"
    "               [--pct-touch PERCENT]\n"
    "               [--pct-longclick PERCENT]\n"
    "               [--pct-motion PERCENT]\n"
    "               [--pct-presskey PERCENT]\n"
    "               [--throttle MILLISEC]\n"
    "               [--help]\n"
    "               COUNT\n";

std::string LibraryFolder()
{
    std::string lib = FEEDINPUT_LIB;
    return lib.substr(0, lib.rfind('/') + 1);
}

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

size_t CountLines(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (const std::string& line : Lines(text))
        if (line.find(needle) != std::string::npos)
            ++n;
    return n;
}

// Polls `done` until it holds or about `seconds` have passed. Only a bound
// against a hang: nothing asserts how fast the program is.
bool WaitFor(const std::function<bool()>& done, int seconds = 30)
{
    for (int i = 0; i < seconds * 20; ++i) {
        if (done())
            return true;
        usleep(50000);
    }
    return done();
}

// --- The event node ---------------------------------------------------------

struct Gesture {
    enum Kind { Tap, Swipe, Key } kind;
    int x = 0, y = 0;          // where the finger went down
    int endX = 0, endY = 0;    // the last move of a swipe
    int moves = 0;             // move blocks, the final one included
    int code = 0;              // key code
};

// Splits the captured records into gestures. Any record out of the order
// the driver writes ends the decoding with a failure.
::testing::AssertionResult Decode(const std::string& raw, std::vector<Gesture>* out)
{
    const size_t size = sizeof(struct input_event);
    if (raw.size() % size != 0)
        return ::testing::AssertionFailure() << "node holds " << raw.size() << " bytes, not whole records";
    std::vector<struct input_event> ev(raw.size() / size);
    if (!ev.empty())
        memcpy(ev.data(), raw.data(), raw.size());
    size_t i = 0;
    auto is = [&](size_t at, int type, int code) {
        return at < ev.size() && ev[at].type == type && ev[at].code == code;
    };
    auto fail = [&](const char* what) {
        return ::testing::AssertionFailure() << what << " at record " << i << " of " << ev.size();
    };
    for (const struct input_event& e : ev)
        if (e.input_event_sec != 0 || e.input_event_usec != 0)
            return ::testing::AssertionFailure() << "a record carries a time";

    while (i < ev.size()) {
        Gesture g{};
        if (is(i, EV_ABS, ABS_MT_TRACKING_ID) && ev[i].value == 1) {
            if (!(is(i + 1, EV_ABS, ABS_MT_POSITION_X) && is(i + 2, EV_ABS, ABS_MT_POSITION_Y) &&
                  is(i + 3, EV_KEY, BTN_TOUCH) && ev[i + 3].value == 1 && is(i + 4, EV_ABS, ABS_X) &&
                  is(i + 5, EV_ABS, ABS_Y) && is(i + 6, EV_SYN, SYN_REPORT)))
                return fail("broken down block");
            g.x = ev[i + 1].value;
            g.y = ev[i + 2].value;
            if (ev[i + 4].value != g.x || ev[i + 5].value != g.y)
                return fail("ABS_X/ABS_Y differ from the contact");
            i += 7;
            while (is(i, EV_ABS, ABS_MT_POSITION_X)) {
                if (!(is(i + 1, EV_ABS, ABS_MT_POSITION_Y) && is(i + 2, EV_ABS, ABS_X) &&
                      is(i + 3, EV_ABS, ABS_Y) && is(i + 4, EV_SYN, SYN_REPORT)))
                    return fail("broken move block");
                g.endX = ev[i].value;
                g.endY = ev[i + 1].value;
                ++g.moves;
                i += 5;
            }
            if (!(is(i, EV_ABS, ABS_MT_TRACKING_ID) && ev[i].value == -1 && is(i + 1, EV_KEY, BTN_TOUCH) &&
                  ev[i + 1].value == 0 && is(i + 2, EV_SYN, SYN_REPORT)))
                return fail("finger not lifted");
            i += 3;
            g.kind = g.moves == 0 ? Gesture::Tap : Gesture::Swipe;
        } else if (i < ev.size() && ev[i].type == EV_KEY && ev[i].code != BTN_TOUCH && ev[i].value == 1) {
            g.kind = Gesture::Key;
            g.code = ev[i].code;
            if (!(is(i + 1, EV_SYN, SYN_REPORT) && is(i + 2, EV_KEY, g.code) && ev[i + 2].value == 0 &&
                  is(i + 3, EV_SYN, SYN_REPORT)))
                return fail("key not released");
            i += 4;
        } else {
            return fail("unexpected record");
        }
        out->push_back(g);
    }
    return ::testing::AssertionSuccess();
}

// The per-event lines of a -v-v run, in order, against the gestures.
::testing::AssertionResult Matches(const std::vector<std::string>& sent, const std::vector<Gesture>& node)
{
    if (sent.size() != node.size())
        return ::testing::AssertionFailure() << sent.size() << " events logged, " << node.size()
                                             << " gestures on the node";
    static const std::regex tap(R"(Sending (Click \(ACTION_DOWN\)|LongClick \(ACTION_LONGCLICK\)):\((-?\d+),(-?\d+)\))");
    static const std::regex swipe(R"(Sending Swipe \(ACTION_MOTION\):\((-?\d+),(-?\d+),(-?\d+),(-?\d+),5\))");
    static const std::regex key(R"(Sending PressKey \(ACTION_PRESSKEY\):\((-?\d+)\))");
    for (size_t i = 0; i < sent.size(); ++i) {
        const Gesture& g = node[i];
        std::smatch m;
        auto fail = [&]() { return ::testing::AssertionFailure() << "event " << i << ": " << sent[i]; };
        if (std::regex_match(sent[i], m, tap)) {
            if (g.kind != Gesture::Tap || g.x != std::stoi(m[2]) || g.y != std::stoi(m[3]))
                return fail() << " but the node has a gesture at (" << g.x << "," << g.y << ")";
        } else if (std::regex_match(sent[i], m, swipe)) {
            int x = std::stoi(m[1]), y = std::stoi(m[2]), x1 = std::stoi(m[3]), y1 = std::stoi(m[4]);
            int dx = x1 - x, dy = y1 - y;
            // The driver walks the path backwards when the main axis
            // decreases, and then lifts where it started.
            bool reversed = std::abs(dy) > std::abs(dx) ? y1 < y : x1 < x;
            int ex = reversed ? x : x1, ey = reversed ? y : y1;
            if (g.kind != Gesture::Swipe || g.x != x || g.y != y || g.moves != 3 || g.endX != ex || g.endY != ey)
                return fail() << " but the node has (" << g.x << "," << g.y << ") to (" << g.endX << ","
                              << g.endY << ") in " << g.moves << " moves";
        } else if (std::regex_match(sent[i], m, key)) {
            if (g.kind != Gesture::Key || g.code != (std::stoi(m[1]) & 0xffff))
                return fail() << " but the node has key " << g.code;
        } else {
            return fail() << " is not an event line";
        }
    }
    return ::testing::AssertionSuccess();
}

// The driver opens the node afresh for every gesture without O_APPEND, so a
// regular file would keep only the last gesture. The node is a fifo, read
// by a thread of the test while the program runs.
class NodeCapture {
public:
    explicit NodeCapture(const std::string& fifo)
    {
        // Read-write, so the fifo never reports an end between gestures.
        fd_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        thread_ = std::thread([this] { Loop(); });
    }
    ~NodeCapture()
    {
        stop_ = true;
        thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    NodeCapture(const NodeCapture&) = delete;
    NodeCapture& operator=(const NodeCapture&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Everything written since the last call; complete once the writer ended.
    std::string Take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Drain();
        std::string data;
        data.swap(data_);
        return data;
    }

private:
    void Drain()
    {
        char buf[65536];
        ssize_t n;
        while ((n = read(fd_, buf, sizeof buf)) > 0)
            data_.append(buf, static_cast<size_t>(n));
    }
    void Loop()
    {
        while (!stop_ && fd_ >= 0) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                Drain();
            }
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string data_;
    std::thread thread_;
};

// --- The sandboxed program ---------------------------------------------------

class TapfuzzRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs root for private namespaces";
        // The preloaded shim comes before the sanitizer runtime.
        std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
        if (asan.find("verify_asan_link_order") == std::string::npos)
            setenv("ASAN_OPTIONS", (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
        Profile("");
        ASSERT_EQ(mkfifo(sb.path("/dev/input/event0").c_str(), 0666), 0);
        capture.reset(new NodeCapture(sb.path("/dev/input/event0")));
        ASSERT_TRUE(capture->ok());
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/fb0"), ""));
        ASSERT_EQ(mkdir(sb.path("saved").c_str(), 0755), 0);
    }

    // device.conf: the built library, ./saved/ for dumps, plus `extra`.
    void Profile(const std::string& extra, const std::string& libFolder = LibraryFolder())
    {
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("device.conf"), "LIBLARAY_PATH=" + libFolder +
                                                                    "\nCOREFILE_PATH=./saved/\n" + extra));
    }

    std::vector<std::string> Env() const
    {
        std::vector<std::string> env = {"LD_PRELOAD=" FBSHIM_LIB, "TZ=UTC"};
        if (!fb.empty())
            env.push_back("TAPFUZZ_TEST_FB=" + fb);
        return env;
    }

    std::vector<std::string> Argv(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {TAPFUZZ_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    int Run(const std::vector<std::string>& args) { return ExitCode(sb.Exec(Argv(args), Env())); }
    SandboxProcess Start(const std::vector<std::string>& args) { return sb.Start(Argv(args), Env()); }

    std::string Out() const { return Sandbox::ReadFile(sb.root() + "/out.txt"); }
    std::string Err() const { return Sandbox::ReadFile(sb.root() + "/err.txt"); }
    // What the program wrote to the node so far (all of it once it ended).
    std::string Node()
    {
        captured += capture->Take();
        return captured;
    }
    void ForgetNode()
    {
        Node();
        captured.clear();
    }

    std::string ResultsFolder() const
    {
        std::string found;
        if (DIR* d = opendir(sb.path("results").c_str())) {
            while (struct dirent* e = readdir(d))
                if (strncmp(e->d_name, "tapfuzz", 7) == 0)
                    found = sb.path("results/") + e->d_name;
            closedir(d);
        }
        return found;
    }
    std::string Log(const char* file = "tapfuzz.log") const
    {
        std::string folder = ResultsFolder();
        return folder.empty() ? "" : Sandbox::ReadFile(folder + "/" + file);
    }

    // The message of every line of the main log, after "[time][INFO]".
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> messages;
        for (const std::string& line : Lines(Log())) {
            size_t tag = line.find("][INFO]");
            if (tag != std::string::npos)
                messages.push_back(line.substr(tag + 7));
        }
        return messages;
    }
    std::vector<std::string> Sent() const
    {
        std::vector<std::string> sent;
        for (const std::string& m : Messages())
            if (m.rfind("Sending ", 0) == 0)
                sent.push_back(m);
        return sent;
    }

    // Every line of both logs is whole: it starts with its time stamp (or is
    // a line of the mix printout, which one log line spreads over several)
    // and the file ends with a line feed.
    void ExpectWholeLines() const
    {
        for (const char* file : {"tapfuzz.log", "crash.log"}) {
            std::string text = Log(file);
            if (text.empty())
                continue;
            EXPECT_EQ(text.back(), '\n') << file;
            for (const std::string& line : Lines(text))
                EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[.*|//  [A-Z][A-Za-z ]+(:\d+\.\d%)?)")))
                    << file << ": " << line;
        }
    }

    void ExpectNodeMatchesLog()
    {
        std::vector<Gesture> node;
        ASSERT_TRUE(Decode(Node(), &node));
        EXPECT_TRUE(Matches(Sent(), node));
    }

    // Nothing of tapfuzz outlived it: no echo, no shell.
    void ExpectNothingLeft() const
    {
        std::string left = sb.Leftovers();
        EXPECT_EQ(left.find("tail -F"), std::string::npos) << left;
        EXPECT_EQ(left.find("tapfuzz"), std::string::npos) << left;
    }

    std::string fb = "800x480";
    Sandbox sb;
    std::unique_ptr<NodeCapture> capture;
    std::string captured;
};

// --- Command line ------------------------------------------------------------

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;      // expected within standard output
    bool logs;            // the results folder exists afterwards
};

void PrintTo(const CommandCase& c, std::ostream* os)
{
    *os << c.name;
}

class CommandLineTest : public TapfuzzRun, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandLineTest, StatusAndText)
{
    const CommandCase& c = GetParam();
    EXPECT_EQ(Run(c.args), c.status) << Err();
    EXPECT_NE(Out().find(c.out), std::string::npos) << Out();
    EXPECT_EQ(!ResultsFolder().empty(), c.logs);
    EXPECT_EQ(Node(), "") << "nothing may be injected";
    ExpectNothingLeft();
}

const std::string kVersion = "tapfuzz version:V0.2.3\nlibaray version:V0.1\n";

INSTANTIATE_TEST_SUITE_P(
    Usage, CommandLineTest,
    ::testing::Values(CommandCase{"NoArgument", {}, 255, kUsage, false},
                      CommandCase{"Help", {"--help"}, 255, kUsage, true},
                      CommandCase{"CountZero", {"0"}, 255, kUsage, true},
                      CommandCase{"CountNotLast", {"--throttle", "100", "-v", "1000"}, 255, kUsage, true},
                      CommandCase{"Version", {"--version"}, 0, kVersion, true},
                      CommandCase{"VersionAfterHelp", {"--help", "--version"}, 0, kVersion, true},
                      CommandCase{"VersionAmongOthers", {"-v", "--throttle", "5", "--version", "12"}, 0, kVersion,
                                  true}),
    [](const ::testing::TestParamInfo<CommandCase>& p) { return std::string(p.param.name); });

TEST_F(TapfuzzRun, NoArgumentPrintsOnlyTheUsage)
{
    EXPECT_EQ(Run({}), 255);
    EXPECT_EQ(Out(), kUsage);
}

TEST_F(TapfuzzRun, VersionWithoutTheLibrary)
{
    Profile("", "/no/such/folder/");
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_NE(Out().find(kVersion), std::string::npos) << Out();
}

// --- Runs by count -----------------------------------------------------------

TEST_F(TapfuzzRun, RunByCountLogsExactlyWhatItInjects)
{
    ASSERT_EQ(Run({"-v-v", "20"}), 0) << Err();
    std::vector<std::string> messages = Messages();
    ExpectNodeMatchesLog();
    EXPECT_EQ(Sent().size(), 20u);
    std::vector<std::string> cycles;
    for (const std::string& m : messages)
        if (m.rfind("cycleCounter:", 0) == 0)
            cycles.push_back(m);
    ASSERT_EQ(cycles.size(), 20u);
    for (int i = 1; i <= 20; ++i)
        EXPECT_EQ(cycles[i - 1], "cycleCounter:" + std::to_string(i));
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], "Events injected:20");
    EXPECT_EQ(messages.back(), "// tapfuzz finish");
    EXPECT_EQ(Sandbox::ReadFile(sb.path("/proc/sys/kernel/core_pattern")), "/tmp/coredump-%e-%p-%t\n");
    EXPECT_EQ(CountLines(Log(), "[INFO]Success: echo \"/tmp/coredump-%e-%p-%t\" > /proc/sys/kernel/core_pattern"), 1u);
    EXPECT_EQ(CountLines(Log(), "[INFO]corefile save path:./saved/"), 1u);
    ExpectWholeLines();
    ExpectNothingLeft();
}

TEST_F(TapfuzzRun, OneVerboseFlagPrintsTheMixButNoEvents)
{
    Profile("HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\n");
    ASSERT_EQ(Run({"-v", "--pct-touch", "50", "3"}), 0) << Err();
    std::string log = Log();
    for (const char* line : {"//  Event percentages", "//  TOUCH:50.0%", "//  MOTION:23.1%", "//  LONGCLICK:23.1%",
                             "//  PRESSKEY:3.8%"})
        EXPECT_EQ(CountLines(log, line), 1u) << line << "\n" << log;
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(CountLines(log, "[INFO]Events injected:3"), 1u);
    std::vector<Gesture> node;
    ASSERT_TRUE(Decode(Node(), &node));
    EXPECT_GE(node.size(), 3u);
}

TEST_F(TapfuzzRun, KeyPressesOnlyAreCountedAndEnd)
{
    Profile("HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_BACK=158\n");
    ASSERT_EQ(Run({"-v-v", "--pct-presskey", "100", "10"}), 0) << Err();
    ExpectNodeMatchesLog();
    std::vector<Gesture> node;
    ASSERT_TRUE(Decode(Node(), &node));
    ASSERT_EQ(node.size(), 10u);
    for (const Gesture& g : node) {
        EXPECT_EQ(g.kind, Gesture::Key);
        EXPECT_TRUE(g.code == 115 || g.code == 158) << g.code;
    }
    EXPECT_EQ(CountLines(Log(), "[INFO]Events injected:10"), 1u);
}

// --- Refusals before anything is injected ------------------------------------

struct RefusalCase {
    const char* name;
    std::string profile;
    std::vector<std::string> args;
    std::string fb;           // TAPFUZZ_TEST_FB; empty: the query fails
    bool fbNode;              // /dev/fb0 exists
    std::string message;      // expected on standard error (empty: none)
};

void PrintTo(const RefusalCase& c, std::ostream* os)
{
    *os << c.name;
}

class RefusalTest : public TapfuzzRun, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, EndsWithStatusOneBeforeInjecting)
{
    const RefusalCase& c = GetParam();
    if (c.profile.rfind("LIBLARAY_PATH=", 0) == 0) {
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("device.conf"), c.profile));
    } else {
        Profile(c.profile);
    }
    fb = c.fb;
    if (!c.fbNode) {
        ASSERT_EQ(unlink(sb.path("/dev/fb0").c_str()), 0);
    }
    EXPECT_EQ(Run(c.args), 1);
    if (!c.message.empty()) {
        EXPECT_NE(Err().find(c.message), std::string::npos) << Err();
        EXPECT_EQ(CountLines(Log(), c.message), 1u) << Log();
    }
    EXPECT_EQ(Node(), "");
    EXPECT_EQ(CountLines(Log(), "Events injected:"), 0u);
    ExpectNothingLeft();
}

const char kNothingInjectable[] = "nothing of the event mix can be injected";

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    ::testing::Values(
        RefusalCase{"TouchOver100", "", {"--pct-touch", "101", "5"}, "800x480", true, ""},
        RefusalCase{"FourUnder100", "", {"--pct-touch", "20", "--pct-motion", "20", "--pct-longclick", "20",
                                         "--pct-presskey", "20", "5"}, "800x480", true, ""},
        RefusalCase{"MissingLibrary", "LIBLARAY_PATH=/no/such/folder/\n", {"5"}, "800x480", true,
                    kNothingInjectable},
        // Only key presses, and no key in the profile to press.
        RefusalCase{"KeysWithoutKeyTable", "HWKEY_ENABLE=1\n", {"--pct-presskey", "100", "5"}, "800x480", true,
                    kNothingInjectable},
        RefusalCase{"FrameBufferNotAnswering", "", {"5"}, "", true, "cannot read the screen size from /dev/fb0"},
        RefusalCase{"NoFrameBuffer", "", {"5"}, "800x480", false, "cannot read the screen size from /dev/fb0"}),
    [](const ::testing::TestParamInfo<RefusalCase>& p) { return std::string(p.param.name); });

// --- Signals -----------------------------------------------------------------

TEST_F(TapfuzzRun, SignalsAtRandomMomentsEndCleanly)
{
    Profile("HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\n");
    std::mt19937 pick(static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed()));
    struct Case {
        int sig;
        std::vector<std::string> args;
    } cases[] = {
        {SIGINT, {"-v-v", "100000"}},
        {SIGINT, {"-v-v", "--throttle", "5", "100000"}},
        {SIGINT, {"-v-v", "--throttle", "60000", "100000"}},  // a pause of a minute
        {SIGALRM, {"-v-v", "--hour", "1"}},
        {SIGALRM, {"-v-v", "--throttle", "3", "--hour", "1"}},
        {SIGINT, {"-v-v", "--hour", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[c.args.size() - 1] + " ended by signal " + std::to_string(c.sig));
        ForgetNode();
        SandboxProcess run = Start(c.args);
        // Its handlers are in place once it has written its first line.
        ASSERT_TRUE(WaitFor([&] { return !ResultsFolder().empty(); }));
        usleep(std::uniform_int_distribution<int>(0, 400000)(pick));
        run.Kill(c.sig);
        EXPECT_EQ(ExitCode(run.Wait()), 0) << Err();
        ExpectNodeMatchesLog();
        ExpectWholeLines();
        EXPECT_EQ(CountLines(Log(), "Events injected:"), 0u);
        ExpectNothingLeft();
        std::system(("rm -rf '" + sb.path("results") + "'").c_str());
    }
}

TEST_F(TapfuzzRun, StopsOnlyItsOwnEcho)
{
    // Another tail of the device, started beside tapfuzz, must survive it.
    int status = sb.Exec({"/bin/sh", "-c", "tail -f /dev/null & exec \"$0\" \"$@\"", TAPFUZZ_BIN, "3"}, Env());
    EXPECT_EQ(ExitCode(status), 0) << Err();
    std::string left = sb.Leftovers();
    EXPECT_NE(left.find("tail -f /dev/null"), std::string::npos) << left;
    EXPECT_EQ(left.find("tail -F"), std::string::npos) << left;
}

// --- Core dumps during a run -------------------------------------------------

std::string Pattern(size_t size, unsigned seed)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<char>(seed >> 16);
    }
    return data;
}

class DumpRun : public TapfuzzRun {
protected:
    // A slow run that lasts until it is stopped.
    SandboxProcess StartSlow() { return Start({"--throttle", "200", "100000"}); }
    bool Saved(const std::string& name, const std::string& data) const
    {
        return Sandbox::ReadFile(sb.path("saved/" + name)) == data;
    }
    void Stop(SandboxProcess& run)
    {
        run.Kill(SIGINT);
        EXPECT_EQ(ExitCode(run.Wait()), 0) << Err();
        ExpectWholeLines();
        ExpectNothingLeft();
    }
};

TEST_F(DumpRun, DumpIsMovedWholeUnderItsReadableNameWithBothRecords)
{
    SandboxProcess run = StartSlow();
    const std::string data = Pattern(300000, 1);
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/tmp/coredump-crashy-4242-1700000000"), data));
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/tmp/keep-me"), "not a dump"));
    const std::string name = "coredump-crashy-4242-2023-11-14_22:13:20";
    EXPECT_TRUE(WaitFor([&] { return Saved(name, data); }));
    Stop(run);
    EXPECT_EQ(access(sb.path("/tmp/coredump-crashy-4242-1700000000").c_str(), F_OK), -1);
    EXPECT_EQ(Sandbox::ReadFile(sb.path("/tmp/keep-me")), "not a dump");
    EXPECT_EQ(CountLines(Log(), "[CRASH][Coredump]./saved/" + name), 1u) << Log();
    EXPECT_EQ(CountLines(Log(), "[INFO]mv /tmp/coredump-crashy-4242-1700000000 ./saved/" + name), 1u) << Log();
    EXPECT_EQ(CountLines(Log("crash.log"), "[CRASH][Coredump]./saved/" + name), 1u) << Log("crash.log");
}

TEST_F(DumpRun, MissingSaveFolderGivesOneRecordAndKeepsTheDump)
{
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("device.conf"),
                                   "LIBLARAY_PATH=" + LibraryFolder() + "\nCOREFILE_PATH=./nowhere/\n"));
    SandboxProcess run = StartSlow();
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/tmp/coredump-app-7-1700000000"), "dump"));
    EXPECT_TRUE(WaitFor([&] { return CountLines(Log(), "[INFO]cannot move /tmp/coredump-app-7-1700000000") == 1; }));
    sleep(3);  // a few more scans, each of which must stay quiet
    Stop(run);
    EXPECT_EQ(Sandbox::ReadFile(sb.path("/tmp/coredump-app-7-1700000000")), "dump");
    EXPECT_EQ(CountLines(Log(), "[CRASH][Coredump]./nowhere/coredump-app-7-2023-11-14_22:13:20"), 1u) << Log();
    EXPECT_EQ(CountLines(Log("crash.log"), "[CRASH][Coredump]"), 1u);
    EXPECT_EQ(CountLines(Log(), "cannot move"), 1u) << Log();
}

TEST_F(DumpRun, HostileNameIsMovedAndNothingRuns)
{
    SandboxProcess run = StartSlow();
    const std::string hostile = "coredump-a;touch pwned;$(touch pwned2)`touch pwned3`-1-1700000000";
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/tmp/" + hostile), "evil"));
    const std::string name = "coredump-a;touch pwned;$(touch pwned2)`touch pwned3`-1-2023-11-14_22:13:20";
    EXPECT_TRUE(WaitFor([&] { return Saved(name, "evil"); }));
    Stop(run);
    for (const char* where : {"pwned", "pwned2", "pwned3", "saved/pwned", "/tmp/pwned", "/tmp/pwned2"})
        EXPECT_EQ(access(sb.path(where).c_str(), F_OK), -1) << where;
    EXPECT_EQ(CountLines(Log(), "[CRASH][Coredump]./saved/" + name), 1u) << Log();
}

TEST_F(DumpRun, GrowingDumpArrivesComplete)
{
    SandboxProcess run = StartSlow();
    const std::string path = sb.path("/tmp/coredump-slow-99-1700000000");
    std::string whole;
    // Written by name in pieces over three seconds, as a slow writer would:
    // a dump moved too early would leave the later pieces behind.
    for (int piece = 0; piece < 15; ++piece) {
        std::string data = Pattern(40000, static_cast<unsigned>(piece) + 7);
        std::ofstream(path, std::ios::binary | std::ios::app) << data;
        whole += data;
        usleep(200000);
    }
    const std::string name = "coredump-slow-99-2023-11-14_22:13:20";
    EXPECT_TRUE(WaitFor([&] { return Saved(name, whole); }));
    Stop(run);
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
    EXPECT_EQ(access(sb.path("saved/" + name + ".1").c_str(), F_OK), -1) << "the dump arrived in parts";
}

}  // namespace
