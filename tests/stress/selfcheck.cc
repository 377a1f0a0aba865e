// Problem: a stress run that passes proves nothing unless its checks would
// have failed on a fault.
// Solution: feed the node decoder, the log-line check and the log-to-node
// match with known faults, each of which must be caught, before any run.
#include <linux/input.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "evstream.h"
#include "stress.h"

namespace {

struct Rec {
    int type, code, value;
};

const std::vector<Rec> kDown = {{EV_ABS, ABS_MT_TRACKING_ID, 1}, {EV_ABS, ABS_MT_POSITION_X, 10},
                                {EV_ABS, ABS_MT_POSITION_Y, 20}, {EV_KEY, BTN_TOUCH, 1},
                                {EV_ABS, ABS_X, 10},             {EV_ABS, ABS_Y, 20},
                                {EV_SYN, SYN_REPORT, 0}};
const std::vector<Rec> kLift = {{EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}};
const std::vector<Rec> kKey = {{EV_KEY, 115, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, 115, 0}, {EV_SYN, SYN_REPORT, 0}};

std::vector<Rec> Move(int x, int y)
{
    return {{EV_ABS, ABS_MT_POSITION_X, x}, {EV_ABS, ABS_MT_POSITION_Y, y}, {EV_ABS, ABS_X, x}, {EV_ABS, ABS_Y, y},
            {EV_SYN, SYN_REPORT, 0}};
}

std::vector<Rec> Cat(std::initializer_list<std::vector<Rec>> parts)
{
    std::vector<Rec> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<Rec> Drop(std::vector<Rec> recs, size_t at)
{
    recs.erase(recs.begin() + static_cast<long>(at));
    return recs;
}

std::string Bytes(const std::vector<Rec>& recs, int stampAt = -1)
{
    std::string raw;
    for (size_t i = 0; i < recs.size(); ++i) {
        struct input_event ev;
        memset(&ev, 0, sizeof ev);
        ev.type = static_cast<uint16_t>(recs[i].type);
        ev.code = static_cast<uint16_t>(recs[i].code);
        ev.value = recs[i].value;
        if (static_cast<int>(i) == stampAt)
            ev.input_event_sec = 5;
        raw.append(reinterpret_cast<const char*>(&ev), sizeof ev);
    }
    return raw;
}

struct StreamCase {
    const char* name;
    std::string raw;
    uint64_t whole, broken, stray;
    bool clean, fingerDown, keyDown;
};

int failures = 0;

void Expect(bool ok, const std::string& what)
{
    if (!ok) {
        ++failures;
        printf("  FAIL self-check: %s\n", what.c_str());
    }
}

void StreamCases()
{
    const std::string click = Bytes(Cat({kDown, kLift}));
    const std::vector<StreamCase> cases = {
        {"a click", click, 1, 0, 0, true, false, false},
        {"a swipe and a key", Bytes(Cat({kDown, Move(30, 40), Move(50, 60), Move(70, 80), kLift, kKey})), 2, 0, 0,
         true, false, false},
        {"a finger never lifted", Bytes(kDown), 0, 1, 0, false, true, false},
        {"a lift without its report", Bytes(Cat({kDown, {kLift[0], kLift[1]}})), 0, 1, 0, false, true, false},
        {"a key never released", Bytes({kKey[0], kKey[1]}), 0, 1, 0, false, false, true},
        {"a key released, report missing", Bytes({kKey[0], kKey[1], kKey[2]}), 0, 1, 0, false, false, false},
        {"a click cut off by the next", Bytes(Cat({{kDown[0], kDown[1]}, kDown, kLift})), 1, 1, 0, false, false, false},
        {"a move cut short", Bytes(Cat({kDown, Drop(Move(1, 2), 2), kLift})), 0, 1, 5, false, false, false},
        {"ABS_X not the contact's", Bytes(Cat({{kDown[0], kDown[1], kDown[2], kDown[3], {EV_ABS, ABS_X, 11}}})), 0,
         1, 1, false, false, false},
        {"a stray report", Bytes(Cat({{{EV_SYN, SYN_REPORT, 0}}, kDown, kLift})), 1, 0, 1, false, false, false},
        {"a record with a time", Bytes(Cat({kDown, kLift}), 3), 1, 0, 0, false, false, false},
        {"half a record at the end", click + click.substr(0, sizeof(struct input_event) / 2), 1, 0, 0, false, false,
         false},
    };
    for (const StreamCase& c : cases) {
        for (size_t chunk : {c.raw.size() + 1, size_t{1}, size_t{7}}) {
            EventStream s(true);
            for (size_t at = 0; at < c.raw.size(); at += chunk)
                s.Feed(c.raw.data() + at, std::min(chunk, c.raw.size() - at));
            s.Finish();
            const std::string what = std::string(c.name) + " fed in pieces of " + std::to_string(chunk);
            Expect(s.whole() == c.whole, what + ": whole " + std::to_string(s.whole()));
            Expect(s.broken() == c.broken, what + ": broken " + std::to_string(s.broken()));
            Expect(s.stray() == c.stray, what + ": stray " + std::to_string(s.stray()));
            Expect(s.clean() == c.clean, what + ": clean " + std::to_string(s.clean()));
            Expect(s.fingerDown() == c.fingerDown, what + ": finger down " + std::to_string(s.fingerDown()));
            Expect(s.keyDown() == c.keyDown, what + ": key down " + std::to_string(s.keyDown()));
            Expect(c.clean == s.firstProblem().empty(), what + ": problem '" + s.firstProblem() + "'");
        }
    }
}

void LineCases()
{
    const std::string a = "[2024-05-01 10:00:00][INFO]Sending Click (ACTION_DOWN):(1,2)\n";
    const std::string crash = "[2024-05-01 10:00:00][CRASH][Coredump]./saved/coredump-a-1-2024\n";
    const std::string debug = "[2024-05-01 10:00:00][DEBUG][main][Line 12]:parse options\n";
    const std::string mix = "[2024-05-01 10:00:00][INFO]\n//  Event percentages\n//  TOUCH:35.0%\n";
    struct Case {
        const char* name;
        std::string text;
        size_t bad;
        bool torn;
    } cases[] = {
        {"whole lines of every kind", a + crash + debug + mix, 0, false},
        {"an empty log", "", 0, false},
        {"a line continued by the next", "[2024-05-01 10:00:00][INFO]Sending Cl" + a, 1, false},
        {"a last line without its line feed", a + a.substr(0, 30), 0, true},
        {"a line without its time", "Sending Click (ACTION_DOWN):(1,2)\n", 1, false},
        {"an unknown tag", "[2024-05-01 10:00:00][NOTE]x\n", 1, false},
        {"a mix line cut short", "//  TOUCH:35.0\n", 1, false},
        {"a time cut short", "[2024-05-01 10:00][INFO]x\n", 1, false},
    };
    for (const Case& c : cases) {
        LineReport r = CheckLines(c.text);
        Expect(r.bad == c.bad, std::string(c.name) + ": " + std::to_string(r.bad) + " bad lines");
        Expect(r.tornTail == c.torn, std::string(c.name) + ": torn tail " + std::to_string(r.tornTail));
    }
}

void MatchCases()
{
    Gesture tap;
    tap.x = 10;
    tap.y = 20;
    Gesture swipe;
    swipe.kind = Gesture::Swipe;
    swipe.x = 500;
    swipe.y = 300;
    swipe.endX = 500;  // reversed: lifts where it started
    swipe.endY = 300;
    swipe.moves = 3;
    Gesture key;
    key.kind = Gesture::Key;
    key.code = 115;
    const std::string sendTap = "Sending Click (ACTION_DOWN):(10,20)";
    const std::string sendSwipe = "Sending Swipe (ACTION_MOTION):(500,300,100,310,5)";
    const std::string sendKey = "Sending PressKey (ACTION_PRESSKEY):(115)";
    struct Case {
        const char* name;
        std::vector<std::string> messages;
        std::vector<Gesture> node;
        size_t extra;
        bool match;
    } cases[] = {
        {"the same events", {sendTap, "cycleCounter:1", sendSwipe, sendKey}, {tap, swipe, key}, 0, true},
        {"swapped coordinates", {"Sending Click (ACTION_DOWN):(20,10)"}, {tap}, 0, false},
        {"a long click is a tap", {"Sending LongClick (ACTION_LONGCLICK):(10,20)"}, {tap}, 0, true},
        {"a swipe that lifted at its end", {"Sending Swipe (ACTION_MOTION):(500,300,100,310,5)"},
         {[&] { Gesture g = swipe; g.endX = 100; g.endY = 310; return g; }()}, 0, false},
        {"an event missing on the node", {sendTap, sendKey}, {tap}, 0, false},
        {"a gesture without its line", {sendTap}, {tap, key}, 0, false},
        {"a gesture after the last line, allowed", {sendTap}, {tap, key}, 1, true},
        {"a failed event left no gesture", {"Error Click (ACTION_DOWN):(10,20)", sendTap, sendKey}, {key}, 0, true},
        {"a garbled event line", {"Sending Click (ACTION_DOWN):(10,"}, {tap}, 0, false},
    };
    for (const Case& c : cases) {
        std::string why;
        Expect(MatchLog(c.messages, c.node, c.extra, &why) == c.match,
               std::string(c.name) + ": match " + std::to_string(!c.match) + " " + why);
    }
    const std::string log = "[2024-05-01 10:00:00][INFO]" + sendTap + "\n[2024-05-01 10:00:00][DEBUG][f][Line 1]:x\n";
    std::vector<std::string> m = InfoMessages(log);
    Expect(m.size() == 1 && m[0] == sendTap, "InfoMessages keeps the INFO messages only");
}

}  // namespace

int SelfCheck()
{
    failures = 0;
    StreamCases();
    LineCases();
    MatchCases();
    printf("self-check of the stress checks: %s\n", failures == 0 ? "PASS" : "FAIL");
    return failures;
}
