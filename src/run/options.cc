// Problem: the command line sets the event mix, the pause, the run time, the
// verbosity and the number of events, and COUNT has to stand in one place.
// Solution: a pre-scan for the flags without values, then one walk over every
// argument for the options with values, then the COUNT rule; what both
// passes skip is named, with the nearest long option when it is close.
#include "run/options.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <stdexcept>

#include "base/log_text.h"
#include "base/logger.h"
#include "gesture/kinds.h"
#include "run/pacing.h"

int mVerbose = 0;
int currentargc = 0;
char processname[64] = "";
int mCount = 100;
unsigned int mSeconds = 0;

// A percentage given on the command line is stored negated, so that 0 or
// below marks a kind the user set; 1.0 means "keep the default weight".
static float mFactors[FACTORZ_COUNT] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
static int mRunHousr = 0;

// The longest pause whose microseconds still fit the 32-bit mThrottle.
static const int kMaxThrottleMs = 2147483;
// The longest run whose seconds alarm() can arm everywhere: on 32-bit
// systems it refuses anything above INT_MAX seconds.
static const int kMaxRunHours = 596523;

float getOptionFactor(int index)
{
    if (index < 0 || index >= FACTORZ_COUNT)
        return 1.0f;
    return mFactors[index];
}

void setOptionFactor(int index, float value)
{
    if (index < 0 || index >= FACTORZ_COUNT)
        return;
    mFactors[index] = value;
}

int getRunHours()
{
    return mRunHousr;
}

bool preScanOptions(int argc, char** argv)
{
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        int add = 0;
        if (strcmp(arg, "-v") == 0)
            add = 1;
        else if (strcmp(arg, "-v-v") == 0)
            add = 2;
        else if (strcmp(arg, "-v-v-v") == 0)
            add = 3;
        if (add != 0) {
            mVerbose += add;
            currentargc = i + 1;
        }
        // The version is printed at once, so flags behind it never count.
        if (strcmp(arg, "--version") == 0)
            return true;
    }
    return false;
}

namespace {

// The options of tapfuzz's own, beside the globals above: the walk fills
// them, runOptions() hands them on.
RunOptions gOwn;

bool countRule(int argc, char** argv)
{
    if (argc < 1)
        return false;
    if (currentargc == 0)
        currentargc = 1;
    int argc_count = floatToInt(nextOptionLong(argv[argc - 1], "the loop times of argc events"));
    const char* at = (currentargc > 0 && currentargc < argc) ? argv[currentargc] : nullptr;
    int argv_count = floatToInt(nextOptionLong(at, "the loop times of argv events"));
    if (argc_count != 0 && argv_count == argc_count) {
        mCount = argc_count;
        return true;
    }
    return false;
}

// The values of --seed, --from, --to and --speed must be read whole: a seed
// or an index read leniently would silently replay something else.
bool strictNumber(const char* value, long long lo, long long hi, long long* out)
{
    if (value == nullptr || value[0] < '0' || value[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(value, &end, 10);
    if (errno != 0 || *end != '\0' || v < static_cast<unsigned long long>(lo) ||
        v > static_cast<unsigned long long>(hi))
        return false;
    *out = static_cast<long long>(v);
    return true;
}

// What an option did to the walk: taken, taken but only a replay (or only a
// shrink) takes it, or the command line is refused. `value` is the next
// word, null at the end of argv.
enum Verdict { kTaken, kReplayOnly, kShrinkOnly, kRefused };
using Walk = Verdict (*)(const char* arg, const char* value, int i);

Verdict takeApp(const char*, const char* value, int i)
{
    if (value == nullptr)
        return kRefused;
    if (strlen(value) >= sizeof processname)
        LOG(INFO) << "application name truncated to " << sizeof processname - 1 << " characters";
    snprintf(processname, sizeof processname, "%s", value);
    currentargc = i + 2;
    return kTaken;
}

Verdict takePercent(const char* arg, const char* value, int i)
{
    const GestureKind* kind = nullptr;
    for (const GestureKind& k : kGestureKinds)
        kind = strcmp(arg, k.option) == 0 ? &k : kind;
    if (value == nullptr) {
        if (kind->kind == FACTOR_MOTION)
            LOG(INFO) << "Please input motion percentage";
        return kRefused;
    }
    mFactors[kind->kind] = -nextOptionLong(value, kind->optionText);
    currentargc = i + 2;
    // The walk's lines are parse_opt's, wherever its table sends it.
    if (kind->kind == FACTOR_MOTION)
        Logger(DEBUG).start(DEBUG, __LINE__, "parse_opt") << "current_argc4:" << currentargc;
    return kTaken;
}

Verdict takeThrottle(const char*, const char* value, int i)
{
    if (value == nullptr)
        return kRefused;
    int ms = floatToInt(nextOptionLong(value, "delay (in milliseconds) to wait between events"));
    // usleep takes an unsigned count: a negative pause would become a wait
    // of more than an hour, so it is dropped instead.
    if (ms < 0) {
        LOG(INFO) << "negative --throttle " << ms << " ignored: the profile's pause range applies";
        mThrottle = 0;
    } else if (static_cast<int64_t>(ms) * 1000 > INT32_MAX) {
        LOG(INFO) << "--throttle " << ms << " too large: clamped to " << kMaxThrottleMs << " ms";
        mThrottle = static_cast<long>(kMaxThrottleMs) * 1000;
    } else {
        mThrottle = static_cast<long>(ms) * 1000;
    }
    currentargc = i + 2;
    return kTaken;
}

Verdict takeSeed(const char*, const char* value, int i)
{
    long long n = 0;
    if (!strictNumber(value, 0, 4294967295LL, &n)) {
        LOG(INFO) << "--seed needs a number from 0 to 4294967295";
        return kRefused;
    }
    gOwn.seed = n;
    currentargc = i + 2;
    return kTaken;
}

Verdict takeMaxCrashes(const char*, const char* value, int i)
{
    long long n = 0;
    if (!strictNumber(value, 1, 1000000, &n)) {
        LOG(INFO) << "--max-crashes needs a number from 1 to 1000000";
        return kRefused;
    }
    gOwn.maxCrashes = static_cast<long>(n);
    currentargc = i + 2;
    return kTaken;
}

// A flag: COUNT may follow it, as it may follow -v.
Verdict takeStopOnCrash(const char*, const char*, int i)
{
    gOwn.stopOnCrash = true;
    currentargc = i + 1;
    return kTaken;
}

Verdict takeExplore(const char*, const char*, int i)
{
    gOwn.explore = true;
    currentargc = i + 1;
    return kTaken;
}

Verdict takeHelp(const char*, const char*, int)
{
    return kRefused;
}

// A run time alarm() cannot arm would never end the run, or end it far too
// early, so it is a usage error rather than something to wrap or clamp.
Verdict takeHour(const char*, const char* value, int)
{
    if (value == nullptr)
        return kRefused;
    int hours = floatToInt(nextOptionLong(value, "process run time(unit:hour)"));
    if (hours < 1 || hours > kMaxRunHours) {
        LOG(INFO) << "--hour " << hours << " refused: it takes 1 to " << kMaxRunHours << " hours";
        fprintf(stderr, "tapfuzz: --hour takes 1 to %d hours (the longest run an alarm can time)\n",
                kMaxRunHours);
        return kRefused;
    }
    mRunHousr = hours;
    mSeconds = static_cast<unsigned int>(hours) * 3600u;
    return kTaken;
}

// --replay FILE and --shrink RECORD.
Verdict takeRecord(const char* arg, const char* value, int)
{
    if (value == nullptr)
        return kRefused;
    (strcmp(arg, "--replay") == 0 ? gOwn.replayFile : gOwn.shrinkFile) = value;
    return kTaken;
}

Verdict takeRange(const char* arg, const char* value, int)
{
    long long n = 0;
    if (!strictNumber(value, 1, INT_MAX, &n)) {
        LOG(INFO) << arg << " needs a gesture index from 1 to " << INT_MAX;
        return kRefused;
    }
    (strcmp(arg, "--from") == 0 ? gOwn.replayFrom : gOwn.replayTo) = static_cast<int>(n);
    return kReplayOnly;
}

Verdict takeSpeed(const char*, const char* value, int)
{
    // A factor read as nan, inf or a sign is no speed; one past these
    // bounds turns gaps into ages or nothing.
    char* end = nullptr;
    double f = value != nullptr && ((value[0] >= '0' && value[0] <= '9') || value[0] == '.') ? strtod(value, &end) : -1.0;
    if (end == nullptr || end == value || *end != '\0' || !(f == 0.0 || (f >= 0.001 && f <= 1000.0))) {
        LOG(INFO) << "--speed takes 0 (no pauses) or a factor from 0.001 to 1000";
        return kRefused;
    }
    gOwn.replaySpeed = f;
    return kReplayOnly;
}

// What a shrink takes: the crash's gesture, the tries, the wait for a dump.
Verdict takeShrinkNumber(const char* arg, const char* value, int)
{
    static const struct {
        const char* name;
        long long lo, hi;
        int RunOptions::*to;
    } kShrinkValues[] = {{"--crash", 1, INT_MAX, &RunOptions::shrinkCrash},
                         {"--tries", 1, 1000000, &RunOptions::shrinkTries},
                         {"--wait", 0, 3600, &RunOptions::shrinkWait}};
    for (const auto& o : kShrinkValues) {
        long long n = 0;
        if (strcmp(arg, o.name) != 0)
            continue;
        if (!strictNumber(value, o.lo, o.hi, &n)) {
            LOG(INFO) << arg << " takes a number from " << o.lo << " to " << o.hi;
            return kRefused;
        }
        gOwn.*o.to = static_cast<int>(n);
    }
    return kShrinkOnly;
}

// Every option both passes know, in the order of the usage text: its word,
// whether the word after it is its value, what the walk does with it (null
// for the pre-scan's), and what the usage text shows of its value (null:
// the text does not name it; "": a flag).
const struct OptionRow {
    const char* name;
    bool value;
    Walk walk;
    const char* usage;
} kOptions[] = {
    {"-a", true, takeApp, "appname"},
    {kGestureKinds[FACTOR_TOUCH].option, true, takePercent, "PERCENT"},
    {kGestureKinds[FACTOR_LONGCLICK].option, true, takePercent, "PERCENT"},
    {kGestureKinds[FACTOR_MOTION].option, true, takePercent, "PERCENT"},
    {kGestureKinds[FACTOR_PRESSKEY].option, true, takePercent, "PERCENT"},
    {kGestureKinds[FACTOR_PINCH].option, true, takePercent, "PERCENT"},
    {"--throttle", true, takeThrottle, "MILLISEC"},
    {"--seed", true, takeSeed, "N"},
    {"--stop-on-crash", false, takeStopOnCrash, ""},
    {"--max-crashes", true, takeMaxCrashes, "N"},
    {"--explore", false, takeExplore, ""},
    {"--help", false, takeHelp, ""},
    {"-h", false, takeHelp, nullptr},
    {"--hour", true, takeHour, nullptr},
    {"--replay", true, takeRecord, nullptr},
    {"--from", true, takeRange, nullptr},
    {"--to", true, takeRange, nullptr},
    {"--speed", true, takeSpeed, nullptr},
    {"--shrink", true, takeRecord, nullptr},
    {"--crash", true, takeShrinkNumber, nullptr},
    {"--tries", true, takeShrinkNumber, nullptr},
    {"--wait", true, takeShrinkNumber, nullptr},
    {"-v", false, nullptr, nullptr},
    {"-v-v", false, nullptr, nullptr},
    {"-v-v-v", false, nullptr, nullptr},
    {"--version", false, nullptr, nullptr},
};

const OptionRow* findOption(const char* word)
{
    for (const OptionRow& row : kOptions)
        if (strcmp(word, row.name) == 0)
            return &row;
    return nullptr;
}

// Edits (a character inserted, removed, replaced, or two neighbours
// swapped) that turn a into b.
size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// The long option nearest to `word` (--report too, which only a first
// argument is), when it is one edit away, or two for a name of 8 characters
// and more after the "--"; "" otherwise. Of two as near, the first in the
// table.
std::string nearestOption(const std::string& word)
{
    if (word.compare(0, 2, "--") != 0 || word.size() > 64)
        return "";
    const size_t most = std::max<size_t>(1, (word.size() - 2) / 4);
    std::string best;
    size_t bestDistance = most + 1;
    auto consider = [&](const char* name) {
        const size_t distance = strncmp(name, "--", 2) == 0 ? editDistance(word, name) : 0;
        if (distance > 0 && distance < bestDistance)
            best = name, bestDistance = distance;
    };
    for (const OptionRow& row : kOptions)
        consider(row.name);
    consider("--report");
    return best;
}

// A word the COUNT rule reads a number from: blanks, a sign, then a digit.
bool readsAsNumber(const char* word)
{
    while (*word == ' ' || (*word >= '\t' && *word <= '\r'))
        ++word;
    if (*word == '+' || *word == '-')
        ++word;
    return *word >= '0' && *word <= '9';
}

// After the walk: a shrink takes no --replay and no COUNT, and needs -a.
bool shrinkOptionsFit(int argc, char** argv)
{
    bool count = false, value = false;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const OptionRow* row = findOption(argv[i]);
        count = count || (!value && row == nullptr && readsAsNumber(argv[i]));
        value = row != nullptr && row->value;
    }
    const char* why = gOwn.replayFile != nullptr ? "--shrink RECORD takes no --replay"
                      : gOwn.explore             ? "--shrink RECORD takes no --explore"
                      : count                    ? "--shrink RECORD takes no COUNT"
                      : gOwn.replayFrom != 1 || gOwn.replayTo != INT_MAX ? "--shrink RECORD takes no --from or --to"
                      : processname[0] == '\0'   ? "--shrink RECORD needs -a appname"
                                                 : nullptr;
    if (why != nullptr)
        LOG(INFO) << why;
    return why == nullptr;
}

}  // namespace

bool parse_opt(int argc, char** argv)
{
    bool replayOnly = false, shrinkOnly = false;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        // The element after an option is its value; at the end of argv that
        // is the null entry, which the walks take for a missing value.
        const OptionRow* row = findOption(argv[i]);
        if (row == nullptr || row->walk == nullptr)
            continue;
        Verdict verdict = row->walk(argv[i], i + 1 < argc ? argv[i + 1] : nullptr, i);
        if (verdict == kRefused)
            return false;
        replayOnly = replayOnly || verdict == kReplayOnly;
        shrinkOnly = shrinkOnly || verdict == kShrinkOnly;
    }

    if (shrinkOnly && gOwn.shrinkFile == nullptr) {
        LOG(INFO) << "--crash, --tries and --wait go with --shrink RECORD";
        return false;
    }
    if (gOwn.shrinkFile != nullptr)
        return shrinkOptionsFit(argc, argv);
    // A replay injects what its record holds: it takes no COUNT, and has
    // nothing to place.
    if (gOwn.replayFile != nullptr && gOwn.explore)
        LOG(INFO) << "--explore goes with a run, not with --replay";
    if (gOwn.replayFile != nullptr)
        return !gOwn.explore;
    if (replayOnly) {
        LOG(INFO) << "--from, --to and --speed go with --replay FILE";
        return false;
    }
    if (mRunHousr != 0) {
        LOG(INFO) << "process run hour:" << mRunHousr;
        return true;
    }
    return countRule(argc, argv);
}

RunOptions runOptions()
{
    RunOptions o = gOwn;
    o.verbose = mVerbose;
    o.app = processname;
    o.count = mCount;
    o.hours = mRunHousr;
    o.seconds = mSeconds;
    for (int i = 0; i < FACTORZ_COUNT; ++i)
        o.factors[i] = mFactors[i];
    return o;
}

std::vector<std::string> unknownArguments(int argc, char** argv)
{
    // A run of hours or a replay has no COUNT; a run by count has it at
    // currentargc (the first word when nothing moved it) and last, where a
    // word that is no number is no COUNT either.
    const bool counted = gOwn.replayFile == nullptr && gOwn.shrinkFile == nullptr && mRunHousr == 0;
    const int countAt = currentargc == 0 ? 1 : currentargc;
    std::vector<std::string> lines;
    bool value = false;  // the word is the value of the one before it
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        const OptionRow* row = findOption(arg);
        const bool known = row != nullptr || value || (counted && (i == countAt || i == argc - 1) && readsAsNumber(arg));
        value = row != nullptr && row->value;
        if (known)
            continue;
        std::string line = "tapfuzz: ignoring unknown argument '" + escapeLogText(arg) + "'";
        const std::string nearest = nearestOption(arg);
        if (!nearest.empty())
            line += " (did you mean " + nearest + "?)";
        lines.push_back(line);
    }
    return lines;
}

void noteUnknownArguments(int argc, char** argv)
{
    for (const std::string& line : unknownArguments(argc, argv)) {
        fprintf(stderr, "%s\n", line.c_str());
        LOG(INFO) << line;
    }
}

bool processOptions(int argc, char** argv)
{
    try {
        return parse_opt(argc, argv);
    } catch (const std::invalid_argument&) {
        return false;
    }
}

std::string showusage()
{
    // The first line ends in a blank; the others stand under its first '['.
    std::string text;
    for (const OptionRow& row : kOptions) {
        if (row.usage == nullptr)
            continue;
        const std::string item = std::string("[") + row.name + (row.usage[0] != '\0' ? " " : "") + row.usage + "]";
        text += text.empty() ? "usage: tapfuzz :" + item + " \n" : "               " + item + "\n";
    }
    return text + "               COUNT\n"
                  "       tapfuzz --replay FILE [--from N] [--to M] [--speed F]\n"
                  "       tapfuzz -a appname --shrink RECORD [--crash N] [--tries T] [--wait S] [--speed F] [--hour H]\n"
                  "       tapfuzz --report FOLDER [FOLDER...]\n";
}

float nextOptionLong(const char* argv, std::string str)
{
    (void)str;
    if (argv == nullptr)
        return 0.0f;
    return static_cast<float>(strtol(argv, nullptr, 10));
}

int floatToInt(float value)
{
    // 2^31 is exactly representable; anything at or beyond it saturates.
    if (value != value)
        return 0;
    if (value >= 2147483648.0f)
        return INT32_MAX;
    if (value <= -2147483648.0f)
        return INT32_MIN;
    return static_cast<int>(value);
}
