// Problem: --report runs as root over a results folder beside a world-writable
// /tmp and an application under suspicion: its inputs may be huge (a night's
// record, a looping log), damaged, or planted, and the page it writes is
// read by anyone.
// Solution: readers that stream their input line by line into bounded
// per-run figures. They take any stream of bytes, so a fuzzer can feed them.
#ifndef TAPFUZZ_REPORT_REPORT_READER_H
#define TAPFUZZ_REPORT_REPORT_READER_H

#include <dirent.h>
#include <stddef.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gesture/pointer.h"
#include "report/crash_groups.h"
// Lines of a descriptor or of memory, without their '\n'. A line longer than
// kMaxLine bytes comes cut to that length, with *cut set.
class LineReader {
public:
    static const size_t kMaxLine = 64 * 1024;
    explicit LineReader(int fd);  // not owned
    LineReader(const char* data, size_t size);
    bool next(std::string* line, bool* cut);  // false at the end or on a read error
    bool failed() const { return mFailed; }

private:
    bool fill();
    int mFd = -1;
    const char* mData = nullptr;
    std::unique_ptr<char[]> mBuf;
    size_t mAt = 0, mEnd = 0;
    bool mFailed = false;
};

// A crash (the application's, or any program's when the run names none), a
// dump the run's application is not known to have left, a freeze or an
// application exit, at the gesture index it came after.
struct ReportMark {
    std::string what, time, program, pid, saved, message, shot;
    int event = 0;
};

// What the report keeps of one run: figures, never the gestures themselves.
struct ReportRun {
    std::string name;
    bool listed = false;  // its record is in the folder's listing
    // From the main log.
    std::map<std::string, std::string> appCrash;  // saved dump -> application
    std::string lastStamp, stopSignal;
    long long injected = -1;  // the summary's count; -1 without a summary
    std::string progress;     // the last "progress:" line, with its time
    // From the record.
    std::map<std::string, std::string> head;  // "# key:value"
    bool namesApp = false;                    // the command has -a NAME
    long long gestures = 0, counts[FACTORZ_COUNT] = {}, lastAt = 0;
    std::vector<long long> perMinute;
    std::vector<unsigned> cells;  // touches per cell, row by row
    int width = 0, height = 0, cell = 0, cols = 0, rows = 0;
    long long mostInCell = 0, offScreen = 0;
    std::string swipes;  // SVG path of the first swipes
    long long swipesDrawn = 0, swipesAll = 0;
    std::string pinches;  // SVG path of both fingers of the first pinches
    long long pinchesDrawn = 0;
    // Both.
    std::vector<ReportMark> marks;
    CrashGroups distinct;  // all its crashes, listed or not
    long long kinds[4] = {0, 0, 0, 0};  // crash, dump, freeze, exit: all, listed or not
    long long unlisted = 0;
    size_t markBytes = 0;  // text of the marks kept from the record
    struct Before {
        long long at = -1;
        std::vector<std::string> lines;
    };
    std::map<int, Before> before;  // by mark event: its time, the last 5 gestures up to it
    std::vector<std::string> notes;
    long long notesLeft = 0;
    bool grid = false;  // the touch map's cells are laid out
    int freezeAt = -1;  // the mark a "freeze: screenshot" line belongs to
};

struct ReportFolder {
    std::string path;  // as given, without trailing slashes
    size_t index = 0;  // among the folders given; the page's ids of its runs begin "INDEX/" past the first
    int fd = -1;       // the folder itself while it is read; -1: no file is looked for in it
    dev_t dev = 0;     // the folder as first opened: a later open must find the same
    ino_t ino = 0;
    bool again = false;  // the same folder as one given before it: reported once
    std::map<std::string, ReportRun> runs;
    // Shrinks' results by the run and gesture of the crash they shrank:
    // their gestures and their path.
    std::map<std::pair<std::string, int>, std::pair<long long, std::string>> shrunk;
    std::vector<std::string> notes;
    long long notesLeft = 0, runsLeft = 0;
    size_t logBytes = 0;     // text of the marks and app crashes kept from the log, all runs
    long long inlined = 0;   // bytes of screenshots in the page
    int tests = 0, failures = 0;
};

// The main log: each run's lines, between its "record:" line and the next
// "seed:" line, into the run of that record's base name.
void readMainLog(LineReader& in, ReportFolder& folder);
// A run record, first pass: header, figures, crash lines. After the log:
// whose crash a dump is comes from its "app crash:" lines. Crashes are
// grouped by the key a crash line ends with (" signature:KEY"; records
// written before there was one give "unknown").
void readRecord(LineReader& in, ReportRun& run);
// Puts the marks in gesture order, for the second pass.
void sortMarks(ReportRun& run);
// A run record, second pass: the time of each mark and the gestures before.
void readGesturesBefore(LineReader& in, ReportRun& run);
// Shared with the page and the folder's walk.
const size_t kMaxRuns = 1000;        // runs reported per folder
const size_t kMaxNotes = 50;         // per run; the folder's list holds 20 times that
// A regular file under `dir` (or AT_FDCWD), opened without following a link
// in the last step and without waiting on a FIFO or a device that a hostile
// name may be; -1 with *why ("missing", "a symbolic link, not followed", ...).
int openRegular(int dir, const std::string& path, struct stat* st, std::string* why);
// The folder at folder.path opened (folder.fd is its descriptor, dev and
// ino are set), or null with errno. Opened before (`same` given), it must
// be the folder it was: else null, with *same false.
DIR* openFolder(ReportFolder& folder, bool* same);
// A run record's file name, run-<something>.events, cut to the run's name;
// false (and *name untouched) for any other name.
bool cutRunName(std::string* name);
// Keeps `note` (cut to 1 KB) while the list holds fewer than `most`,
// else counts it in `left`.
void addNote(std::vector<std::string>& notes, long long& left, const std::string& note, size_t most = kMaxNotes);
// 0 .. 3 for a crash, dump, freeze or exit.
int markKind(const std::string& what);
// The touch map's cells: the record's grid, doubled until the screen holds
// at most 250000 of them; none when the record gives no screen.
void layOut(ReportRun& run);

#endif
