// Problem: a recorded run must be injected again exactly, at its own pace
// or faster, and a damaged or hostile record must not inject half a run.
// Solution: read and check every line of the record first, strictly, and
// schedule each gesture at its recorded distance from the first one.
#include "record/replay.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "base/files.h"
#include "gesture/pinch_path.h"
#include "record/record_line.h"

namespace {

// The longest hold or swipe a record may ask for, in microseconds: the
// profile's own bound on a long click. A finger is never left down longer.
const long long kMaxDuration = 60000000;
// The library refuses longer swipe paths: their memory alone can fail.
const long long kMaxStep = 1 << 20;
// A pinch line is checked frame by frame, both fingers against the screen
// and the zones: a hostile step must not make loading a record take hours.
// tapfuzz draws 10.
const long long kMaxPinchStep = 1000;
// A gesture line is under 200 characters; only a comment (the header's
// command line) may be longer, and is then skipped unread.
const size_t kMaxLine = 4096;

std::string point(long long x, long long y)
{
    return std::to_string(x) + "," + std::to_string(y);
}

// A whole word in decimal within lo..hi, nothing before or after it.
bool readNumber(const std::string& word, long long lo, long long hi, long long* value)
{
    if (word.empty() || (word[0] != '-' && (word[0] < '0' || word[0] > '9')))
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(word.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *value = v;
    return true;
}

// One gesture line: "INDEX MICROSECONDS KIND FIELDS... RESULT". Empty on
// success, else what is wrong with it.
std::string parseLine(const std::string& line, ReplayEvent* out)
{
    // Words between the blanks of the C locale, as operator>> splits them.
    const char* const kBlanks = " \t\n\v\f\r";
    std::vector<std::string> words;
    for (size_t at = line.find_first_not_of(kBlanks); at != std::string::npos;
         at = line.find_first_not_of(kBlanks, at)) {
        size_t cut = line.find_first_of(kBlanks, at);
        words.push_back(line.substr(at, cut == std::string::npos ? std::string::npos : cut - at));
        at = cut;
    }
    if (words.size() < 3)
        return "expected INDEX MICROSECONDS KIND FIELDS... RESULT";
    long long index, at;
    if (!readNumber(words[0], 1, INT_MAX, &index))
        return "the index \"" + words[0] + "\" is not a number from 1 to " + std::to_string(INT_MAX);
    if (!readNumber(words[1], 0, LLONG_MAX, &at))
        return "the time \"" + words[1] + "\" is not a number of microseconds";
    const GestureKind* k = recordKindNamed(words[2].data(), words[2].size());
    if (k != nullptr) {
        if (words.size() != static_cast<size_t>(k->fields) + 4)
            return "a " + words[2] + " has " + std::to_string(k->fields) + " fields and a result";
        long long f[8];
        for (int i = 0; i <= k->fields; ++i) {
            const bool seed = i == k->seedField;
            if (!readNumber(words[static_cast<size_t>(i) + 3], seed ? 0 : INT_MIN, seed ? UINT_MAX : INT_MAX, &f[i]))
                return "\"" + words[static_cast<size_t>(i) + 3] + "\" is not a " +
                       (seed ? "path seed from 0 to 4294967295" : "32-bit number");
        }
        setGestureFields(*k, f, &out->event, &out->pathSeed);
        out->index = static_cast<int>(index);
        out->at = at;
        return "";
    }
    std::string known;
    for (const GestureKind& kind : kGestureKinds)
        known += std::string(known.empty() ? "" : &kind == &kGestureKinds[FACTORZ_COUNT - 1] ? " or " : ", ") + kind.word;
    return "unknown kind \"" + words[2] + "\" (" + known + ")";
}

}  // namespace

ReplayParser::ReplayParser(std::string name, int from, int to, ReplayLimits limits)
    : mName(std::move(name)), mFrom(from), mTo(to), mLimits(std::move(limits))
{
}

bool ReplayParser::feed(const char* data, size_t size)
{
    while (size > 0 && mWhy.empty()) {
        const char* end = static_cast<const char*>(memchr(data, '\n', size));
        const size_t n = end != nullptr ? static_cast<size_t>(end - data) : size;
        // A NUL cuts a C string short: the line would be read as something
        // shorter than what the file holds.
        if (memchr(data, '\0', n) != nullptr)
            mNul = true;
        const size_t room = kMaxLine - mLine.size();
        mLine.append(data, n < room ? n : room);
        mLong = mLong || n > room;
        if (end == nullptr)
            break;
        data = end + 1;
        size -= n + 1;
        endLine();
    }
    return mWhy.empty();
}

bool ReplayParser::endLine()
{
    ++mNumber;
    if (!mLong && !mLine.empty() && mLine.back() == '\r')
        mLine.pop_back();
    std::string fault;
    ReplayEvent e{};
    const bool gesture = !mLine.empty() && mLine[0] != '#';
    int hold = 0;
    bool kept = false;
    if (mNul)
        fault = "holds a NUL byte";
    else if (!gesture && !mLong && readClickHold(mLine, &hold)) {
        if (hold < 0)
            fault = "the click hold is no number from 0 to " + std::to_string(kClickHoldMaxMs) + " (milliseconds)";
        mClickHoldMs = hold < 0 ? 0 : hold;
    }
    else if (gesture && mLong)
        fault = "is longer than " + std::to_string(kMaxLine) + " characters";
    else if (gesture && (fault = check(mLine, &e)).empty()) {
        if (mLast.index != 0 && e.index <= mLast.index)
            fault = "the index does not follow " + std::to_string(mLast.index);
        else if (e.at < mLast.at)
            fault = "the time goes back before " + std::to_string(mLast.at);
        else {
            // Clicks are held as the run that recorded them held them.
            if (e.event.eventTye == FACTOR_TOUCH)
                e.event.duration = mClickHoldMs * 1000;
            mLast = e;
            kept = e.index >= mFrom && e.index <= mTo;
            if (kept)
                mEvents.push_back(e);
        }
    }
    if (fault.empty() && !mLong && mHook)
        mHook(mLine, kept ? &mEvents.back() : nullptr);
    mLine.clear();
    mLong = mNul = false;
    if (!fault.empty())
        mWhy = mName + " line " + std::to_string(mNumber) + ": " + fault;
    return mWhy.empty();
}

// A well-formed line, then what this run allows: the screen, the zones, the
// longest hold, the swipe's steps.
std::string ReplayParser::check(const std::string& line, ReplayEvent* e) const
{
    std::string fault = parseLine(line, e);
    if (!fault.empty())
        return fault;
    const Pointer& p = e->event;
    if (p.eventTye == FACTOR_PRESSKEY)
        return "";
    const bool swipe = p.eventTye == FACTOR_MOTION;
    const int ex = swipe ? p.x1 : p.x, ey = swipe ? p.y1 : p.y;
    for (const auto& end : {std::make_pair(p.x, p.y), std::make_pair(ex, ey)})
        if (end.first < 0 || end.first >= mLimits.width || end.second < 0 || end.second >= mLimits.hight)
            return "the point " + point(end.first, end.second) + " lies off the " + std::to_string(mLimits.width) +
                   "x" + std::to_string(mLimits.hight) + " screen";
    for (const Zone& z : mLimits.zones)
        if (z.meets(p.x, p.y, ex, ey))
            return std::string(swipe ? "the swipe from " + point(p.x, p.y) + " to " + point(ex, ey) + " crosses"
                                     : "the point " + point(p.x, p.y) + " lies in") +
                   " the excluded zone " + point(z.x, z.y) + "," + point(z.w, z.h);
    if (p.duration < 0 || p.duration > kMaxDuration)
        return "the duration " + std::to_string(p.duration) + " is outside 0.." + std::to_string(kMaxDuration) +
               " microseconds";
    const bool pinch = p.eventTye == FACTOR_PINCH;
    const long long maxStep = pinch ? kMaxPinchStep : kMaxStep;
    if ((swipe || pinch) && (p.step < 1 || p.step > maxStep))
        return "the step " + std::to_string(p.step) + " is outside 1.." + std::to_string(maxStep);
    if (!pinch)
        return "";
    // Both fingers' paths, frame by frame, as the library will move them.
    for (int i = 0; i <= p.step; i++)
        for (int f = 0; f < 2; f++) {
            const PinchPoint q = pinchPoint(p, i, f);
            if (q.x < 0 || q.x >= mLimits.width || q.y < 0 || q.y >= mLimits.hight)
                return "the pinch at " + point(p.x, p.y) + " reaches " + point(static_cast<int>(q.x), static_cast<int>(q.y)) +
                       ", off the " + std::to_string(mLimits.width) + "x" + std::to_string(mLimits.hight) + " screen";
        }
    if (pinchMeetsZone(p, mLimits.zones))
        return "the pinch at " + point(p.x, p.y) + " crosses an excluded zone";
    return "";
}

bool ReplayParser::finish()
{
    if (!mWhy.empty())
        return false;
    // What a writer killed in the middle of a line left: every line before
    // it is whole and worth replaying.
    if (!mLine.empty() || mLong || mNul) {
        mNote = mName + " line " + std::to_string(mNumber + 1) + ": no line feed at its end (torn), skipped";
        mLine.clear();
        mLong = mNul = false;
    }
    if (mEvents.empty())
        mWhy = mName + " holds no gesture with an index from " + std::to_string(mFrom) + " to " + std::to_string(mTo);
    return mWhy.empty();
}

bool feedReplay(const char* path, ReplayParser* parser, std::string* why)
{
    // Without O_NONBLOCK, opening a fifo waits for a writer; a device is
    // never read at all.
    Fd in(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (in.get() < 0 || fstat(in.get(), &st) != 0) {
        *why = std::string("cannot read ") + path + ": " + errorText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = std::string(path) + " is not a regular file";
        return false;
    }
    // Up to the end it has now: a record still being written is read as far
    // as it goes, and never chased.
    std::vector<char> buffer(64 * 1024);
    for (off_t left = st.st_size; left > 0;) {
        ssize_t n = readAll(in.get(), buffer.data(), static_cast<size_t>(std::min<off_t>(left, static_cast<off_t>(buffer.size()))));
        if (n < 0) {
            *why = std::string("cannot read ") + path + ": " + errorText(errno);
            return false;
        }
        if (n == 0)
            break;
        if (!parser->feed(buffer.data(), static_cast<size_t>(n))) {
            *why = parser->why();
            return false;
        }
        left -= n;
    }
    return true;
}

bool loadReplay(const char* path, int from, int to, const ReplayLimits& limits, std::vector<ReplayEvent>* out,
                std::string* why, std::string* note, int* clickHoldMs)
{
    out->clear();
    note->clear();
    ReplayParser parser(path, from, to, limits);
    if (!feedReplay(path, &parser, why))
        return false;
    const bool ok = parser.finish();
    *note = parser.note();
    if (!ok) {
        *why = parser.why();
        return false;
    }
    out->swap(parser.events());
    if (clickHoldMs != nullptr)
        *clickHoldMs = parser.clickHoldMs();
    return true;
}

ReplaySource::ReplaySource(std::vector<ReplayEvent> events, double speed, int clickHoldMs)
    : mEvents(std::move(events)), mSpeed(speed), mClickHoldMs(clickHoldMs)
{
}

bool ReplaySource::next(Gesture* gesture)
{
    if (mNext == mEvents.size())
        return false;
    gesture->event = mEvents[mNext].event;
    gesture->pathSeed = mEvents[mNext].pathSeed;
    ++mNext;
    return true;
}

long long ReplaySource::untilDue(long long now) const
{
    return mNext == 0 ? 0 : replayWait(mEvents, mNext - 1, mSpeed, now);
}

long long replayWait(const std::vector<ReplayEvent>& events, size_t i, double speed, long long now)
{
    if (!(speed > 0.0) || i >= events.size())
        return 0;
    // A gap of up to LLONG_MAX microseconds divided by a small speed is far
    // beyond it, and a double beyond LLONG_MAX has no integer to become.
    double due = (static_cast<double>(events[i].at) - static_cast<double>(events[0].at)) / speed;
    double wait = due - static_cast<double>(now);
    if (!(wait > 0.0))
        return 0;
    return wait < static_cast<double>(LLONG_MAX) ? static_cast<long long>(wait) : LLONG_MAX;
}
