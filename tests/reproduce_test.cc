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
using namespace std::string_literals;

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
    // status, with its run record, main log and node records kept. `shell`
    // runs before it, `after` after it, in the sandbox.
    int Run(std::vector<std::string> args, const std::string& shell = "", const std::string& after = "")
    {
        std::system(("rm -rf '" + sb.path("results") + "'").c_str());
        NodeCapture node(sb.path("/dev/input/event0"));
        args.insert(args.begin(), TAPFUZZ_BIN);
        if (!shell.empty())
            args.insert(args.begin(), {"/bin/sh", "-c", shell + " && \"$0\" \"$@\"; s=$?; " + after + "; exit $s"});
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
    std::string Only(const std::string& name, const std::string& folder = "results")  // the one such file, or ""
    {
        glob_t g{};
        bool one = glob(sb.path(folder + "/tapfuzz*/" + name).c_str(), 0, nullptr, &g) == 0 && g.gl_pathc == 1;
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
    Profile("LONGCLICK_DURATION=1\nCLICK_DURATION=0\nHWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_BACK=158\n");
    ASSERT_EQ(Run({"--seed", "4294967295", "60"}), 0) << Err();
    const std::string first = Records(seen), firstRecord = record;
    EXPECT_NE(log.find("[INFO]seed:4294967295\n"), std::string::npos) << log;
    EXPECT_NE(record.find("# seed:4294967295\n"), std::string::npos) << record;
    // The gestures this seed has always drawn, whatever the run learns of the screen.
    std::string golden;
    for (const std::string& g : Gestures(record))
        golden += g + "\n";
    EXPECT_EQ(golden, Sandbox::ReadFile(TESTS_DIR "/golden/seed-4294967295.txt"));

    ASSERT_EQ(Run({"-v-v", "--seed", "4294967295", "60"}), 0) << Err();
    EXPECT_EQ(Records(seen), first);
    EXPECT_EQ(Gestures(record), Gestures(firstRecord));
    ASSERT_EQ(Run({"--seed", "1", "60"}), 0) << Err();
    EXPECT_NE(Records(seen), first);
    // An explored run's record replays it.
    ASSERT_EQ(Run({"--explore", "--seed", "4294967295", "60"}), 0) << Err();
    const std::string explored = Records(seen);
    EXPECT_NE(record.find("\n# explore:1\n"), std::string::npos) << record;
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("run.events"), record));
    ASSERT_EQ(Run({"--replay", "run.events", "--speed", "0"}), 0) << Err();
    EXPECT_EQ(Records(seen), explored);

    ASSERT_TRUE(Sandbox::WriteFile(sb.path("run.events"), firstRecord));
    for (const char* speed : {"0", "50", "1000"}) {
        ASSERT_EQ(Run({"--replay", "run.events", "--speed", speed}), 0) << Err();
        EXPECT_EQ(Records(seen), first);
        EXPECT_EQ(Gestures(record), Gestures(firstRecord));
        EXPECT_NE(log.find("[INFO]Events injected:60\n"), std::string::npos) << log;
    }
    ASSERT_EQ(Run({"--replay", "run.events", "--speed", "0", "--from", "11", "--to", "20"}), 0) << Err();
    std::vector<std::string> all = Gestures(firstRecord);
    EXPECT_EQ(Gestures(record), std::vector<std::string>(all.begin() + 10, all.begin() + 20));

    // A record whose writer was killed in the middle of its last line (line
    // 69, after 9 header lines): every whole line is replayed.
    for (size_t cut : {2, 9}) {
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("run.events"), firstRecord.substr(0, firstRecord.size() - cut)));
        ASSERT_EQ(Run({"--replay", "run.events", "--speed", "0"}), 0) << Err();
        EXPECT_EQ(Gestures(record), std::vector<std::string>(all.begin(), all.end() - 1));
        EXPECT_NE(Err().find("tapfuzz: run.events line 69: no line feed at its end (torn), skipped\n"), std::string::npos)
            << Err();
        EXPECT_NE(log.find("[INFO]run.events line 69: no line feed"), std::string::npos) << log;
    }

    // With pinches: the mix names them, one seed fixes both fingers' bytes,
    // and the record replays them.
    ASSERT_EQ(Run({"--seed", "7", "--pct-pinch", "30", "--throttle", "0", "20"}), 0) << Err();
    const std::string pinched = Records(seen), pinchRecord = record;
    EXPECT_NE(pinchRecord.find("# mix:24.5,21.0,21.0,3.5,30.0\n"), std::string::npos) << pinchRecord;
    EXPECT_NE(pinched.find(std::to_string(EV_ABS) + " " + std::to_string(ABS_MT_SLOT) + " 1\n"), std::string::npos);
    ASSERT_EQ(Run({"--seed", "7", "--pct-pinch", "30", "--throttle", "0", "20"}), 0) << Err();
    EXPECT_EQ(Records(seen), pinched);
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("run.events"), pinchRecord));
    ASSERT_EQ(Run({"--replay", "run.events", "--speed", "0"}), 0) << Err();
    EXPECT_EQ(Records(seen), pinched);
    EXPECT_EQ(Gestures(record), Gestures(pinchRecord));
}

// Swipes whose end lies before their start lift at their end; long clicks
// and clicks hold what LONGCLICK_DURATION and CLICK_DURATION say, from the
// run and from a replay, which keeps the record's click hold.
TEST_F(Reproduce, GesturesReachTheirEndAndHoldTheirTime)
{
    Profile("LONGCLICK_DURATION=300\nCLICK_DURATION=200\nEXCLUDE_RECTS=700,0,100,100\n");
    ASSERT_EQ(Run({"--pct-longclick", "50", "--pct-touch", "50", "--seed", "3", "6"}), 0) << Err();
    EXPECT_NE(record.find("\n# click-hold:200\n"), std::string::npos) << record;
    ASSERT_EQ(Touches(seen).size(), 6u);
    for (const Touch& t : Touches(seen))
        EXPECT_GT(t.held, 0.1) << t.path;  // 0.2 or 0.3 s, less what the reader may lag

    ASSERT_TRUE(Sandbox::WriteFile(sb.path("hand.events"), "# by hand\n# click-hold:200\n1 0 swipe 627 159 43 291 5 75000 1 0\n"
                                                           "2 10 swipe 100 400 110 20 5 75000 2 0\n"
                                                           "3 20 longclick 5 6 300000 0\n4 30 click 799 479 0\n"));
    // On a panel of twice the screen's resolution, from 100 up.
    ASSERT_EQ(Run({"--replay", "hand.events"}, "export TAPFUZZ_TEST_RANGE=100,1698,100,1058", "true"), 0) << Err();
    std::vector<Touch> touches = Touches(seen);
    ASSERT_EQ(touches.size(), 4u);
    EXPECT_EQ(touches[0].path + "|" + touches[1].path + "|" + touches[3].path,
              "down 1354,418 lift 186,682|down 300,900 lift 320,140|down 1698,1058 lift 1698,1058");
    EXPECT_TRUE(touches[2].held > 0.15 && touches[3].held > 0.1) << touches[2].held << " " << touches[3].held;
    EXPECT_NE(log.find("[INFO]panel: x 100..1698 y 100..1058 for a 800x480 screen\n"), std::string::npos) << log;
    EXPECT_NE(record.find("\n# exclude:700,0,100,100\n"), std::string::npos) << record;  // what it obeyed
    EXPECT_NE(record.find("\n# click-hold:200\n"), std::string::npos) << record;
}

// A full disk: the record ends at a whole line, and the main log says once
// that it is not written.
TEST_F(Reproduce, RecordThatCannotBeWrittenSaysSoOnce)
{
    Profile("CLICK_DURATION=0\n");
    ASSERT_EQ(Run({"--throttle", "0", "--pct-touch", "100", "6000"},
                  "mkdir results && mount -t tmpfs -o size=112k tmpfs results", "cp -r results kept"),
              0)
        << Err();
    const std::string kept = Only("run-*.events", "kept"), keptLog = Only("tapfuzz.log", "kept");
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back(), '\n');
    EXPECT_LT(Gestures(kept).size(), 6000u);
    static const std::regex failure(R"(\[INFO\]record: not written: \./results/tapfuzz\d{8}/run-\d{6}-\d+\.events: No space left on device\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(keptLog.begin(), keptLog.end(), failure), std::sregex_iterator()), 1)
        << keptLog;
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
        {{"--explore", "--replay", "bad.events"}, "1 0 click 1 2 0\n", 255, ""},
        {{"--replay", "none.events"}, "", 1, "cannot read none.events"},
        {{"--replay", "bad.events"}, "1 0 click 1 2 0\n2 5 clack 1 2 0\n", 1, "line 2: unknown kind"},
        {{"--replay", "bad.events"}, "# x\n\n1 0 swipe 1 2 3 4 5 6 0\n", 1, "line 3: a swipe has 7 fields"},
        {{"--replay", "bad.events"}, "1 0 click 1 2x 0\n", 1, "line 1: \"2x\" is not"},
        {{"--replay", "bad.events"}, "2 0 click 1 2 0\n2 5 click 1 2 0\n", 1, "line 2: the index does not"},
        {{"--replay", "bad.events"}, "1 9 click 1 2 0\n2 5 click 1 2 0\n", 1, "line 2: the time goes back"},
        {{"--replay", "bad.events", "--from", "3"}, "1 0 click 1 2 0\n", 1, "no gesture with an index from 3"},
        {{"--replay", "bad.events"}, "1 0 key 1 0\n2 5 click 3 480 0\n", 1, "line 2: the point 3,480 lies off the 800x480 screen"},
        {{"--replay", "bad.events"}, "1 0 swipe 799 0 800 9 5 6 0 0\n", 1, "line 1: the point 800,9 lies off"},
        {{"--replay", "bad.events"}, "1 0 swipe 90 120 200 120 5 6 0 0\n", 1,
         "line 1: the swipe from 90,120 to 200,120 crosses the excluded zone 100,100,50,50"},
        {{"--replay", "bad.events"}, "1 0 click 149 149 0\n", 1, "line 1: the point 149,149 lies in the excluded zone"},
        {{"--replay", "bad.events"}, "1 0 longclick 5 6 61000000 0\n", 1, "line 1: the duration 61000000 is outside"},
        {{"--replay", "bad.events"}, "# click-hold:1001\n1 0 click 1 2 0\n", 1, "line 1: the click hold is no number from 0 to 1000"},
        {{"--replay", "bad.events"}, "1 0 swipe 1 2 3 4 0 5 0 0\n", 1, "line 1: the step 0 is outside 1..1048576"},
        {{"--replay", "bad.events"}, "1 0 swipe 1 2 3 4 1048577 5 0 0\n", 1, "line 1: the step 1048577 is outside"},
        {{"--replay", "bad.events"}, "1 0 pinch 400 240 20 30 90 10 300000 0\n2 5 pinch 780 240 20 30 0 10 300000 0\n", 1, "line 2: the pinch at 780,240 reaches 800,240, off the 800x480"},
        {{"--replay", "bad.events"}, "1 0 pinch 400 240 20 30 90 1001 300000 0\n", 1, "line 1: the step 1001 is outside 1..1000"},
        {{"--replay", "bad.events"}, "1 0 pinch 125 200 20 60 90 10 300000 0\n", 1, "line 1: the pinch at 125,200 crosses an excluded zone"},
        {{"--replay", "bad.events"}, "1 0 click 1 2 0\n2 5 click 1 2\0 0\n"s, 1, "line 2: holds a NUL byte"},
        {{"--replay", "fifo.events"}, "", 1, "tapfuzz: fifo.events is not a regular file"},
        {{"--replay", "/dev/zero"}, "", 1, "tapfuzz: /dev/zero is not a regular file"},
        {{"--replay", "bad.events", "--speed", "nan"}, "1 0 click 1 2 0\n", 255, ""},
        {{"--replay", "bad.events", "--speed", "inf"}, "1 0 click 1 2 0\n", 255, ""},
        {{"--replay", "bad.events", "--speed", "1001"}, "1 0 click 1 2 0\n", 255, ""},
        {{"--replay", "bad.events", "--speed", "0.0001"}, "1 0 click 1 2 0\n", 255, ""},
    };
    Profile("EXCLUDE_RECTS=100,100,50,50\n");
    ASSERT_EQ(mkfifo(sb.path("fifo.events").c_str(), 0666), 0);
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
