// Problem: a stress run needs a repeatable stream of random clicks, swipes,
// long clicks, key presses and pinches in proportions the user can steer.
// Solution: a cumulative mix of the five kinds, one rand() draw to pick the
// kind, then a fixed order of draws for the grid point, swipe ends, key or
// pinch.
#include "gesture/random_event_source.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>

#include "base/files.h"
#include "base/logger.h"
#include "base/profile.h"
#include "base/screen_reader.h"
#include "gesture/kinds.h"
#include "gesture/pinch_path.h"

namespace {

// The device's hardware keys, in the order the key table keeps them; each
// name is also the profile key holding the key's Linux code.
const char* const kHwkeyNames[] = {
    "HWKEY_VOL_UP", "HWKEY_VOL_DOWN", "HWKEY_POWER", "HWKEY_HOME", "HWKEY_RADIO",
    "HWKEY_NVI",    "HWKEY_MUTE",     "HWKEY_MEDIA", "HWKEY_BACK",
};

// getNextEvent hands out an event of kind -1 after this many draws that
// queued nothing, so that its caller gets to look for a signal; a draw takes
// a microsecond or so.
const int kGiveUpDraws = 1000;
// Every gesture kind of the mix must come out of this many draws at start-up.
const int kDrawTries = 1000000;

// A long press is told from a click by toolkits at 400 to 1000 ms, on
// timers that may fire late: 1200 ms is a long press to all of them. The
// profile's LONGCLICK_DURATION (milliseconds) may move it within these bounds.
const int kLongClickDefaultMs = 1200;
const int kLongClickMaxMs = 60000;
// A click must be down across at least two polls of a toolkit that reads
// its input every 33 ms, and far below any long-press threshold.
// CLICK_DURATION (milliseconds) may move it; 0 is a down and lift at once.
const int kClickDefaultMs = 80;
const int kClickMaxMs = 1000;
const int kSwipeDurationUs = 75000;
const int kPinchMinRadius = 20;
// A pinch handler starts once the fingers' distance has changed by its drag
// threshold (Qt's PinchArea: startDragDistance, 10 px and more, scaled by
// the screen's density; 31 px of change were seen to start nothing): every
// pinch changes each radius by this much, the distance by twice as much.
const int kPinchMinChange = 40;
const int kPinchStep = 10;
const int kPinchDurationUs = 300000;

// rand() % 0 traps (SIGFPE on the device), and a bad profile or frame buffer
// can leave a zero or negative range here: still take the draw, so a run's
// draw order does not depend on it, but answer 0.
int drawBelow(int range)
{
    if (range <= 0) {
        (void)getNextInt(1);
        return 0;
    }
    return getNextInt(range);
}

}  // namespace

// The event mix: default weights, then user percentages (negated), then, after
// adjustEventFactors, cumulative fractions that every draw is compared with.
static float mFactors[FACTORZ_COUNT];

RandomEventSource::RandomEventSource()
    : mVerbose(0),
      mPlateType(false),
      mWidth(0),
      mHigth(0),
      mScreensize(20),
      mLongClickMs(kLongClickDefaultMs),
      mClickMs(kClickDefaultMs),
      mScreenOk(false),
      mScreenErrno(0)
{
    mHwkeyCode.clear();
    mlist.clear();
    errno = 0;
    mScreenOk = getScreenSize(&mWidth, &mHigth) == 0;
    if (!mScreenOk)
        mScreenErrno = errno != 0 ? errno : EIO;
    getConfigInfo();
    InitHwkeyCode();
    InitDefaultFactors();
}

RandomEventSource::~RandomEventSource()
{
    mlist.clear();
    mHwkeyCode.clear();
}

void RandomEventSource::getConfigInfo()
{
    int value = 0;
    if (GetProfileInt(kDeviceProfile, "HWKEY_ENABLE", &value) == 0)
        mPlateType = value != 0;
    value = 0;
    if (GetProfileInt(kDeviceProfile, "SCREEN_BASIC_SIZE", &value) == 0)
        mScreensize = value;
    else
        mScreensize = 20;
    value = 0;
    if (GetProfileInt(kDeviceProfile, "LONGCLICK_DURATION", &value) == 0)
        mLongClickMs = value;
    if (GetProfileInt(kDeviceProfile, "CLICK_DURATION", &value) == 0)
        mClickMs = value;
    char zones[kProfileLineMax + 1] = "";
    ProfileLookup found = LookUpProfileString(kDeviceProfile, "EXCLUDE_RECTS", zones);
    if (found == ProfileLookup::Refused)
        mZoneError = "refused, and a run without all its zones would touch them";
    else if (found == ProfileLookup::Found && !parseZones(zones, &mZones, &mZoneError))
        mZones.clear();
}

bool RandomEventSource::inZone(int x, int y) const
{
    for (const Zone& z : mZones)
        if (z.holds(x, y))
            return true;
    return false;
}

void RandomEventSource::InitHwkeyCode()
{
    for (const char* name : kHwkeyNames) {
        HwKeyCode key{};
        snprintf(key.hwkey_name, sizeof key.hwkey_name, "%s", name);
        key.code = 0;
        mHwkeyCode.push_back(key);
    }
    for (auto it = mHwkeyCode.begin(); it != mHwkeyCode.end();) {
        if (GetProfileInt(kDeviceProfile, it->hwkey_name, &it->code) != 0 || it->code == 0)
            it = mHwkeyCode.erase(it);
        else
            ++it;
    }
}

int RandomEventSource::getWidth()
{
    return mWidth;
}

int RandomEventSource::getHigth()
{
    return mHigth;
}

bool RandomEventSource::checkConfig()
{
    char msg[160];
    msg[0] = '\0';
    if (!mScreenOk) {
        snprintf(msg, sizeof msg, "tapfuzz: cannot read the screen size from /dev/fb0: %s",
                 errorText(mScreenErrno).c_str());
    } else if (mWidth <= 0 || mHigth <= 0) {
        // xres/yres are unsigned; above INT_MAX they come back negative.
        snprintf(msg, sizeof msg,
                 "tapfuzz: cannot read the screen size from /dev/fb0: it reports %u x %u",
                 static_cast<unsigned>(mWidth), static_cast<unsigned>(mHigth));
    } else {
        int smaller = mWidth < mHigth ? mWidth : mHigth;
        if (mScreensize < 1 || mScreensize > smaller)
            snprintf(msg, sizeof msg, "tapfuzz: SCREEN_BASIC_SIZE %d is outside 1..%d", mScreensize,
                     smaller);
        else if (mLongClickMs < 1 || mLongClickMs > kLongClickMaxMs)
            snprintf(msg, sizeof msg, "tapfuzz: LONGCLICK_DURATION %d is outside 1..%d (milliseconds)",
                     mLongClickMs, kLongClickMaxMs);
        else if (mClickMs < 0 || mClickMs > kClickMaxMs)
            snprintf(msg, sizeof msg, "tapfuzz: CLICK_DURATION %d is outside 0..%d (milliseconds)", mClickMs,
                     kClickMaxMs);
        else if (!mZoneError.empty())
            snprintf(msg, sizeof msg, "tapfuzz: EXCLUDE_RECTS: %s", mZoneError.c_str());
        else if (!mZones.empty()) {
            // Clicks land on whole grid cells; with none of them free no
            // click could ever be drawn.
            bool free = false;
            for (int y = 0; !free && y < mHigth / mScreensize * mScreensize; ++y)
                for (int x = 0; !free && x < mWidth / mScreensize * mScreensize; ++x)
                    free = !inZone(x, y);
            if (!free)
                snprintf(msg, sizeof msg, "tapfuzz: EXCLUDE_RECTS cover every point the run could touch");
        }
    }
    if (msg[0] == '\0')
        return true;
    fprintf(stderr, "%s\n", msg);
    fflush(stderr);
    LOG(INFO) << msg;
    return false;
}

// The kind a draw falls on, with exactly the single-precision comparisons of
// the mix: a draw equal to a threshold belongs to the next kind. -1 when the
// draw lies at or beyond the last threshold (a mix totalling under 100 %).
static int kindOfDraw(float r)
{
    for (int kind = FACTOR_TOUCH; kind < FACTORZ_COUNT; ++kind)
        if (r < mFactors[kind])
            return kind;
    return -1;
}

bool RandomEventSource::canDraw(int eventTye) const
{
    if (eventTye < FACTOR_TOUCH || eventTye > FACTOR_PINCH)
        return false;
    if (eventTye == FACTOR_PRESSKEY && mHwkeyCode.empty())
        return false;
    // The same 1000 values get_rand() can yield, built the same way.
    for (int i = 0; i < 1000; ++i) {
        if (kindOfDraw(static_cast<float>(i) / 1000.0f) == eventTye)
            return true;
    }
    return false;
}

void RandomEventSource::generateEvent()
{
    int kind = kindOfDraw(get_rand());
    if (kind >= 0)
        generatePointerEvent(kind);
}

template <typename Below>
bool RandomEventSource::drawPlace(int kind, Below below, Pointer* event) const
{
    // A grid point is drawn for every kind, so that with a given seed the
    // draws after it do not depend on which kind came up.
    int cols = mScreensize > 0 ? mWidth / mScreensize : 0;
    int rows = mScreensize > 0 ? mHigth / mScreensize : 0;
    int tmpWnum = below(cols);
    int tmpHnum = below(rows);
    event->x = tmpWnum * mScreensize + below(mScreensize);
    event->y = tmpHnum * mScreensize + below(mScreensize);
    switch (static_cast<FACTOR_TYPE>(kind)) {
    case FACTOR_TOUCH:
    case FACTOR_LONGCLICK:
        return !inZone(event->x, event->y);
    case FACTOR_PRESSKEY:
    case FACTORZ_COUNT:
        return true;
    case FACTOR_PINCH: {
        // Both fingers stay on the screen: no radius reaches past the
        // nearest edge, nor past a third of the smaller side.
        const int edge = std::min({(mWidth < mHigth ? mWidth : mHigth) / 3, event->x, event->y,
                                   mWidth - 1 - event->x, mHigth - 1 - event->y});
        // The smaller radius, the larger one at least kPinchMinChange above
        // it, then which of them the fingers start at.
        const int small = kPinchMinRadius + below(edge - kPinchMinChange - kPinchMinRadius + 1);
        const int large = small + kPinchMinChange + below(edge - small - kPinchMinChange + 1);
        const bool out = below(2) == 0;
        event->x1 = out ? small : large;
        event->y1 = out ? large : small;
        event->code = below(181) - 90;
        event->step = kPinchStep;
        event->duration = kPinchDurationUs;
        return edge >= kPinchMinRadius + kPinchMinChange && !pinchMeetsZone(*event, mZones);
    }
    case FACTOR_MOTION:
        break;
    }
    event->x = below(mWidth);
    event->y = below(mHigth);
    event->x1 = below(mWidth);
    event->y1 = below(mHigth);
    // A swipe of length zero would be a click; move its end off the start.
    if (event->x1 == event->x && event->y1 == event->y) {
        event->x1 += 10;
        event->y1 += 10;
    }
    for (const Zone& z : mZones)
        if (z.meets(event->x, event->y, event->x1, event->y1))
            return false;
    return true;
}

void RandomEventSource::generatePointerEvent(int actiontype)
{
    Pointer event{};
    // A point or swipe in a forbidden zone is dropped here, before its log
    // line; getNextEvent then draws again.
    if (!drawPlace(actiontype, drawBelow, &event))
        return;
    switch (static_cast<FACTOR_TYPE>(actiontype)) {
    case FACTOR_TOUCH:
        LOG(DEBUG) << "touch:x:" << event.x << " y:" << event.y;
        event.duration = mClickMs * 1000;
        event.eventTye = FACTOR_TOUCH;
        mlist.push_back(event);
        break;
    case FACTOR_MOTION:
        event.step = 5;
        event.duration = kSwipeDurationUs;
        event.eventTye = FACTOR_MOTION;
        LOG(DEBUG) << "swipe:x:" << event.x << " y:" << event.y << " x1:" << event.x1
                   << " y1:" << event.y1 << " step:" << event.step << " duration:" << event.duration;
        mlist.push_back(event);
        break;
    case FACTOR_LONGCLICK:
        event.duration = mLongClickMs * 1000;  // the library waits in microseconds
        LOG(DEBUG) << "longclick: x:" << event.x << " y:" << event.y << " duration:" << event.duration;
        event.eventTye = FACTOR_LONGCLICK;
        mlist.push_back(event);
        break;
    case FACTOR_PINCH:
        LOG(DEBUG) << "pinch: x:" << event.x << " y:" << event.y << " r0:" << event.x1 << " r1:" << event.y1
                   << " angle:" << event.code << " step:" << event.step << " duration:" << event.duration;
        event.eventTye = FACTOR_PINCH;
        mlist.push_back(event);
        break;
    case FACTOR_PRESSKEY: {
        // No key in the profile: nothing to press, and no draw to take.
        if (mHwkeyCode.empty())
            break;
        int index = rand() % static_cast<int>(mHwkeyCode.size());
        event = Pointer{};
        event.code = mHwkeyCode[static_cast<size_t>(index)].code;
        event.eventTye = FACTOR_PRESSKEY;
        mlist.push_back(event);
        break;
    }
    case FACTORZ_COUNT:
        break;
    }
}

Pointer RandomEventSource::getNextEvent()
{
    // A draw past the mix's end, a key press without keys or a gesture
    // that would touch a zone queues nothing; draw again, but only so often
    // before the caller gets to look for a signal.
    for (int empty = 0; mlist.empty();) {
        generateEvent();
        if (mlist.empty() && ++empty == kGiveUpDraws) {
            Pointer none{};
            none.eventTye = -1;
            return none;
        }
    }
    Pointer event = mlist.front();
    mlist.pop_front();
    return event;
}

unsigned int RandomEventSource::drawPathSeed()
{
    return static_cast<unsigned int>(rand());
}

bool RandomEventSource::checkDrawable()
{
    // Without zones only a pinch can lack a place: on a screen too small
    // for its radii.
    if (mZones.empty() && !canDraw(FACTOR_PINCH))
        return true;
    // A generator of its own: the run's rand() sequence, and so the run of a
    // given seed, stays as it was.
    std::minstd_rand own(1);
    auto below = [&own](int range) { return range > 0 ? static_cast<int>(own() % static_cast<unsigned>(range)) : 0; };
    for (int kind = FACTOR_TOUCH; kind <= FACTOR_PINCH; ++kind) {
        if (kind == FACTOR_PRESSKEY || !canDraw(kind) || (mZones.empty() && kind != FACTOR_PINCH))
            continue;
        Pointer place{};
        int tries = 0;
        while (tries < kDrawTries && !drawPlace(kind, below, &place))
            ++tries;
        if (tries < kDrawTries)
            continue;
        char msg[160];
        if (mZones.empty())
            snprintf(msg, sizeof msg, "tapfuzz: %s cannot be drawn on a %dx%d screen: none of %d tries fitted", kGestureKinds[kind].plural,
                     mWidth, mHigth, kDrawTries);
        else
            snprintf(msg, sizeof msg, "tapfuzz: %s cannot be drawn outside EXCLUDE_RECTS: none of %d tries missed every zone",
                     kGestureKinds[kind].plural, kDrawTries);
        fprintf(stderr, "%s\n", msg);
        fflush(stderr);
        LOG(INFO) << msg;
        return false;
    }
    return true;
}

std::string RandomEventSource::mixText() const
{
    // Each kind's share is its threshold less the one before; a pinch's
    // only when asked for, so that the records of other runs read as ever.
    std::string mix;
    float before = 0.0f;
    for (int kind = FACTOR_TOUCH; kind < FACTORZ_COUNT; ++kind) {
        if (kind == FACTOR_PINCH && !mPinchAsked)
            break;
        char text[24];
        snprintf(text, sizeof text, "%s%.1f", mix.empty() ? "" : ",", static_cast<double>((mFactors[kind] - before) * 100));
        mix += text;
        before = mFactors[kind];
    }
    return mix;
}

std::string RandomEventSource::zonesText() const
{
    std::string text;
    for (const Zone& z : mZones)
        text += (text.empty() ? "" : ";") + std::to_string(z.x) + "," + std::to_string(z.y) + "," +
                std::to_string(z.w) + "," + std::to_string(z.h);
    return text;
}

void RandomEventSource::setVerbose(int verbose)
{
    mVerbose = verbose;
}

void RandomEventSource::setFactors(int index, float v)
{
    mFactors[index] = v;
}

void RandomEventSource::InitDefaultFactors()
{
    // Every weight is written, zeros too, so that a second source does not
    // inherit the first one's cumulative fractions. Pinches weigh nothing
    // unless asked for: the mix, and every draw of a run, stay as they were
    // without --pct-pinch.
    for (const GestureKind& k : kGestureKinds)
        mFactors[k.kind] = mPlateType ? k.keyedShare : k.share;
    mPinchAsked = false;
}

bool RandomEventSource::adjustEventFactors()
{
    // Single precision throughout: the draw is compared with these floats,
    // and the thresholds must come out exactly as the run has always had them.
    float userSum = 0.0f;
    float defaultsum = 0.0f;
    int defaultCount = 0;
    mPinchAsked = mFactors[FACTOR_PINCH] < 0.0f;
    for (int i = 0; i < FACTORZ_COUNT; ++i) {
        if (mFactors[i] < 0.0f) {
            userSum -= mFactors[i];
        } else if (i != FACTOR_PINCH) {  // no default weight to scale
            ++defaultCount;
            defaultsum += mFactors[i];
        }
    }
    if (userSum > 100.0f)
        return false;
    if (defaultCount == 0 && static_cast<double>(userSum) < 99.9)
        return false;

    float defaultsTarget = 100.0f - userSum;
    // Only entries above zero are scaled; with a zero sum there are none.
    float defaultsAdjustment = defaultsum > 0.0f ? defaultsTarget / defaultsum : 0.0f;
    for (int i = 0; i < FACTORZ_COUNT; ++i) {
        if (mFactors[i] <= 0.0f)
            mFactors[i] = -mFactors[i];
        else
            mFactors[i] *= defaultsAdjustment;
    }

    float sum = 0.0f;
    for (int i = 0; i < FACTORZ_COUNT; ++i) {
        sum += mFactors[i] / 100;
        mFactors[i] = sum;
    }

    if (mVerbose > 0) {
        // Each kind's percentage is its threshold in percent less the one
        // before; the pinch's line only when asked for.
        std::string lines = "\n//  Event percentages";
        float before = 0.0f;
        for (const GestureKind& k : kGestureKinds) {
            if (k.kind == FACTOR_PINCH && !mPinchAsked)
                break;
            char line[48];
            snprintf(line, sizeof line, "\n//  %s:%.1f%%", k.mixLabel, static_cast<double>(mFactors[k.kind] * 100 - before));
            lines += line;
            before = mFactors[k.kind] * 100;
        }
        LOG(INFO) << lines;
    }
    return true;
}

float get_rand()
{
    return static_cast<float>(rand() % 1000) / 1000.0f;
}

int getNextInt(int randomInt)
{
    return rand() % randomInt;
}
