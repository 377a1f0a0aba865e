// Problem: the program must drive whatever libfeedinput the device carries,
// without a link-time dependency on it, and survive one that lacks functions.
// Solution: dlopen it by path at run time, bind a fixed table of names, and
// answer "not injected" for any event whose function is missing.
#include "gesture/injector_event.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "base/log_text.h"
#include "base/logger.h"
#include "base/profile.h"
#include "gesture/kinds.h"

namespace {

const char kDefaultFolder[] = "/usr/lib/";

// The names wanted in slots 0..7; the other slots want nothing.
const char* const kSlotNames[] = {
    "touchClick", "touchSwipe", "touchLongClick", "sendHKeyInput", "sendHKeyMcu", "getVersion", "touchPinch",
    "setScreenMapping",
};

enum {
    SLOT_TOUCH_CLICK = 0,
    SLOT_TOUCH_SWIPE = 1,
    SLOT_TOUCH_LONGCLICK = 2,
    SLOT_HKEY_INPUT = 3,
    SLOT_HKEY_MCU = 4,
    SLOT_VERSION = 5,
    SLOT_TOUCH_PINCH = 6,
    SLOT_SCREEN_MAPPING = 7,
};

// The library's flags for the panel's orientation (driver/feedinput.h).
const int kSwapXY = 1, kInvertX = 2, kInvertY = 4;

typedef int (*ClickFn)(int x, int y);
typedef int (*SwipeFn)(int x, int y, int x2, int y2, int step, int duration);
typedef int (*LongClickFn)(int x, int y, int duration);
typedef int (*KeyFn)(int code);
typedef int (*PinchFn)(int x, int y, int r0, int r1, int angle, int step, int duration);
typedef char* (*VersionFn)();
typedef int (*MappingFn)(int width, int height, int rotate, int flags, int* ranges);

// What dlsym hands back is an object pointer; POSIX guarantees it converts to
// the function's real type.
template <typename Fn>
Fn slotFunction(const EventHandle& handle, int slot)
{
    return reinterpret_cast<Fn>(handle.funchandle[slot]);
}

char kNoVersion[] = "V0.1";

// The node libfeedinput writes the touch panel's events into.
const char kTouchNode[] = "/dev/input/event0";

// The state of a swipe's own stream, and the run's while it is put aside.
char gPathState[128];
char* gRunState = nullptr;

// A panel key of the profile: 0 when missing; any value but one of
// `allowed` is refused, after a message naming the key (standard error and
// the main log).
bool panelKey(const char* key, std::initializer_list<int> allowed, const char* allowedText, int* value)
{
    char text[16] = "";
    const ProfileLookup found = LookUpProfileString(kDeviceProfile, key, text);
    *value = 0;
    if (found == ProfileLookup::Missing)
        return true;
    char* end = text;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (found == ProfileLookup::Found && end != text && *end == '\0' && errno == 0)
        for (int a : allowed)
            if (v == a)
                return *value = a, true;
    const std::string msg = std::string("tapfuzz: ") + key +
                            (found == ProfileLookup::Found ? " \"" + escapeLogText(text) + "\"" : std::string()) +
                            " is not " + allowedText;
    fprintf(stderr, "%s\n", msg.c_str());
    fflush(stderr);
    LOG(INFO) << msg;
    return false;
}

}  // namespace

InjectorEvent::InjectorEvent() : mLastResult(0)
{
    memset(m_libpath, 0, sizeof m_libpath);
    memset(mLoadedPath, 0, sizeof mLoadedPath);
    char libpath[128];
    libpath[0] = '\0';
    if (GetProfileString(kDeviceProfile, "LIBLARAY_PATH", libpath) == 0)
        snprintf(m_libpath, sizeof m_libpath, "%s", libpath);

    memset(&mEventhandle, 0, sizeof mEventhandle);
    snprintf(mEventhandle.libname, sizeof mEventhandle.libname, "%s", "libfeedinput.so");
    for (size_t i = 0; i < sizeof kSlotNames / sizeof kSlotNames[0]; ++i)
        snprintf(mEventhandle.funcname[i], sizeof mEventhandle.funcname[i], "%s", kSlotNames[i]);
}

InjectorEvent::~InjectorEvent()
{
}

int InjectorEvent::LoadLibaray()
{
    ParseLibaray(mEventhandle);
    return 0;
}

void InjectorEvent::ParseLibaray(EventHandle& eventhandle)
{
    // The folder is glued to the file name as it stands: a configured folder
    // must end with '/'. Both arrays are public, so bound what is read of them.
    const char* folder = m_libpath[0] != '\0' ? m_libpath : kDefaultFolder;
    int folderLen = static_cast<int>(strnlen(folder, sizeof m_libpath));
    int nameLen = static_cast<int>(strnlen(eventhandle.libname, sizeof eventhandle.libname));
    // Sized for the longest folder the setting holds plus the longest name,
    // so every value the profile can give is tried.
    char path[sizeof m_libpath + sizeof eventhandle.libname];
    snprintf(path, sizeof path, "%.*s%.*s", folderLen, folder, nameLen, eventhandle.libname);

    // The handle is deliberately never closed: the functions bound below are
    // called until the process ends.
    void* lib = dlopen(path, RTLD_NOW);
    if (lib == nullptr) {
        const char* why = dlerror();
        // The figure is the source line this text was first logged from; it
        // stays as it was, so that a line a farm matches whole is not moved
        // by an edit above it.
        LOG(INFO) << "ParseLibaray 95 dlopen failed for " << path;
        LOG(DEBUG) << "error:" << (why != nullptr ? why : "unknown");
        return;
    }
    LOG(INFO) << "dlopen :" << path;
    snprintf(mLoadedPath, sizeof mLoadedPath, "%s", path);
    LOG(DEBUG) << "fun name:" << EVENT_HANDLE_SLOTS;

    for (int i = 0; i < EVENT_HANDLE_SLOTS; ++i) {
        eventhandle.funcname[i][sizeof eventhandle.funcname[i] - 1] = '\0';
        if (eventhandle.funcname[i][0] == '\0')
            continue;
        eventhandle.funchandle[i] = dlsym(lib, eventhandle.funcname[i]);
        if (eventhandle.funchandle[i] != nullptr) {
            LOG(INFO) << "link:" << eventhandle.funcname[i];
            eventhandle.funcvality[i] = true;
        }
        // A failed look-up leaves an error pending; clear it so the next
        // dlerror() describes the next failure, not this one.
        dlerror();
    }
}

bool InjectorEvent::canInject(int eventTye) const
{
    if (eventTye == FACTOR_PINCH)
        return mEventhandle.funcvality[SLOT_TOUCH_PINCH] && mPanelSlots >= 2;
    if (eventTye < FACTOR_TOUCH || eventTye > FACTOR_PRESSKEY)
        return false;
    return mEventhandle.funcvality[eventTye];
}

namespace {

// "Error ACTION:(...)": the library took the gesture and failed it.
void logRefused(const Pointer& pointer)
{
    char args[96];
    formatKindArgs(pointer, args, sizeof args);
    LOG(INFO) << "Error " << kGestureKinds[pointer.eventTye].action << ":" << args;
}

// A gesture handed to the library counts as injected, failed or not.
int injected(const Pointer& pointer, int result)
{
    if (result != 0)
        logRefused(pointer);
    return 0;
}

}  // namespace

int InjectorEvent::FeedInput(Pointer pointer)
{
    const EventHandle& handle = mEventhandle;
    switch (static_cast<FACTOR_TYPE>(pointer.eventTye)) {
    case FACTOR_TOUCH:
        if (!handle.funcvality[SLOT_TOUCH_CLICK])
            return 1;
        // A held click is the long click's down, pause and lift; the
        // library's own click lifts at once, and a library without long
        // clicks gets that one.
        mLastResult = pointer.duration > 0 && handle.funcvality[SLOT_TOUCH_LONGCLICK]
                          ? slotFunction<LongClickFn>(handle, SLOT_TOUCH_LONGCLICK)(pointer.x, pointer.y, pointer.duration)
                          : slotFunction<ClickFn>(handle, SLOT_TOUCH_CLICK)(pointer.x, pointer.y);
        return injected(pointer, mLastResult);
    case FACTOR_MOTION:
        if (!handle.funcvality[SLOT_TOUCH_SWIPE])
            return 1;
        mLastResult = slotFunction<SwipeFn>(handle, SLOT_TOUCH_SWIPE)(pointer.x, pointer.y, pointer.x1, pointer.y1,
                                                                      pointer.step, pointer.duration);
        return injected(pointer, mLastResult);
    case FACTOR_LONGCLICK:
        if (!handle.funcvality[SLOT_TOUCH_LONGCLICK])
            return 1;
        mLastResult = slotFunction<LongClickFn>(handle, SLOT_TOUCH_LONGCLICK)(pointer.x, pointer.y, pointer.duration);
        return injected(pointer, mLastResult);
    case FACTOR_PRESSKEY:
        if (!handle.funcvality[SLOT_HKEY_INPUT])
            return 1;
        injected(pointer, mLastResult = slotFunction<KeyFn>(handle, SLOT_HKEY_INPUT)(pointer.code));
        // The key has reached the key device by now; the second path (to the
        // MCU) is optional, and its absence does not undo the press.
        return handle.funcvality[SLOT_HKEY_MCU] ? injected(pointer, slotFunction<KeyFn>(handle, SLOT_HKEY_MCU)(pointer.code))
                                                : 0;
    case FACTOR_PINCH:
        if (!canInject(FACTOR_PINCH))
            return 1;
        mLastResult = slotFunction<PinchFn>(handle, SLOT_TOUCH_PINCH)(pointer.x, pointer.y, pointer.x1, pointer.y1,
                                                                      pointer.code, pointer.step, pointer.duration);
        return injected(pointer, mLastResult);
    case FACTORZ_COUNT:
        break;
    }
    // A value that is no kind: nothing was injected.
    return 1;
}

bool InjectorEvent::hasPinchFunction() const
{
    return mEventhandle.funcvality[SLOT_TOUCH_PINCH];
}

int InjectorEvent::readPanelSlots()
{
    // The library's own reading: a node that does not answer is taken to
    // have the two slots a pinch needs.
    mPanelSlots = 2;
    const int fd = open(kTouchNode, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct input_absinfo info;
    memset(&info, 0, sizeof info);
    if (fd >= 0 && ioctl(fd, EVIOCGABS(ABS_MT_SLOT), &info) == 0)
        mPanelSlots = info.maximum < 0 ? 0 : info.maximum + 1;
    if (fd >= 0)
        close(fd);
    return mPanelSlots;
}

bool InjectorEvent::mapScreen(int width, int height)
{
    int rotate, swap, invertX, invertY;
    if (!panelKey("PANEL_ROTATE", {0, 90, 180, 270}, "0, 90, 180 or 270", &rotate) ||
        !panelKey("PANEL_SWAP_XY", {0, 1}, "0 or 1", &swap) || !panelKey("PANEL_INVERT_X", {0, 1}, "0 or 1", &invertX) ||
        !panelKey("PANEL_INVERT_Y", {0, 1}, "0 or 1", &invertY))
        return false;
    if (mLoadedPath[0] == '\0')
        return true;
    if (!mEventhandle.funcvality[SLOT_SCREEN_MAPPING]) {
        LOG(INFO) << "panel: the driver library lacks setScreenMapping: points written as screen pixels";
        return true;
    }
    const int flags = (swap ? kSwapXY : 0) | (invertX ? kInvertX : 0) | (invertY ? kInvertY : 0);
    int r[4] = {0, 0, 0, 0};
    if (slotFunction<MappingFn>(mEventhandle, SLOT_SCREEN_MAPPING)(width, height, rotate, flags, r) != 0) {
        LOG(INFO) << "panel: axis ranges unreadable: points written as screen pixels";
        return true;
    }
    std::string turned;
    const std::pair<const char*, int> keys[] = {
        {"PANEL_ROTATE", rotate}, {"PANEL_SWAP_XY", swap}, {"PANEL_INVERT_X", invertX}, {"PANEL_INVERT_Y", invertY}};
    for (const auto& k : keys)
        if (k.second != 0)
            turned += (turned.empty() ? " (" : " ") + std::string(k.first) + "=" + std::to_string(k.second);
    LOG(INFO) << "panel: x " << r[0] << ".." << r[1] << " y " << r[2] << ".." << r[3] << " for a " << width << "x"
              << height << " screen" << turned << (turned.empty() ? "" : ")");
    return true;
}

int InjectorEvent::inject(const Pointer& event, unsigned int pathSeed)
{
    if (event.eventTye != FACTOR_MOTION)
        return FeedInput(event);
    gRunState = initstate(pathSeed, gPathState, sizeof gPathState);
    int ret = FeedInput(event);
    if (gRunState != nullptr)
        setstate(gRunState);
    gRunState = nullptr;
    return ret;
}

char* InjectorEvent::GetLibarayVersion()
{
    if (!mEventhandle.funcvality[SLOT_VERSION])
        return kNoVersion;
    char* version = slotFunction<VersionFn>(mEventhandle, SLOT_VERSION)();
    // A library answering with no text at all is treated as one without a
    // version, rather than handing a null pointer to the caller's stream.
    return version != nullptr ? version : kNoVersion;
}
