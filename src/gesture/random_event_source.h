// Problem: a stress run needs random actions in set proportions.
// Solution: a cumulative mix of the five kinds, drawn against rand(), with
// grid points on the screen and keys from the device profile.
#ifndef TAPFUZZ_GESTURE_RANDOM_EVENT_SOURCE_H
#define TAPFUZZ_GESTURE_RANDOM_EVENT_SOURCE_H

#include <list>
#include <string>
#include <vector>

#include "gesture/pointer.h"
#include "gesture/zones.h"

typedef struct _HwKeyCode {
    char hwkey_name[32];
    int code;
} HwKeyCode;

// The draws of the run's generator, rand(): a fraction in 0.000 .. 0.999
// (steps of 1/1000), and an int in 0 .. randomInt-1.
float get_rand();
int getNextInt(int randomInt);

class RandomEventSource {
public:
    RandomEventSource();
    ~RandomEventSource();

    // The next event. A draw that queues nothing (past the end of a mix
    // totalling under 100 %, a key press without keys, a gesture that would
    // touch a zone) is drawn again; after 1000 such draws an event of kind
    // -1 (all other fields 0) comes back instead. Asking again goes on with
    // the draws where they stopped.
    Pointer getNextEvent();
    // The seed of a swipe's path: one draw of the run's generator, taken
    // right after the swipe itself.
    unsigned int drawPathSeed();
    void generateEvent();
    void generatePointerEvent(int actiontype);
    void getConfigInfo();
    void InitHwkeyCode();
    int getWidth();
    int getHigth();

    // Event mix.
    void setFactors(int index, float v);
    void setVerbose(int verbose);
    void InitDefaultFactors();
    // Turns the weights into the cumulative mix. False when the given
    // percentages exceed 100 in all, or every kind with a default weight
    // (all but the pinch) is given and they total under 99.9: the run then
    // ends with status 1.
    bool adjustEventFactors();

    // False, after a message naming the device or key and the reason (on
    // standard error and in the main log), when the frame buffer could not
    // be read, SCREEN_BASIC_SIZE is outside 1 .. the smaller screen side, or
    // LONGCLICK_DURATION is outside 1 .. 60000 ms, CLICK_DURATION outside
    // 0 .. 1000 ms, or EXCLUDE_RECTS was
    // refused, holds a malformed rectangle or leaves no grid point to touch.
    bool checkConfig();
    // After adjustEventFactors: false, after a message naming the kind, when
    // clicks, swipes, long clicks or pinches of the mix cannot be drawn outside
    // EXCLUDE_RECTS (pinches: on the screen at all) in 1000000 tries. The
    // tries take none of rand()'s draws.
    bool checkDrawable();
    // True when a draw can yield this kind after adjustEventFactors: its band
    // of the cumulative mix holds at least one of the 1000 draws, and for key
    // presses the key table is not empty.
    bool canDraw(int eventTye) const;
    int getGrid() const { return mScreensize; }
    // How long a click is held down (CLICK_DURATION), in milliseconds.
    int clickHoldMs() const { return mClickMs; }
    // True when the profile set at least one key code.
    bool hasKeys() const { return !mHwkeyCode.empty(); }
    // For the run record: the mix in percent ("40.0,30.0,30.0,0.0") after
    // adjustEventFactors, and the forbidden zones ("x,y,w,h;...").
    std::string mixText() const;
    std::string zonesText() const;
    const std::vector<Zone>& zones() const { return mZones; }

private:
    bool inZone(int x, int y) const;
    // Places a gesture of `kind` by the run's fixed order of draws, taken
    // from below(n) (0 .. n-1); false when it would touch a zone.
    template <typename Below>
    bool drawPlace(int kind, Below below, Pointer* event) const;

    int mVerbose;
    bool mPlateType;
    std::vector<HwKeyCode> mHwkeyCode;
    int mWidth;
    int mHigth;
    int mScreensize;
    std::list<Pointer> mlist;
    int mLongClickMs;  // hold of a long click (profile LONGCLICK_DURATION)
    int mClickMs;      // hold of a click (profile CLICK_DURATION)
    bool mScreenOk;
    int mScreenErrno;  // why the frame buffer could not be read
    // EXCLUDE_RECTS: no click point, swipe end, swipe path or pinch finger's path
    // may lie in them.
    std::vector<Zone> mZones;
    std::string mZoneError;  // why EXCLUDE_RECTS was refused
    bool mPinchAsked = false;  // --pct-pinch was given: the mix names pinches
};

#endif
