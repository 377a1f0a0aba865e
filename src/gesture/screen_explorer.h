// Problem: uniform placement spends most gestures on empty background and
// seldom reaches screens a few levels deep; a bare frame buffer offers no UI
// tree to steer by, and a user comparing runs needs to see how much of the
// application a run reached.
// Solution: a coarse look at the frame buffer before each gesture: a grid of
// sampled cells whose colours name the screen shown (a few changed cells
// keep the name), cells seen changing with no input in between (a blinking
// cursor, a clock, an animation) left out of the name, a memory per screen of
// the cells tried and where they led, and clicks and long clicks placed by it.
// The same look, without placing anything, counts the screens and the
// gestures that changed nothing in every run.
#ifndef TAPFUZZ_GESTURE_SCREEN_EXPLORER_H
#define TAPFUZZ_GESTURE_SCREEN_EXPLORER_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/screen_reader.h"
#include "gesture/pointer.h"
#include "gesture/zones.h"

// What the run has seen so far. Any thread; known is false before the
// first look and in a run that cannot read the screen.
struct ScreenFigures {
    bool known = false;
    int screens = 0;      // distinct screens seen, each in two looks or more
    int noopPercent = 0;  // share of gestures after which the screen was the same
};
ScreenFigures screenFigures();
// "screens:N no-op:P%", or "screens:unknown no-op:unknown".
std::string screenFiguresText(const ScreenFigures& figures);

class ScreenExplorer {
public:
    // `grid`: SCREEN_BASIC_SIZE, the cell's least side. `steer`: --explore;
    // without it the explorer only looks and counts. `still`: what happens
    // between a look and its second look with no input in between; by
    // default a sleep of kStillMs.
    ScreenExplorer(int grid, std::vector<Zone> zones, bool steer, std::function<void()> still = {});
    // Opens the frame buffer at `path` and learns its layout. False with
    // *why when it cannot be read: the run then places uniformly and its
    // figures stay unknown.
    bool open(const char* path, std::string* why);
    // Looks no more: the figures stay unknown.
    void close() { mFd.reset(); }
    bool looking() const { return mFd.get() >= 0; }
    // The generator of the places chosen, from the run's seed.
    void seed(uint64_t seed);
    // Reads the screen as it is now: once per gesture, before it is injected.
    void look();
    // Moves a click or long click onto a cell chosen from what the last look
    // saw (outside the zones); other kinds and a run without --explore are
    // left as drawn, and so is a gesture no free place was found for.
    void place(Pointer* event);
    // Cells seen changing by themselves, left out of the screens' names.
    int volatileCells() const { return mVolatileCount; }
    // Second looks taken so far.
    long long stillLooks() const { return mStillLooks; }
    // The screen the last look saw (-1 before any), and whether it was new.
    int screen() const { return mCurrent; }
    bool screenWasNew() const { return mFresh; }
    // The wait before a second look, in milliseconds.
    static const int kStillMs = 40;

private:
    struct State {
        std::vector<uint16_t> cells;  // colour per cell, 3 bits a channel
        uint16_t background = 0;      // the commonest cell colour
        std::vector<uint16_t> tries;  // gestures placed on each cell
        std::vector<uint8_t> held;    // long clicks among them
        std::vector<int16_t> ledTo;   // the other screen the cell led to last, -1: none
        std::vector<uint8_t> detail;  // a small thing drawn in the cell (an icon, a letter): its own control
        int seen = 0;
        int offers = 0;               // cells drawn on and never tried
        // Changing by itself even where no other screen does (an animated
        // image filling it): told by its colours' counts, not their places.
        std::vector<uint8_t> histogram;
        int merged = -1;  // the screen it turned out to be, once its differences were learnt to change by themselves
    };
    void mergeStates();
    static const size_t kBlocks = 4;
    void histogram(const std::vector<uint16_t>& cells, std::vector<uint8_t>* out) const;
    static int histogramDistance(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
    int distance(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, int limit) const;
    void readCells();
    void stillLook(bool known);
    int noteChanges(const std::vector<uint8_t>& moved);
    int findState(const std::vector<uint16_t>& cells);
    int newState(const std::vector<uint16_t>& cells);
    bool odd(uint16_t sample, uint16_t cell) const;
    bool hasDetail(size_t cell, const std::vector<uint16_t>& cells, uint16_t background) const;
    int tolerance() const;
    void learn(State& from, size_t cell, int now);
    int chooseCell(bool longClick);
    uint64_t draw();
    void publish() const;

    int mGrid;
    std::vector<Zone> mZones;
    bool mSteer;
    Fd mFd;
    FrameLayout mLayout;
    int mCell = 0, mCols = 0, mRows = 0, mSub = 0;  // cell side, cells across and down, samples a cell side
    std::vector<unsigned> mSampleX, mSampleY;        // sampled columns and rows, in pixels
    std::vector<uint32_t> mCellOfX;                  // per sampled column: its cell's first sum in a row
    std::vector<unsigned char> mRow;                 // one sampled row's bytes
    bool mFresh = false;
    std::vector<uint16_t> mSamples;                  // the last look, 3 bits a channel
    std::vector<uint32_t> mSums;                     // per cell and channel, while looking
    std::vector<uint16_t> mLook;                     // the last look's cells
    std::vector<State> mStates;
    std::vector<double> mWeights;  // per cell, while choosing
    std::vector<size_t> mArea;     // while learning: the cells of one drawn area
    std::vector<uint8_t> mInArea;
    std::vector<uint32_t> mLeaves;  // per cell: gestures on it that changed any screen
    std::function<void()> mStill;
    std::vector<uint8_t> mChanges;   // per cell: second looks that saw it change
    std::vector<uint8_t> mVolatile;  // per cell: 1 when left out of the names
    int mVolatileCount = 0;
    bool mMaskChanged = false;  // cells left out since the screens were last merged
    std::vector<uint16_t> mFirst;     // during a second look: the first one's cells
    std::vector<uint16_t> mLast;      // the look before this one
    std::vector<uint8_t> mMoved;      // during a second look: per cell, changed in the last interval
    std::vector<uint8_t> mPending;    // per cell: changed between the last two looks, named mPendingState
    int mPendingState = -1;
    std::vector<uint8_t> mHistogram;  // while naming: the look's colour counts by region
    bool mRestless = false;           // the last second look saw named cells change
    long long mLooks = 0, mStillLooks = 0;
    int mCurrent = -1;              // the screen of the last look
    int mLastCell = -1;             // where the last gesture was placed (-1: nowhere the explorer chose)
    bool mLastHeld = false;
    int mSame = 0;                  // looks in a row on the same screen
    int mCounted = 0;               // screens seen in two looks or more
    long long mGestures = 0, mNoops = 0;
    uint64_t mRng = 0;
};

#endif
