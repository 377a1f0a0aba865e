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
#include "gesture/pointer.h"
#include "run/pacing.h"

int mVerbose = 0;
int currentargc = 0;
char processname[64] = "";
int mCount = 100;
unsigned int mSeconds = 0;
long long mSeedOption = -1;
const char* mReplayFile = nullptr;
int mReplayFrom = 1;
int mReplayTo = INT_MAX;
double mReplaySpeed = 1.0;
bool mStopOnCrash = false;
bool mExplore = false;
const char* mShrinkFile = nullptr;
int mShrinkCrash = 0;
int mShrinkTries = 200;
int mShrinkWait = 5;

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

// The percentage options, in the order they are matched, with the kind each
// one sets and the description handed to the number reader.
struct PercentOption {
    const char* name;
    int kind;
    const char* description;
};

const PercentOption kPercentOptions[] = {
    {"--pct-touch", FACTOR_TOUCH, "touch events percentage"},
    {"--pct-longclick", FACTOR_LONGCLICK, "longclick events percentage"},
    {"--pct-motion", FACTOR_MOTION, "motion events percentage"},
    {"--pct-presskey", FACTOR_PRESSKEY, "presskey events percentage"},
    {"--pct-pinch", FACTOR_PINCH, "pinch events percentage"},
};

const PercentOption* findPercentOption(const char* arg)
{
    for (const PercentOption& option : kPercentOptions) {
        if (strcmp(arg, option.name) == 0)
            return &option;
    }
    return nullptr;
}

// The element after an option is its value; at the end of argv that is the
// null entry, which callers treat as a missing value.
const char* optionValue(int argc, char** argv, int i)
{
    return i + 1 < argc ? argv[i + 1] : nullptr;
}

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
    if (value[0] < '0' || value[0] > '9')
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

enum ReproduceOption { kNotOurs, kTaken, kReplayRange, kShrinkOnly, kBadValue };

// --seed and the replay options. kBadValue after a log line when the value
// is missing or out of its range; kReplayRange for the options that only a
// replay takes.
ReproduceOption reproduceOption(const char* arg, const char* value, int i)
{
    long long n = 0;
    if (strcmp(arg, "--seed") == 0) {
        if (value == nullptr || !strictNumber(value, 0, 4294967295LL, &n)) {
            LOG(INFO) << "--seed needs a number from 0 to 4294967295";
            return kBadValue;
        }
        mSeedOption = n;
        currentargc = i + 2;
        return kTaken;
    }
    if (strcmp(arg, "--replay") == 0 || strcmp(arg, "--shrink") == 0) {
        if (value == nullptr)
            return kBadValue;
        (arg[2] == 'r' ? mReplayFile : mShrinkFile) = value;
        return kTaken;
    }
    // What a shrink takes: the crash's gesture, the tries, the wait for a dump.
    static const struct {
        const char* name;
        long long lo, hi;
        int* to;
    } kShrinkValues[] = {{"--crash", 1, INT_MAX, &mShrinkCrash}, {"--tries", 1, 1000000, &mShrinkTries},
                         {"--wait", 0, 3600, &mShrinkWait}};
    for (const auto& o : kShrinkValues) {
        if (strcmp(arg, o.name) != 0)
            continue;
        if (value == nullptr || !strictNumber(value, o.lo, o.hi, &n)) {
            LOG(INFO) << arg << " takes a number from " << o.lo << " to " << o.hi;
            return kBadValue;
        }
        *o.to = static_cast<int>(n);
        return kShrinkOnly;
    }
    const bool from = strcmp(arg, "--from") == 0;
    if (from || strcmp(arg, "--to") == 0) {
        if (value == nullptr || !strictNumber(value, 1, INT_MAX, &n)) {
            LOG(INFO) << arg << " needs a gesture index from 1 to " << INT_MAX;
            return kBadValue;
        }
        (from ? mReplayFrom : mReplayTo) = static_cast<int>(n);
        return kReplayRange;
    }
    if (strcmp(arg, "--speed") == 0) {
        // A factor read as nan, inf or a sign is no speed; one past these
        // bounds turns gaps into ages or nothing.
        char* end = nullptr;
        double f = value != nullptr && ((value[0] >= '0' && value[0] <= '9') || value[0] == '.')
                       ? strtod(value, &end)
                       : -1.0;
        if (end == nullptr || end == value || *end != '\0' || !(f == 0.0 || (f >= 0.001 && f <= 1000.0))) {
            LOG(INFO) << "--speed takes 0 (no pauses) or a factor from 0.001 to 1000";
            return kBadValue;
        }
        mReplaySpeed = f;
        return kReplayRange;
    }
    return kNotOurs;
}

// A run time alarm() cannot arm would never end the run, or end it far too
// early, so it is a usage error rather than something to wrap or clamp.
bool acceptRunHours(int hours)
{
    if (hours < 1 || hours > kMaxRunHours) {
        LOG(INFO) << "--hour " << hours << " refused: it takes 1 to " << kMaxRunHours << " hours";
        fprintf(stderr, "tapfuzz: --hour takes 1 to %d hours (the longest run an alarm can time)\n",
                kMaxRunHours);
        return false;
    }
    mRunHousr = hours;
    mSeconds = static_cast<unsigned int>(hours) * 3600u;
    return true;
}

}  // namespace

// After the walk: a shrink takes no --replay and no COUNT, and needs -a.
static bool shrinkOptionsFit(int argc, char** argv);

bool parse_opt(int argc, char** argv)
{
    bool replayOnly = false, shrinkOnly = false;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        const char* value = optionValue(argc, argv, i);

        ReproduceOption taken = reproduceOption(arg, value, i);
        if (taken == kBadValue)
            return false;
        replayOnly = replayOnly || taken == kReplayRange;
        shrinkOnly = shrinkOnly || taken == kShrinkOnly;
        if (taken != kNotOurs)
            continue;
        if (strcmp(arg, "-a") == 0) {
            if (value == nullptr)
                return false;
            if (strlen(value) >= sizeof processname)
                LOG(INFO) << "application name truncated to " << sizeof processname - 1 << " characters";
            snprintf(processname, sizeof processname, "%s", value);
            currentargc = i + 2;
        } else if (const PercentOption* option = findPercentOption(arg)) {
            if (value == nullptr) {
                if (option->kind == FACTOR_MOTION)
                    LOG(INFO) << "Please input motion percentage";
                return false;
            }
            mFactors[option->kind] = -nextOptionLong(value, option->description);
            currentargc = i + 2;
            if (option->kind == FACTOR_MOTION)
                LOG(DEBUG) << "current_argc4:" << currentargc;
        } else if (strcmp(arg, "--throttle") == 0) {
            if (value == nullptr)
                return false;
            int ms = floatToInt(nextOptionLong(value, "delay (in milliseconds) to wait between events"));
            // usleep takes an unsigned count: a negative pause would become
            // a wait of more than an hour, so it is dropped instead.
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
        } else if (strcmp(arg, "--stop-on-crash") == 0) {
            // A flag: COUNT may follow it, as it may follow -v.
            mStopOnCrash = true;
            currentargc = i + 1;
        } else if (strcmp(arg, "--explore") == 0) {
            mExplore = true;
            currentargc = i + 1;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            return false;
        } else if (strcmp(arg, "--hour") == 0) {
            if (value == nullptr)
                return false;
            if (!acceptRunHours(floatToInt(nextOptionLong(value, "process run time(unit:hour)"))))
                return false;
        }
    }

    if (shrinkOnly && mShrinkFile == nullptr) {
        LOG(INFO) << "--crash, --tries and --wait go with --shrink RECORD";
        return false;
    }
    if (mShrinkFile != nullptr)
        return shrinkOptionsFit(argc, argv);
    // A replay injects what its record holds: it takes no COUNT, and has
    // nothing to place.
    if (mReplayFile != nullptr && mExplore)
        LOG(INFO) << "--explore goes with a run, not with --replay";
    if (mReplayFile != nullptr)
        return !mExplore;
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
    RunOptions o;
    o.verbose = mVerbose;
    o.app = processname;
    o.count = mCount;
    o.hours = mRunHousr;
    o.seconds = mSeconds;
    o.seed = mSeedOption;
    o.replayFile = mReplayFile;
    o.replayFrom = mReplayFrom;
    o.replayTo = mReplayTo;
    o.replaySpeed = mReplaySpeed;
    o.stopOnCrash = mStopOnCrash;
    o.explore = mExplore;
    o.shrinkFile = mShrinkFile;
    o.shrinkCrash = mShrinkCrash;
    o.shrinkTries = mShrinkTries;
    o.shrinkWait = mShrinkWait;
    for (int i = 0; i < FACTORZ_COUNT; ++i)
        o.factors[i] = mFactors[i];
    return o;
}

namespace {

// Every word the two passes know, as they compare them, and whether the
// word after it is its value.
const struct {
    const char* name;
    bool value;
} kKnownWords[] = {
    {"-v", false},           {"-v-v", false},          {"-v-v-v", false},         {"--version", false},
    {"-a", true},            {"--pct-touch", true},    {"--pct-longclick", true}, {"--pct-motion", true},
    {"--pct-presskey", true}, {"--throttle", true},    {"--hour", true},          {"--seed", true},
    {"--replay", true},      {"--from", true},         {"--to", true},            {"--speed", true},
    {"--stop-on-crash", false}, {"--help", false},     {"-h", false},             {"--explore", false},
    {"--pct-pinch", true},
    {"--shrink", true},      {"--crash", true},        {"--tries", true},         {"--wait", true},
};

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
// and more after the "--"; "" otherwise.
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
    for (const auto& known : kKnownWords)
        consider(known.name);
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

}  // namespace

static bool shrinkOptionsFit(int argc, char** argv)
{
    bool count = false, value = false;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        bool known = false;
        for (const auto& word : kKnownWords)
            known = known || strcmp(argv[i], word.name) == 0;
        count = count || (!value && !known && readsAsNumber(argv[i]));
        value = false;
        for (const auto& word : kKnownWords)
            value = value || (word.value && strcmp(argv[i], word.name) == 0);
    }
    const char* why = mReplayFile != nullptr ? "--shrink RECORD takes no --replay"
                      : mExplore             ? "--shrink RECORD takes no --explore"
                      : count                ? "--shrink RECORD takes no COUNT"
                      : mReplayFrom != 1 || mReplayTo != INT_MAX ? "--shrink RECORD takes no --from or --to"
                      : processname[0] == '\0' ? "--shrink RECORD needs -a appname"
                                               : nullptr;
    if (why != nullptr)
        LOG(INFO) << why;
    return why == nullptr;
}

std::vector<std::string> unknownArguments(int argc, char** argv)
{
    // A run of hours or a replay has no COUNT; a run by count has it at
    // currentargc (the first word when nothing moved it) and last, where a
    // word that is no number is no COUNT either.
    const bool counted = mReplayFile == nullptr && mShrinkFile == nullptr && mRunHousr == 0;
    const int countAt = currentargc == 0 ? 1 : currentargc;
    std::vector<std::string> lines;
    bool value = false;  // the word is the value of the one before it
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        bool known = value || (counted && (i == countAt || i == argc - 1) && readsAsNumber(arg));
        value = false;
        for (const auto& word : kKnownWords) {
            if (strcmp(arg, word.name) == 0) {
                known = true;
                value = word.value;
            }
        }
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
    return "usage: tapfuzz :[-a appname] \n"
           "               [--pct-touch PERCENT]\n"
           "               [--pct-longclick PERCENT]\n"
           "               [--pct-motion PERCENT]\n"
           "               [--pct-presskey PERCENT]\n"
           "               [--pct-pinch PERCENT]\n"
           "               [--throttle MILLISEC]\n"
           "               [--seed N]\n"
           "               [--stop-on-crash]\n"
           "               [--explore]\n"
           "               [--help]\n"
           "               COUNT\n"
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
