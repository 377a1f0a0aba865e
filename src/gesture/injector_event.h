// Problem: the program must drive whatever libfeedinput the device carries,
// without linking against it, and a swipe's path must come out the same in
// a replay.
// Solution: dlopen it at run time and bind a fixed table of names; run each
// swipe in a random stream of its own.
#ifndef TAPFUZZ_GESTURE_INJECTOR_EVENT_H
#define TAPFUZZ_GESTURE_INJECTOR_EVENT_H

#include "gesture/pointer.h"

#define EVENT_HANDLE_SLOTS 16

typedef struct EventHandle_ {
    char libname[64];
    void* funchandle[EVENT_HANDLE_SLOTS];
    char funcname[EVENT_HANDLE_SLOTS][64];
    bool funcvality[EVENT_HANDLE_SLOTS];
} EventHandle;

class InjectorEvent {
public:
    InjectorEvent();
    ~InjectorEvent();

    int LoadLibaray();
    void ParseLibaray(EventHandle& eventhandle);
    int FeedInput(Pointer pointer);
    // FeedInput, with a swipe's path drawn from a stream of its own seeded
    // with `pathSeed`: the library draws the path from rand(), and a replay
    // must draw the same one. The run's stream is only switched away from,
    // never reseeded, and resumes where it stood. (rand() draws from
    // random()'s state in the C library.)
    int inject(const Pointer& event, unsigned int pathSeed);
    char* GetLibarayVersion();

    // True when the function that an event of this kind needs is bound,
    // and for a pinch the panel has the two slots it needs.
    bool canInject(int eventTye) const;
    // Reads how many touch slots the panel reports (EVIOCGABS of
    // ABS_MT_SLOT; 2 when its node does not answer), for canInject.
    int readPanelSlots();
    // Reads the panel keys of the profile (PANEL_ROTATE, PANEL_SWAP_XY,
    // PANEL_INVERT_X, PANEL_INVERT_Y) and has the library write every point
    // of a width x height screen in the panel's own range and orientation;
    // logs "panel: ..." once. False, after a message naming the key, for a
    // value out of bounds. A library without setScreenMapping, or a panel
    // whose ranges cannot be read, gets screen pixels as before.
    bool mapScreen(int width, int height);
    // True when the library exports touchPinch, whatever the panel.
    bool hasPinchFunction() const;
    // What the library's function answered for the last injected event
    // (0, or -1 for a failed write, 1 for a swipe with nothing to draw or a
    // pinch on a panel of fewer than 2 slots).
    int lastResult() const { return mLastResult; }
    // The path the library was loaded from; empty when it was not loaded.
    const char* loadedPath() const { return mLoadedPath; }

    EventHandle mEventhandle;
    char m_libpath[128];

private:
    int mLastResult;
    int mPanelSlots = 2;
    // The folder and the file name as dlopen took them, whole.
    char mLoadedPath[sizeof m_libpath + sizeof EventHandle::libname];
};

#endif
