// One run record through its writer and both its readers: each kind's line
// as recordEvent writes it, the replay's parser, and the report's reader.
#include <limits.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>

#include "record/record_line.h"
#include "record/replay.h"
#include "report/report_reader.h"

namespace {

// A gesture of each kind, at the extremes of its fields, with a crash line
// between them: the replay gives back what was written, the report counts
// it and places the crash.
TEST(RecordLine, RoundTripThroughWriterReplayAndReport)
{
    const struct { Pointer event; unsigned int pathSeed; int result; const char* line; } cases[] = {
        {{0, 479, 0, 0, 0, 80000, FACTOR_TOUCH, 0}, 0, 0, "1 1000 click 0 479 0\n"},  // held as the header says
        {{799, 0, 0, 479, 1048576, 60000000, FACTOR_MOTION, 0}, 4294967295u, 1, "2 2000 swipe 799 0 0 479 1048576 60000000 4294967295 1\n"},
        {{5, 6, 0, 0, 0, 300000, FACTOR_LONGCLICK, 0}, 0, -1, "3 3000 longclick 5 6 300000 -1\n"},
        {{0, 0, 0, 0, 0, 0, FACTOR_PRESSKEY, -2147483647 - 1}, 0, 2147483647, "4 4000 key -2147483648 2147483647\n"},
        {{400, 240, 20, 160, 10, 300000, FACTOR_PINCH, -90}, 0, 0, "5 5000 pinch 400 240 20 160 -90 10 300000 0\n"},
    };
    std::string record = "# tapfuzz run record\n" + headerLine("screen", "800x480") + headerLine("grid", "20") + headerLine(kClickHoldKey, "80");
    for (int i = 0; i < FACTORZ_COUNT; ++i) {
        char line[kMaxGestureLine];
        const auto& c = cases[i];
        record.append(line, writeGestureLine(line, i + 1, (i + 1) * 1000LL, c.event, c.pathSeed, c.result));
        EXPECT_EQ(c.line, record.substr(record.size() - strlen(c.line)));
        if (i == 1)
            record += crashLine("./saved/coredump-app-12-2023-11-14_22:13:20", 2);
    }

    ReplayParser parser("record", 1, INT_MAX, {800, 480, {}});
    ASSERT_TRUE(parser.feed(record.data(), record.size()) && parser.finish()) << parser.why();
    ASSERT_EQ(5u, parser.events().size());
    for (int i = 0; i < FACTORZ_COUNT; ++i) {
        const ReplayEvent& e = parser.events()[static_cast<size_t>(i)];
        const Pointer& a = e.event, &b = cases[i].event;
        EXPECT_TRUE(e.index == i + 1 && e.at == (i + 1) * 1000LL && e.pathSeed == cases[i].pathSeed && a.x == b.x && a.y == b.y &&
                    a.x1 == b.x1 && a.y1 == b.y1 && a.step == b.step && a.duration == b.duration && a.eventTye == b.eventTye &&
                    a.code == b.code)
            << cases[i].line;
    }

    ReportRun run;
    LineReader in(record.data(), record.size());
    readRecord(in, run);
    EXPECT_EQ(5, run.gestures);
    for (int k = 0; k < FACTORZ_COUNT; ++k)
        EXPECT_EQ(1, run.counts[k]) << kindName(k);
    EXPECT_EQ("800x480", run.head["screen"]);
    ASSERT_EQ(1u, run.marks.size());
    EXPECT_EQ(2, run.marks[0].event);
    EXPECT_EQ("app 12 2023-11-14 22:13:20", run.marks[0].program + " " + run.marks[0].pid + " " + run.marks[0].time);
    EXPECT_TRUE(run.notes.empty()) << run.notes[0];
    EXPECT_EQ(1, run.pinchesDrawn);  // both fingers' paths on the touch map
    EXPECT_EQ(0u, run.pinches.find("M420 240L"));
}

}  // namespace
