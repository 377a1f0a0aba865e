// Problem: a dump alone does not say what the device showed, which run and
// seed made it, or what was injected just before.
// Solution: when a dump is first seen the screen is read; once it is saved,
// a picture and a text go beside it: <saved>.png and <saved>.txt with the
// seed, the command line, the last gesture, the dump's signature, the last
// 50 gestures of the run record and the last 50 lines of the main log. With
// --stop-on-crash the first such dump (the application's, when one is
// named) ends the run.
#ifndef TAPFUZZ_WATCH_CRASH_BUNDLE_H
#define TAPFUZZ_WATCH_CRASH_BUNDLE_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>

#include "base/screen_reader.h"

class AppWatch;

class CrashBundle {
public:
    // `app`: the application watched (nullptr: none named). `requestStop`
    // asks the run to end with a status; with `stopOnCrash` it is asked for
    // 3 once the first dump that counts is saved and bundled.
    CrashBundle(long long seed, std::string command, bool stopOnCrash, const AppWatch* app,
                std::function<void(int status)> requestStop);

    // A dump first seen in the dump folder (its name there) after gesture
    // `after`: the screen of this moment goes into its bundle.
    void dumpFound(const std::string& dumpName, int after);
    // The dump was saved at `saved` (its file `owner`'s, its signature's
    // text `signature` and the crashing thread's `backtrace`, a line a
    // frame): marks the application's dumps ("app crash:" line), writes the
    // bundle, and ends the run if asked to.
    void dumpSaved(const std::string& saved, const std::string& dumpName, uid_t owner, const std::string& signature,
                   const std::string& backtrace = "");
    // True once it asked the run to end.
    bool stopAsked() const { return mStopAsked; }

private:
    struct Found {
        long event = 0;
        ScreenReader screen;
        std::string why;  // when the screen could not be read
    };
    void writeBundle(const std::string& saved, const Found& found, bool ours, const std::string& signature,
                     const std::string& backtrace);

    long long mSeed;
    std::string mCommand;
    bool mStopAfterDump;
    const AppWatch* mApp;
    std::function<void(int)> mRequestStop;
    bool mStopAsked = false;
    std::map<std::string, Found> mFound;  // dumps seen, not yet saved
};

#endif
