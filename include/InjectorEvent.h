// Problem: the program must drive whatever libfeedinput the device carries,
// without linking against it.
// Solution: dlopen it at run time and bind a fixed table of names.
#ifndef TAPFUZZ_INJECTOREVENT_H
#define TAPFUZZ_INJECTOREVENT_H

#include "Pointer.h"

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
    char* GetLibarayVersion();

    // True when the function that an event of this kind needs is bound.
    bool canInject(int eventTye);

    EventHandle mEventhandle;
    char m_libpath[128];
};

#endif
