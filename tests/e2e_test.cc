// The shipped tapfuzz with the shipped libfeedinput, run whole in a sandbox:
// what it writes to the event node against what it logs, how each way of
// ending looks, and a core dump that appears while it runs.
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
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Utils.h"
#include "sandbox.h"

namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t CountLines(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (const std::string& line : Lines(text))
        n += line.find(needle) != std::string::npos;
    return n;
}

// Polls `done` for up to about 30 s. Only a bound against a hang: nothing
// asserts how fast the program is.
bool WaitFor(const std::function<bool()>& done)
{
    for (int i = 0; i < 600 && !done(); ++i)
        usleep(50000);
    return done();
}

// --- The event node ---------------------------------------------------------

// One letter per record, so that the order the driver writes reads as a
// pattern: a finger goes down (DxyBXYS), moves (xyXYS) and lifts (UbS); a key
// goes down (KS) and up (kS).
char Letter(const input_event& e)
{
    if (e.type == EV_SYN)
        return e.code == SYN_REPORT && e.value == 0 ? 'S' : '?';
    if (e.type == EV_KEY && (e.value == 0 || e.value == 1))
        return (e.code == BTN_TOUCH ? "bB" : "kK")[e.value];
    if (e.type != EV_ABS)
        return '?';
    switch (e.code) {
    case ABS_MT_TRACKING_ID: return e.value == 1 ? 'D' : e.value == -1 ? 'U' : '?';
    case ABS_MT_POSITION_X: return 'x';
    case ABS_MT_POSITION_Y: return 'y';
    case ABS_X: return 'X';
    case ABS_Y: return 'Y';
    }
    return '?';
}

// Splits the captured records into gestures ("tap X,Y", "swipe X,Y to X,Y in
// N", "key CODE"). Any record out of the order the driver writes ends the
// decoding with a failure.
AssertionResult Decode(const std::string& raw, std::vector<std::string>* out)
{
    if (raw.size() % sizeof(input_event) != 0)
        return AssertionFailure() << "node holds " << raw.size() << " bytes, not whole records";
    std::vector<input_event> ev(raw.size() / sizeof(input_event));
    if (!ev.empty())
        memcpy(ev.data(), raw.data(), raw.size());
    std::string letters;
    for (const input_event& e : ev) {
        if (e.input_event_sec != 0 || e.input_event_usec != 0)
            return AssertionFailure() << "a record carries a time";
        letters += Letter(e);
    }
    static const std::regex gesture("DxyBXYS((xyXYS)*)UbS|KSkS");
    std::smatch m;
    for (size_t i = 0; i < ev.size(); i += static_cast<size_t>(m.length())) {
        if (!std::regex_search(letters.cbegin() + static_cast<long>(i), letters.cend(), m, gesture,
                               std::regex_constants::match_continuous))
            return AssertionFailure() << "records out of order at " << i << ": " << letters.substr(i, 40);
        auto at = [&](size_t k) { return std::to_string(ev[i + k].value) + "," + std::to_string(ev[i + k + 1].value); };
        size_t moves = static_cast<size_t>(m[1].length()) / 5;
        if (letters[i] == 'K' ? ev[i].code != ev[i + 2].code : at(4) != at(1))
            return AssertionFailure() << "the key or the contact changes within the gesture at " << i;
        if (letters[i] == 'K')
            out->push_back("key " + std::to_string(ev[i].code));
        else  // the last move block starts five records after the one before it
            out->push_back(moves == 0 ? "tap " + at(1)
                                      : "swipe " + at(1) + " to " + at(2 + 5 * moves) + " in " + std::to_string(moves));
    }
    return AssertionSuccess();
}

// The gesture a -v-v line promises, in Decode's words.
std::string Promised(const std::string& line)
{
    static const std::regex tap(R"(Sending (Click \(ACTION_DOWN\)|LongClick \(ACTION_LONGCLICK\)):\((-?\d+,-?\d+)\))");
    static const std::regex swipe(R"(Sending Swipe \(ACTION_MOTION\):\((-?\d+),(-?\d+),(-?\d+),(-?\d+),5\))");
    static const std::regex key(R"(Sending PressKey \(ACTION_PRESSKEY\):\((-?\d+)\))");
    std::smatch m;
    if (std::regex_match(line, m, tap))
        return "tap " + m[2].str();
    if (std::regex_match(line, m, key))
        return "key " + std::to_string(std::stoi(m[1]) & 0xffff);
    if (!std::regex_match(line, m, swipe))
        return "not an event line: " + line;
    // The walk goes forward and lifts at the end point, whatever the direction.
    return "swipe " + m[1].str() + "," + m[2].str() + " to " + m[3].str() + "," + m[4].str() + " in 3";
}

// The driver opens the node afresh for every gesture without O_APPEND, so a
// regular file would keep only the last gesture. The node is a fifo, read by
// a thread of the test while the program runs (a full fifo would stall it).
class NodeCapture {
public:
    // Read-write, so the fifo never reports an end between gestures.
    explicit NodeCapture(const std::string& fifo) : fd_(open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC))
    {
        reader_ = std::thread([this] {
            for (struct pollfd p = {fd_, POLLIN, 0}; !stop_; poll(&p, 1, 50))
                Drain();
        });
    }
    ~NodeCapture()
    {
        Take();
        close(fd_);
    }
    // Everything the program wrote; called once it has ended.
    std::string Take()
    {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        Drain();
        return data_;
    }

private:
    void Drain()
    {
        char buf[65536];
        for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;)
            data_.append(buf, static_cast<size_t>(n));
    }

    const int fd_;
    std::atomic<bool> stop_{false};
    std::string data_;
    std::thread reader_;
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
        setenv("ASAN_OPTIONS", (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
        Profile("");
        ASSERT_EQ(mkfifo(sb.path("/dev/input/event0").c_str(), 0666), 0);
        node.reset(new NodeCapture(sb.path("/dev/input/event0")));
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/fb0"), ""));
        ASSERT_EQ(mkdir(sb.path("saved").c_str(), 0755), 0);
    }

    // device.conf: the built library, ./saved/ for dumps, plus `extra`.
    void Profile(const std::string& extra, bool library = true)
    {
        std::string lib = FEEDINPUT_LIB;
        lib = library ? lib.substr(0, lib.rfind('/') + 1) : "/no/such/folder/";
        ASSERT_TRUE(
            Sandbox::WriteFile(sb.path("device.conf"), "LIBLARAY_PATH=" + lib + "\nCOREFILE_PATH=./saved/\n" + extra));
    }

    SandboxProcess Start(std::vector<std::string> args)
    {
        args.insert(args.begin(), TAPFUZZ_BIN);
        std::vector<std::string> env = {"LD_PRELOAD=" FBSHIM_LIB, "TZ=UTC"};
        if (!fb.empty())
            env.push_back("TAPFUZZ_TEST_FB=" + fb);
        return sb.Start(args, env);
    }
    // The exit status; -1 when the program was killed.
    int Run(const std::vector<std::string>& args)
    {
        int status = Start(args).Wait();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Out() const { return Sandbox::ReadFile(sb.root() + "/out.txt"); }
    std::string Err() const { return Sandbox::ReadFile(sb.root() + "/err.txt"); }

    std::string Log(const char* file = "tapfuzz.log") const
    {
        std::string text;
        if (DIR* d = opendir(sb.path("results").c_str())) {
            while (struct dirent* e = readdir(d))
                if (strncmp(e->d_name, "tapfuzz", 7) == 0)
                    text = Sandbox::ReadFile(sb.path("results/") + e->d_name + "/" + file);
            closedir(d);
        }
        return text;
    }
    void ForgetLogs() { std::system(("rm -rf '" + sb.path("results") + "'").c_str()); }

    // The messages of the main log's lines (after "[time][INFO]") that start with `start`.
    std::vector<std::string> Messages(const std::string& start) const
    {
        std::vector<std::string> messages;
        for (const std::string& line : Lines(Log())) {
            size_t tag = line.find("][INFO]");
            if (tag != std::string::npos && line.compare(tag + 7, start.size(), start) == 0)
                messages.push_back(line.substr(tag + 7));
        }
        return messages;
    }

    // What the node got; a record out of the driver's order fails the test.
    std::vector<std::string> Gestures()
    {
        std::vector<std::string> gestures;
        EXPECT_TRUE(Decode(node->Take(), &gestures));
        return gestures;
    }

    // The run ended cleanly: the node got exactly what the -v-v lines say, in
    // order; both logs are whole (every line starts with its time stamp or is
    // a line of the mix printout, which one log line spreads over several, and
    // each file ends with a line feed); nothing of tapfuzz outlived it.
    void ExpectEndedCleanly()
    {
        std::vector<std::string> promised;
        for (const std::string& line : Messages("Sending "))
            promised.push_back(Promised(line));
        EXPECT_EQ(Gestures(), promised);
        static const std::regex whole(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[.*|//  [A-Z][A-Za-z ]+(:\d+\.\d%)?)");
        for (const char* file : {"tapfuzz.log", "crash.log"}) {
            std::string text = Log(file);
            EXPECT_TRUE(text.empty() || text.back() == '\n') << file;
            for (const std::string& line : Lines(text))
                EXPECT_TRUE(std::regex_match(line, whole)) << file << ": " << line;
        }
        std::string left = sb.Leftovers();
        EXPECT_EQ(left.find("tail -F"), std::string::npos) << left;
        EXPECT_EQ(left.find("tapfuzz"), std::string::npos) << left;
    }

    std::string fb = "800x480";
    Sandbox sb;
    std::unique_ptr<NodeCapture> node;
};

// Everything that ends the program before its first event: the usage (255),
// the version (0, even without the library), refused mixes and an unusable
// library or frame buffer (1, with the reason where there is one).
TEST_F(TapfuzzRun, EndsBeforeInjecting)
{
    const std::string kVersion = "tapfuzz version:V0.2.3\nlibaray version:V0.1\n";
    const struct {
        std::vector<std::string> args;
        bool library;
        const char* fb;  // TAPFUZZ_TEST_FB ("": the query fails); nullptr: no /dev/fb0 at all
        int status;
        std::string out, err;  // expected within standard output and error
    } cases[] = {
        {{}, true, "800x480", 255, showusage(), ""},
        {{"--help"}, true, "800x480", 255, showusage(), ""},
        {{"--help", "--version"}, false, "800x480", 0, kVersion, ""},
        {{"--pct-touch", "101", "5"}, true, "800x480", 1, "", ""},
        {{"--pct-touch", "20", "--pct-motion", "20", "--pct-longclick", "20", "--pct-presskey", "20", "5"}, true,
         "800x480", 1, "", ""},
        {{"5"}, false, "800x480", 1, "", "nothing of the event mix can be injected"},
        {{"5"}, true, "", 1, "", "cannot read the screen size from /dev/fb0"},
        {{"5"}, true, nullptr, 1, "", "cannot read the screen size from /dev/fb0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + " fb " + (c.fb ? c.fb : "none"));
        Profile("", c.library);
        fb = c.fb ? c.fb : "";
        if (!c.fb)
            unlink(sb.path("/dev/fb0").c_str());
        EXPECT_EQ(Run(c.args), c.status) << Err();
        EXPECT_EQ(c.args.empty() ? Out() : c.out, c.out);  // without arguments, nothing but the usage
        EXPECT_NE(Out().find(c.out), std::string::npos) << Out();
        EXPECT_NE(Err().find(c.err), std::string::npos) << Err();
        EXPECT_EQ(CountLines(Log(), "Events injected:"), 0u);
        if (!c.err.empty()) {
            EXPECT_EQ(CountLines(Log(), c.err), 1u) << Log();
        }
        ExpectEndedCleanly();  // with nothing on the node, as nothing was logged as sent
        ForgetLogs();
    }
}

TEST_F(TapfuzzRun, RunByCountLogsExactlyWhatItInjects)
{
    ASSERT_EQ(Run({"-v-v", "20"}), 0) << Err();
    ExpectEndedCleanly();
    EXPECT_EQ(Gestures().size(), 20u);
    std::vector<std::string> expected;
    for (int i = 1; i <= 20; ++i)
        expected.push_back("cycleCounter:" + std::to_string(i));
    EXPECT_EQ(Messages("cycleCounter:"), expected);
    std::vector<std::string> all = Messages("");
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2] + "|" + all.back(), "Events injected:20|// tapfuzz finish");
}

TEST_F(TapfuzzRun, KeyPressesOnlyAreCountedAndEnd)
{
    Profile("HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_BACK=158\n");
    ASSERT_EQ(Run({"-v-v", "--pct-presskey", "100", "10"}), 0) << Err();
    ExpectEndedCleanly();
    EXPECT_EQ(Gestures().size(), 10u);
    for (const std::string& g : Gestures())
        EXPECT_TRUE(g == "key 115" || g == "key 158") << g;
    EXPECT_EQ(CountLines(Log(), "[INFO]Events injected:10"), 1u);
}

TEST_F(TapfuzzRun, OneVerboseFlagPrintsTheMixButNoEvents)
{
    Profile("HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\n");
    ASSERT_EQ(Run({"-v", "--pct-touch", "50", "3"}), 0) << Err();
    for (const char* line : {"//  Event percentages", "//  TOUCH:50.0%", "//  MOTION:23.1%", "//  LONGCLICK:23.1%",
                             "//  PRESSKEY:3.8%", "[INFO]Events injected:3"})
        EXPECT_EQ(CountLines(Log(), line), 1u) << line << "\n" << Log();
    EXPECT_TRUE(Messages("Sending ").empty());
    EXPECT_GE(Gestures().size(), 3u);
}

// Stopped at a random moment, during events or a long pause, a run ends with
// 0 between two events: every injected gesture is whole and logged.
TEST_F(TapfuzzRun, SignalsAtRandomMomentsEndCleanly)
{
    Profile("HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\n");
    std::mt19937 pick(static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed()));
    const struct {
        int sig;
        std::vector<std::string> args;
    } cases[] = {
        {SIGINT, {"-v-v", "100000"}},
        {SIGINT, {"-v-v", "--throttle", "60000", "100000"}},  // a pause of a minute
        {SIGALRM, {"-v-v", "--throttle", "3", "--hour", "1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + " ended by signal " + std::to_string(c.sig));
        node.reset(new NodeCapture(sb.path("/dev/input/event0")));
        SandboxProcess run = Start(c.args);
        // Its handlers are in place once it has written its first line.
        ASSERT_TRUE(WaitFor([&] { return !Log().empty(); }));
        usleep(std::uniform_int_distribution<int>(0, 400000)(pick));
        run.Kill(c.sig);
        EXPECT_EQ(run.Wait(), 0) << Err();  // exited with 0
        ExpectEndedCleanly();
        EXPECT_EQ(CountLines(Log(), "Events injected:"), 0u);
        ForgetLogs();
    }
}

TEST_F(TapfuzzRun, StopsOnlyItsOwnEcho)
{
    // Another tail of the device, started beside tapfuzz, must survive it.
    int status = sb.Exec({"/bin/sh", "-c", "tail -f /dev/null & exec \"$0\" \"$@\"", TAPFUZZ_BIN, "3"},
                         {"LD_PRELOAD=" FBSHIM_LIB, "TAPFUZZ_TEST_FB=800x480"});
    EXPECT_EQ(status, 0) << Err();
    std::string left = sb.Leftovers();
    EXPECT_NE(left.find("tail -f /dev/null"), std::string::npos) << left;
    EXPECT_EQ(left.find("tail -F"), std::string::npos) << left;
}

TEST_F(TapfuzzRun, DumpDuringARunIsMovedWholeWithBothRecords)
{
    SandboxProcess run = Start({"-v-v", "--throttle", "200", "100000"});
    std::string data(300000, '\0');
    std::mt19937 bytes(1);
    for (char& b : data)
        b = static_cast<char>(bytes());
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/tmp/coredump-crashy-4242-1700000000"), data));
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/tmp/keep-me"), "not a dump"));
    const std::string name = "./saved/coredump-crashy-4242-2023-11-14_22:13:20";
    EXPECT_TRUE(WaitFor([&] { return Sandbox::ReadFile(sb.path(name)) == data; }));
    run.Kill(SIGINT);
    EXPECT_EQ(run.Wait(), 0) << Err();  // exited with 0
    ExpectEndedCleanly();
    EXPECT_EQ(access(sb.path("/tmp/coredump-crashy-4242-1700000000").c_str(), F_OK), -1);
    EXPECT_EQ(Sandbox::ReadFile(sb.path("/tmp/keep-me")), "not a dump");
    EXPECT_EQ(CountLines(Log(), "[CRASH][Coredump]" + name), 1u) << Log();
    EXPECT_EQ(CountLines(Log(), "[INFO]mv /tmp/coredump-crashy-4242-1700000000 " + name), 1u) << Log();
    EXPECT_EQ(CountLines(Log("crash.log"), "[CRASH][Coredump]" + name), 1u) << Log("crash.log");
}

}  // namespace
