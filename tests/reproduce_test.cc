// Problem: a run is worth the crashes it helps reproduce: one seed must fix
// every record the node gets, the run's record must replay to the same
// records, and a damaged record must inject nothing.
// Solution: the shipped tapfuzz and libfeedinput run whole in a sandbox whose
// event node is a fifo, read with each chunk's arrival time.
#include <fcntl.h>
#include <glob.h>
#include <linux/input.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sandboxed_case.h"

namespace {

using Clock = std::chrono::steady_clock;

// One record the node got, and when the reader saw it.
struct Seen { input_event ev; Clock::time_point at; };

// The node's records as comparable text, one "type code value" per record.
std::string Records(const std::vector<Seen>& seen)
{
    std::string text;
    for (const Seen& s : seen)
        text += std::to_string(s.ev.type) + " " + std::to_string(s.ev.code) + " " + std::to_string(s.ev.value) + "\n";
    return text;
}

// Each touch as "down X,Y lift X,Y", with the time from down to lift.
struct Touch { std::string path; double held; };
std::vector<Touch> Touches(const std::vector<Seen>& seen)
{
    std::vector<Touch> touches;
    int pos[2] = {0, 0};
    Clock::time_point down;
    std::string start;
    for (const Seen& s : seen) {
        if (s.ev.type == EV_ABS && (s.ev.code == ABS_MT_POSITION_X || s.ev.code == ABS_MT_POSITION_Y))
            pos[s.ev.code - ABS_MT_POSITION_X] = s.ev.value;
        std::string at = std::to_string(pos[0]) + "," + std::to_string(pos[1]);
        if (s.ev.type == EV_KEY && s.ev.code == BTN_TOUCH && s.ev.value == 1) {
            down = s.at;
            start = "down " + at;
        } else if (s.ev.type == EV_ABS && s.ev.code == ABS_MT_TRACKING_ID && s.ev.value == -1) {
            touches.push_back({start + " lift " + at, std::chrono::duration<double>(s.at - down).count()});
        }
    }
    return touches;
}

// The gesture lines of a run record without their index and time.
std::vector<std::string> Gestures(const std::string& record)
{
    static const std::regex gesture(R"(^\d+ \d+ (.*)$)");
    std::vector<std::string> found;
    std::istringstream in(record);
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_match(line, m, gesture))
            found.push_back(m[1]);
    return found;
}

class Reproduce : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs root for private namespaces";
        AllowPreloadBeforeSanitizer();
        ASSERT_EQ(mkfifo(sb.path("/dev/input/event0").c_str(), 0666), 0);
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/fb0"), ""));
        Profile("");
    }
    void Profile(const std::string& extra)
    {
        std::string lib = FEEDINPUT_LIB;
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("device.conf"), "LIBLARAY_PATH=" + lib.substr(0, lib.rfind('/') + 1) +
                                                                   "\nCOREFILE_PATH=./\n" + extra));
    }
    // Runs tapfuzz once with a fresh node and results folder: its exit
    // status, with its run record, main log and node records kept.
    int Run(std::vector<std::string> args)
    {
        std::system(("rm -rf '" + sb.path("results") + "'").c_str());
        NodeCapture node(sb.path("/dev/input/event0"));
        args.insert(args.begin(), TAPFUZZ_BIN);
        int status = sb.Exec(args, {"LD_PRELOAD=" FBSHIM_LIB, "TAPFUZZ_TEST_FB=800x480", "TZ=UTC"});
        const std::string& raw = node.Take();
        seen.clear();
        for (size_t i = 0; i < node.Times().size(); ++i) {
            seen.push_back({{}, node.Times()[i]});
            memcpy(&seen.back().ev, raw.data() + i * sizeof(input_event), sizeof(input_event));
        }
        record = Only("run-*.events");
        log = Only("tapfuzz.log");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Only(const std::string& name)  // the one file of that name in results/, or ""
    {
        glob_t g{};
        bool one = glob(sb.path("results/tapfuzz*/" + name).c_str(), 0, nullptr, &g) == 0 && g.gl_pathc == 1;
        std::string text = one ? Sandbox::ReadFile(g.gl_pathv[0]) : "";
        globfree(&g);
        return text;
    }
    std::string Err() const { return Sandbox::ReadFile(sb.root() + "/err.txt"); }

    Sandbox sb;
    std::vector<Seen> seen;
    std::string record, log;
};

TEST_F(Reproduce, OneSeedFixesTheRunAndItsRecordReplaysIt)
{
    Profile("LONGCLICK_DURATION=1\nHWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_BACK=158\n");
    ASSERT_EQ(Run({"--seed", "4294967295", "60"}), 0) << Err();
    const std::string first = Records(seen), firstRecord = record;
    EXPECT_NE(log.find("[INFO]seed:4294967295\n"), std::string::npos) << log;
    EXPECT_NE(record.find("# seed:4294967295\n"), std::string::npos) << record;
    EXPECT_EQ(Gestures(record).size(), 60u) << record;

    ASSERT_EQ(Run({"-v-v", "--seed", "4294967295", "60"}), 0) << Err();
    EXPECT_EQ(Records(seen), first);
    EXPECT_EQ(Gestures(record), Gestures(firstRecord));
    ASSERT_EQ(Run({"--seed", "1", "60"}), 0) << Err();
    EXPECT_NE(Records(seen), first);

    ASSERT_TRUE(Sandbox::WriteFile(sb.path("run.events"), firstRecord));
    for (const char* speed : {"0", "50"}) {
        ASSERT_EQ(Run({"--replay", "run.events", "--speed", speed}), 0) << Err();
        EXPECT_EQ(Records(seen), first);
        EXPECT_EQ(Gestures(record), Gestures(firstRecord));
        EXPECT_NE(log.find("[INFO]Events injected:60\n"), std::string::npos) << log;
    }
    ASSERT_EQ(Run({"--replay", "run.events", "--speed", "0", "--from", "11", "--to", "20"}), 0) << Err();
    std::vector<std::string> all = Gestures(firstRecord);
    EXPECT_EQ(Gestures(record), std::vector<std::string>(all.begin() + 10, all.begin() + 20));
}

// Swipes whose end lies before their start lift at their end; long clicks
// hold what LONGCLICK_DURATION says, from the run and from a replay; a swipe
// of absurd step is answered -1, and the run goes on.
TEST_F(Reproduce, GesturesReachTheirEndAndHoldTheirTime)
{
    Profile("LONGCLICK_DURATION=300\n");
    ASSERT_EQ(Run({"--pct-longclick", "100", "2"}), 0) << Err();
    EXPECT_NE(record.find(" 300000 0\n2 "), std::string::npos) << record;
    ASSERT_EQ(Touches(seen).size(), 2u);
    for (const Touch& t : Touches(seen))
        EXPECT_GT(t.held, 0.15) << t.path;  // 0.3 s, less what the reader may lag

    ASSERT_TRUE(Sandbox::WriteFile(sb.path("hand.events"), "# by hand\n1 0 swipe 627 159 43 291 5 75000 1 0\n"
                                                           "2 10 swipe 100 400 110 20 5 75000 2 0\n"
                                                           "3 20 longclick 5 6 300000 0\n4 30 swipe 0 0 9 9 2000000 5 0 0\n"));
    ASSERT_EQ(Run({"--replay", "hand.events"}), 0) << Err();
    std::vector<Touch> touches = Touches(seen);
    ASSERT_EQ(touches.size(), 3u);
    EXPECT_EQ(touches[0].path + "|" + touches[1].path, "down 627,159 lift 43,291|down 100,400 lift 110,20");
    EXPECT_GT(touches[2].held, 0.15);
    EXPECT_NE(record.find(" swipe 0 0 9 9 2000000 5 0 -1\n"), std::string::npos) << record;  // refused, not aborted
}

// Bad values and damaged records end the program before anything reaches
// the node: the usage (255) for the options, a message naming the line (1)
// for a record.
TEST_F(Reproduce, RefusesBadInputWithoutInjecting)
{
    const struct {
        std::vector<std::string> args;
        std::string file;  // written as bad.events
        int status;
        std::string err;
    } cases[] = {
        {{"--seed", "4294967296", "5"}, "", 255, ""},
        {{"--speed", "2", "5"}, "", 255, ""},
        {{"--replay", "bad.events", "--to", "x"}, "1 0 click 1 2 0\n", 255, ""},
        {{"--replay", "none.events"}, "", 1, "cannot read none.events"},
        {{"--replay", "bad.events"}, "1 0 click 1 2 0\n2 5 clack 1 2 0\n", 1, "line 2: unknown kind"},
        {{"--replay", "bad.events"}, "# x\n\n1 0 swipe 1 2 3 4 5 6 0\n", 1, "line 3: a swipe has 7 fields"},
        {{"--replay", "bad.events"}, "1 0 click 1 2x 0\n", 1, "line 1: \"2x\" is not"},
        {{"--replay", "bad.events"}, "2 0 click 1 2 0\n2 5 click 1 2 0\n", 1, "line 2: the index does not"},
        {{"--replay", "bad.events"}, "1 9 click 1 2 0\n2 5 click 1 2 0\n", 1, "line 2: the time goes back"},
        {{"--replay", "bad.events", "--from", "3"}, "1 0 click 1 2 0\n", 1, "no gesture with an index from 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + " " + c.file);
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("bad.events"), c.file));
        EXPECT_EQ(Run(c.args), c.status) << Err();
        EXPECT_NE(Err().find(c.err), std::string::npos) << Err();
        EXPECT_TRUE(seen.empty());
        EXPECT_EQ(record, "");
    }
}

}  // namespace
