// Problem: a stress run writes millions of input event records into the
// captured node, and whether every gesture arrived whole (no finger left
// down, no key left pressed, no stray record) is what the run must prove.
// Solution: a decoder fed in arbitrary chunks that follows each gesture
// record by record and counts what is whole, cut off or out of place.
#ifndef TAPFUZZ_TESTS_STRESS_EVSTREAM_H
#define TAPFUZZ_TESTS_STRESS_EVSTREAM_H

#include <linux/input.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct Gesture {
    enum Kind { Tap, Swipe, Key } kind = Tap;
    int x = 0, y = 0;        // where the finger went down
    int endX = 0, endY = 0;  // the last move of a swipe
    int moves = 0;           // move blocks, the final one included
    int code = 0;            // key code
};

class EventStream {
public:
    // keep: remember every whole gesture (for runs short enough to match
    // the node against the log line by line).
    explicit EventStream(bool keep = false) : keep_(keep) {}

    // Bytes as read from the node; a record may span two calls.
    void Feed(const char* data, size_t size);
    // The writer is gone: a gesture still open is counted as cut off.
    void Finish();

    uint64_t whole() const { return taps_ + swipes_ + keys_; }
    uint64_t taps() const { return taps_; }
    uint64_t swipes() const { return swipes_; }
    uint64_t keys() const { return keys_; }
    // Gestures begun but not completed: cut off by the next gesture, or
    // (after Finish) still open at the end.
    uint64_t broken() const { return broken_; }
    // Records that belong to no gesture, and records carrying a time.
    uint64_t stray() const { return stray_; }
    uint64_t stamped() const { return stamped_; }
    // After Finish: the node ended inside a touch or between a key's press
    // and its release.
    bool fingerDown() const { return fingerDown_; }
    bool keyDown() const { return keyDown_; }
    // Bytes left over that do not make a whole record (after Finish).
    size_t partialBytes() const { return pending_.size(); }
    // The first thing out of order, with its record index; empty if none.
    const std::string& firstProblem() const { return problem_; }
    const std::vector<Gesture>& gestures() const { return gestures_; }
    // True when everything decoded into whole gestures.
    bool clean() const
    {
        return broken_ == 0 && stray_ == 0 && stamped_ == 0 && !fingerDown_ && !keyDown_ &&
               pending_.empty();
    }

private:
    enum State { Idle, Down, Body, Move, Lift, KeyPress };

    void Record(const struct input_event& ev);
    void Start(const struct input_event& ev);
    void Mismatch(const struct input_event& ev, const char* what);
    void Complete(Gesture::Kind kind);
    void Note(const char* what);

    bool keep_;
    State state_ = Idle;
    int step_ = 0;
    Gesture cur_;
    int moveX_ = 0, moveY_ = 0;
    uint64_t index_ = 0;
    uint64_t taps_ = 0, swipes_ = 0, keys_ = 0, broken_ = 0, stray_ = 0, stamped_ = 0;
    bool fingerDown_ = false, keyDown_ = false;
    std::string pending_;
    std::string problem_;
    std::vector<Gesture> gestures_;
};

// Whether the text of a log file is made of whole lines: each starts with
// its bracketed time stamp and a known tag (or is a line of the event-mix
// printout, which one log line spreads over several) and the file ends
// with a line feed.
struct LineReport {
    size_t lines = 0;
    size_t bad = 0;          // lines that are not whole log lines
    bool tornTail = false;   // the last line has no line feed
    std::string firstBad;
};
LineReport CheckLines(const std::string& text);

// The messages of a log's INFO lines (what follows "[time][INFO]"), in order.
std::vector<std::string> InfoMessages(const std::string& log);

// Compares the per-event lines of a -v-v run ("Sending ..."), in order,
// with the whole gestures on the node. An event whose injection failed (its
// "Error ..." line comes right before its "Sending ..." line) left no whole
// gesture. Up to `extra` gestures may follow the last line (a run killed
// after a gesture and before its line).
bool MatchLog(const std::vector<std::string>& messages, const std::vector<Gesture>& node, size_t extra,
              std::string* why);

#endif
