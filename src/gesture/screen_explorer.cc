// Problem: the screen must be looked at before every gesture on a small
// device without costing the run its pace, told apart from the last one
// despite a blinking cursor, a clock or an animation, and steered towards
// screens not yet reached, the same way each time for one seed and one
// application.
// Solution: a pread of only the sampled rows, a few samples a cell, cell
// colours compared with a tolerance of a few cells; now and then a second
// look a few tens of milliseconds after the first, with nothing injected in
// between, whose changed cells are left out of the comparison; and weighted
// choices from a generator of its own seeded from the run's seed.
#include "gesture/screen_explorer.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>

namespace {

// Cells a screen is cut into at most: a state costs 7 bytes a cell.
const int kMaxCells = 1024;
// Screens told apart at most; a screen seen beyond them counts as the
// nearest one known (at 1024 cells, about 1.8 MB in all).
const size_t kMaxStates = 256;
// Samples along a cell's side.
const int kSamplesPerSide = 4;
// Looks in a row on one screen after which places that left other screens
// (a back button) are favoured.
const int kStuckLooks = 12;
// Every this many looks a second one follows, besides the first look at a
// screen not known yet: an animation that starts late, or shows only now
// and then, is still learnt.
const long long kStillEvery = 16;
// Second looks in a row at most while the screen still changes in more than
// a quarter of its cells: a screen sliding in settles within them, and is
// not taken for an animation.
const int kStillTries = 3;
// Second looks' waits after a screen seen changing before the pair of looks
// that decides: a page that slides or fades in, drawn in software on a slow
// device, may take most of a second, and only what still changes after it
// is an animation.
const int kSettleStills = 24;
// Second looks that must see a cell change before it is left out of the
// names: one screen caught while being redrawn is not enough.
const int kVolatileAfter = 2;
// A screen changing by itself past the cap matches a look whose colour
// counts by region are within this many tolerances of its own.
const int kRestlessTolerance = 4;

void sleepMs(int ms)
{
    struct timespec left = {0, ms * 1000000L};
    // A signal cuts the wait short: the run's stop is then not held back.
    nanosleep(&left, &left);
}

// The figures, packed so that a reader on another thread never sees half of
// an update: bit 31 known, bits 16..22 the no-op percentage, 0..15 screens.
std::atomic<uint32_t> gFigures{0};

// A channel of `f.length` bits as 8 bits (the low bits of a narrow one 0).
unsigned channel8(uint32_t pixel, const struct fb_bitfield& f)
{
    if (f.length == 0)
        return 0;
    uint32_t v = (pixel >> f.offset) & ((1u << f.length) - 1);
    return f.length >= 8 ? v >> (f.length - 8) : v << (8 - f.length);
}

uint16_t colour9(unsigned r, unsigned g, unsigned b)
{
    return static_cast<uint16_t>((r >> 5) << 6 | (g >> 5) << 3 | (b >> 5));
}

}  // namespace

ScreenFigures screenFigures()
{
    const uint32_t v = gFigures.load(std::memory_order_relaxed);
    ScreenFigures f;
    f.known = (v >> 31) != 0;
    f.noopPercent = static_cast<int>(v >> 16 & 0x7f);
    f.screens = static_cast<int>(v & 0xffff);
    return f;
}

std::string screenFiguresText(const ScreenFigures& f)
{
    if (!f.known)
        return "screens:unknown no-op:unknown";
    return "screens:" + std::to_string(f.screens) + " no-op:" + std::to_string(f.noopPercent) + "%";
}

ScreenExplorer::ScreenExplorer(int grid, std::vector<Zone> zones, bool steer, std::function<void()> still)
    : mGrid(grid > 0 ? grid : 1), mZones(std::move(zones)), mSteer(steer), mStill(std::move(still))
{
    if (!mStill)
        mStill = [] { sleepMs(kStillMs); };
    gFigures.store(0, std::memory_order_relaxed);
}

bool ScreenExplorer::open(const char* path, std::string* why)
{
    if (openFrameBuffer(path, &mFd, &mLayout, why) != 0) {
        mFd.reset();
        return false;
    }
    const unsigned w = mLayout.width, h = mLayout.height;
    mCell = mGrid;
    for (;; ++mCell) {
        mCols = static_cast<int>((w + mCell - 1) / mCell);
        mRows = static_cast<int>((h + mCell - 1) / mCell);
        if (mCols * mRows <= kMaxCells)
            break;
    }
    mSub = std::min(kSamplesPerSide, mCell);
    // A sample at the middle of each of a cell's sub-squares; cells cut by
    // the screen's edge sample its last pixel instead.
    auto samples = [this](int cells, unsigned side, std::vector<unsigned>* out) {
        for (int c = 0; c < cells; ++c)
            for (int k = 0; k < mSub; ++k)
                out->push_back(std::min(side - 1, static_cast<unsigned>(c * mCell + (2 * k + 1) * mCell / (2 * mSub))));
    };
    samples(mCols, w, &mSampleX);
    samples(mRows, h, &mSampleY);
    for (size_t ix = 0; ix < mSampleX.size(); ++ix)
        mCellOfX.push_back(static_cast<uint32_t>(ix / static_cast<size_t>(mSub) * 3));
    mRow.assign(static_cast<size_t>(w) * mLayout.bytes, 0);
    mSamples.assign(mSampleX.size() * mSampleY.size(), 0);
    mSums.assign(static_cast<size_t>(mCols * mRows) * 3, 0);
    mLook.assign(static_cast<size_t>(mCols * mRows), 0);
    mLeaves.assign(mLook.size(), 0);
    mChanges.assign(mLook.size(), 0);
    mMoved.assign(mLook.size(), 0);
    mPending.assign(mLook.size(), 0);
    mVolatile.assign(mLook.size(), 0);
    mLast = mLook;
    return true;
}

void ScreenExplorer::seed(uint64_t seed)
{
    mRng = seed;
}

uint64_t ScreenExplorer::draw()
{
    uint64_t z = (mRng += 0x9e3779b97f4a7c15ull);
    z = (z ^ z >> 30) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ z >> 27) * 0x94d049bb133111ebull;
    return z ^ z >> 31;
}

void ScreenExplorer::readCells()
{
    std::fill(mSums.begin(), mSums.end(), 0);
    const size_t across = mSampleX.size(), rowBytes = mRow.size();
    for (size_t iy = 0; iy < mSampleY.size(); ++iy) {
        // Only the sampled rows, with pread: a file standing in for the
        // frame buffer may end early, and what lies past its end reads as
        // black rather than faulting as a mapping would.
        const off_t at = static_cast<off_t>(mLayout.start + mSampleY[iy] * mLayout.line);
        const ssize_t n = preadAll(mFd.get(), mRow.data(), rowBytes, at);
        const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
        memset(mRow.data() + got, 0, rowBytes - got);
        uint32_t* const sums = &mSums[iy / static_cast<size_t>(mSub) * static_cast<size_t>(mCols) * 3];
        uint16_t* const samples = &mSamples[iy * across];
        for (size_t ix = 0; ix < across; ++ix) {
            const unsigned char* p = mRow.data() + static_cast<size_t>(mSampleX[ix]) * mLayout.bytes;
            uint32_t pixel = 0;
            for (unsigned b = 0; b < mLayout.bytes; ++b)
                pixel |= static_cast<uint32_t>(p[b]) << (8 * b);
            const unsigned r = channel8(pixel, mLayout.red), g = channel8(pixel, mLayout.green),
                           b = channel8(pixel, mLayout.blue);
            samples[ix] = colour9(r, g, b);
            uint32_t* sum = sums + mCellOfX[ix];
            sum[0] += r, sum[1] += g, sum[2] += b;
        }
    }
    const uint32_t n = static_cast<uint32_t>(mSub * mSub);
    for (size_t c = 0; c < mLook.size(); ++c)
        mLook[c] = colour9(mSums[c * 3] / n, mSums[c * 3 + 1] / n, mSums[c * 3 + 2] / n);
}

// Looks again after mStill with nothing injected, and again while anything
// changes, up to kStillTries times (a screen `known` already that holds
// still for the first gets no more; a look no known screen matches is
// suspect): a screen that changed in two of these
// intervals, the last included, is alive, and the cells that changed in the
// last one change by themselves. A screen caught while being drawn, or
// sliding in, changes and then holds, and teaches nothing. At most half the
// cells are left out of the names: a screen whose whole content moves keeps
// the rest, and is then told by its colours' counts (mRestless).
void ScreenExplorer::stillLook(bool known)
{
    const size_t n = mLook.size();
    size_t changed = 0;
    int alive = 0;
    const auto pair = [&] {
        mFirst = mLook;
        mStill();
        readCells();
        ++mStillLooks;
        changed = 0;
        for (size_t c = 0; c < n; ++c)
            changed += mMoved[c] = mFirst[c] != mLook[c];
        alive += changed > 0;
    };
    for (int attempt = 0; attempt < kStillTries; ++attempt) {
        pair();
        if ((attempt == 0 && changed == 0 && known) || (alive >= 2 && changed > 0 && changed <= n / 4))
            break;
    }
    if (alive >= 2 && changed > 0) {
        // Still changing: wait out a transition, then only the cells that
        // change after it count.
        for (int i = 0; i < kSettleStills; ++i)
            mStill();
        readCells();
        pair();
    }
    mRestless = alive >= 2 && changed > 0 && noteChanges(mMoved) > tolerance();
}

// Counts the cells marked in `moved` as changed by themselves; those seen so
// kVolatileAfter times are left out of the names, up to half the cells.
// Returns how many changed again and again past that cap.
int ScreenExplorer::noteChanges(const std::vector<uint8_t>& moved)
{
    const size_t n = mLook.size();
    int past = 0;
    for (size_t c = 0; c < n; ++c) {
        if (!moved[c])
            continue;
        mChanges[c] = static_cast<uint8_t>(std::min(mChanges[c] + 1, 255));
        if (!mVolatile[c] && mChanges[c] >= kVolatileAfter && mVolatileCount < static_cast<int>(n / 2))
            mVolatile[c] = 1, ++mVolatileCount, mMaskChanged = true;
        past += !mVolatile[c] && mChanges[c] >= kVolatileAfter;
    }
    return past;
}

// Screens told apart only by cells now known to change by themselves were
// one screen caught in two moments: the later is folded into the earlier,
// so that learning an animation does not leave its moments counted.
void ScreenExplorer::mergeStates()
{
    mMaskChanged = false;
    const int tolerance = this->tolerance();
    for (size_t i = 1; i < mStates.size(); ++i) {
        State& s = mStates[i];
        for (size_t j = 0; j < i && s.merged < 0; ++j) {
            State& into = mStates[j];
            const bool restless = !into.histogram.empty() && !s.histogram.empty() &&
                                  histogramDistance(into.histogram, s.histogram) <= kRestlessTolerance * tolerance;
            if (into.merged < 0 && (restless || distance(into.cells, s.cells, tolerance) <= tolerance)) {
                s.merged = static_cast<int>(j);
                into.seen += s.seen;
            }
        }
    }
    if (mCurrent >= 0 && mStates[static_cast<size_t>(mCurrent)].merged >= 0)
        mCurrent = mStates[static_cast<size_t>(mCurrent)].merged;
    mCounted = static_cast<int>(
        std::count_if(mStates.begin(), mStates.end(), [](const State& s) { return s.merged < 0 && s.seen >= 2; }));
}

// The look's colours counted by region of the screen (kBlocks x kBlocks),
// 2 bits a channel: content moving within a region keeps its counts, a
// screen laid out anew does not.
void ScreenExplorer::histogram(const std::vector<uint16_t>& cells, std::vector<uint8_t>* out) const
{
    out->assign(kBlocks * kBlocks * 64, 0);
    for (size_t c = 0; c < cells.size(); ++c) {
        const size_t bx = c % static_cast<size_t>(mCols) * kBlocks / static_cast<size_t>(mCols);
        const size_t by = c / static_cast<size_t>(mCols) * kBlocks / static_cast<size_t>(mRows);
        const unsigned v = cells[c];
        uint8_t& n = (*out)[(by * kBlocks + bx) * 64 + ((v >> 7 & 3) << 4 | (v >> 4 & 3) << 2 | (v >> 1 & 3))];
        n = static_cast<uint8_t>(std::min(n + 1, 255));
    }
}

// How many cells would have to change colour for one set of counts to
// become the other.
int ScreenExplorer::histogramDistance(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    int d = 0;
    for (size_t i = 0; i < a.size(); ++i)
        d += std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
    return d / 2;
}

int ScreenExplorer::distance(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, int limit) const
{
    int d = 0;
    for (size_t i = 0; i < a.size() && d <= limit; ++i)
        d += !mVolatile[i] && a[i] != b[i];
    return d;
}

void ScreenExplorer::look()
{
    if (mFd.get() < 0)
        return;
    if (mMaskChanged)
        mergeStates();
    readCells();
    // The first look, a look that no known screen matches and every
    // kStillEvery-th look get a second one; the screen is named by the later.
    int now = findState(mLook);
    const bool periodic = mLooks++ % kStillEvery == 0;
    if (now < 0 || periodic) {
        stillLook(now >= 0);
        if (mMaskChanged)
            mergeStates();
        now = findState(mLook);
    } else {
        mRestless = false;
    }
    mFresh = now < 0;
    if (mFresh)
        now = newState(mLook);
    State& s = mStates[static_cast<size_t>(now)];
    if (mRestless && s.histogram.empty())
        histogram(s.cells, &s.histogram);
    // A gesture after which the screen is still the same one changed
    // nothing that names it: what changed meanwhile in its few cells most
    // likely changed by itself (a clock's digits; a check box ticked twice
    // is no loss). Taken on trust only once the next look names the same
    // screen too: this look may have caught a screen being drawn. (A small
    // change away from the tap is no such sign: a back button stays put
    // while the screen around it changes.)
    if (mPendingState >= 0 && now == mPendingState)
        noteChanges(mPending);
    mPendingState = -1;
    if (now == mCurrent) {
        for (size_t c = 0; c < mLook.size(); ++c)
            mPending[c] = mLast[c] != mLook[c];
        mPendingState = now;
    }
    mLast = mLook;
    if (mCurrent >= 0) {
        ++mGestures;
        mNoops += now == mCurrent;
        if (mLastCell >= 0)
            learn(mStates[static_cast<size_t>(mCurrent)], static_cast<size_t>(mLastCell), now);
    }
    mSame = now == mCurrent ? mSame + 1 : 0;
    mCurrent = now;
    // A screen counts once two looks have seen it: a frame caught halfway
    // through being redrawn is seldom seen twice.
    mCounted += ++mStates[static_cast<size_t>(now)].seen == 2;
    mLastCell = -1;
    publish();
}

// What a gesture on cell `c` of screen `from` did, for the whole drawn area
// around it of the cell's colour: a button takes many cells, and what one of
// them did the others do too. Shades a level apart are one area: a sky or a
// toolbar drawn as a gradient is one thing to try, not one per row.
void ScreenExplorer::learn(State& from, size_t c, int now)
{
    const bool changed = now != mCurrent;
    if (changed)
        ++mLeaves[c];
    std::vector<size_t>& area = mArea;
    area.assign(1, c);
    const uint16_t colour = from.cells[c];
    std::vector<uint8_t>& in = mInArea;
    in.assign(from.cells.size(), 0);
    in[c] = 1;
    const size_t cols = static_cast<size_t>(mCols), n = from.cells.size();
    for (size_t i = 0; i < area.size() && colour != from.background && !from.detail[c]; ++i) {
        const size_t k = area[i], x = k % cols;
        const size_t next[4] = {x > 0 ? k - 1 : n, x + 1 < cols ? k + 1 : n, k >= cols ? k - cols : n, k + cols};
        for (size_t m : next)
            if (m < n && !in[m] && !from.detail[m] && from.cells[m] != from.background && !odd(from.cells[m], from.cells[k]))
                in[m] = 1, area.push_back(m);
    }
    for (size_t k : area) {
        from.offers -= from.tries[k] == 0 && (from.cells[k] != from.background || from.detail[k]);
        from.tries[k] = static_cast<uint16_t>(std::min(from.tries[k] + 1, 65535));
        from.held[k] = from.held[k] || mLastHeld;
        if (changed)
            from.ledTo[k] = static_cast<int16_t>(now);
    }
}

int ScreenExplorer::tolerance() const
{
    // A screen differing from a known one in this many named cells or fewer
    // is that screen: a cursor not learnt yet, a few letters typed.
    return std::max(4, static_cast<int>(mLook.size()) / 64);
}

// The known screen the look `cells` shows, or -1 for a new one.
int ScreenExplorer::findState(const std::vector<uint16_t>& cells)
{
    const int n = static_cast<int>(cells.size()), tolerance = this->tolerance();
    auto distance = [this, &cells](const State& s, int limit) { return this->distance(s.cells, cells, limit); };
    histogram(cells, &mHistogram);
    auto moved = [this](const State& s) { return s.histogram.empty() ? INT_MAX : histogramDistance(s.histogram, mHistogram); };
    if (mCurrent >= 0) {
        const State& current = mStates[static_cast<size_t>(mCurrent)];
        if (distance(current, tolerance) <= tolerance || moved(current) <= kRestlessTolerance * tolerance)
            return mCurrent;
    }
    int best = -1, bestDistance = (mStates.size() < kMaxStates ? tolerance : n) + 1;
    for (size_t i = 0; i < mStates.size(); ++i) {
        if (mStates[i].merged >= 0)
            continue;
        const int d = distance(mStates[i], bestDistance - 1);
        if (d < bestDistance)
            best = static_cast<int>(i), bestDistance = d;
    }
    if (best < 0)
        bestDistance = INT_MAX;
    int restless = -1;
    for (size_t i = 0; i < mStates.size() && best < 0; ++i) {
        const int d = mStates[i].merged < 0 ? moved(mStates[i]) : INT_MAX;
        if (d <= kRestlessTolerance * tolerance && d < bestDistance)
            restless = static_cast<int>(i), bestDistance = d;
    }
    return best >= 0 ? best : restless;
}

int ScreenExplorer::newState(const std::vector<uint16_t>& cells)
{
    const int n = static_cast<int>(cells.size());
    State s;
    s.cells = cells;
    int count[512] = {};
    for (uint16_t c : cells)
        if (++count[c] > count[s.background])
            s.background = c;
    s.offers = n - count[s.background];
    // What was tried where is only for steering: a run that only counts
    // keeps 2 bytes a cell per screen instead of 7.
    if (mSteer) {
        s.tries.assign(cells.size(), 0);
        s.held.assign(cells.size(), 0);
        s.ledTo.assign(cells.size(), -1);
        s.detail.resize(cells.size());
        for (size_t c = 0; c < cells.size(); ++c) {
            s.detail[c] = hasDetail(c, cells, s.background);
            s.offers += s.detail[c] && cells[c] == s.background;
        }
    }
    mStates.push_back(std::move(s));
    return static_cast<int>(mStates.size() - 1);
}

// A sample of a colour far from its cell's (two levels of eight in a
// channel): a gradient or anti-aliasing changes a level at most.
bool ScreenExplorer::odd(uint16_t sample, uint16_t cell) const
{
    for (int shift = 0; shift <= 6; shift += 3)
        if (std::abs((sample >> shift & 7) - (cell >> shift & 7)) >= 2)
            return true;
    return false;
}

// Whether the last look shows in cell `c` something smaller than the cell
// and unlike its surroundings, within an area of the cell's colour: a back
// arrow in a toolbar, a small icon. Its few pixels barely move the cell's
// mean, so the cell would pass for part of the area, and a try anywhere
// on the toolbar would count as a try of the arrow. The edge of a button
// is none: what differs there is the background, or the colour of a
// neighbouring cell.
bool ScreenExplorer::hasDetail(size_t c, const std::vector<uint16_t>& cells, uint16_t background) const
{
    const size_t cols = static_cast<size_t>(mCols), n = cells.size(), x = c % cols, across = mSampleX.size();
    const size_t sub = static_cast<size_t>(mSub), cx = x * sub, cy = c / cols * sub;
    const size_t next[4] = {x > 0 ? c - 1 : n, x + 1 < cols ? c + 1 : n, c >= cols ? c - cols : n, c + cols};
    bool inArea = false;
    for (size_t m : next)
        inArea = inArea || (m < n && cells[m] == cells[c]);
    for (size_t iy = cy; iy < cy + sub && inArea; ++iy)
        for (size_t ix = cx; ix < cx + sub; ++ix) {
            const uint16_t v = mSamples[iy * across + ix];
            if (!odd(v, cells[c]) || !odd(v, background))
                continue;
            bool near = false;
            for (size_t m : next)
                near = near || (m < n && !odd(v, cells[m]));
            if (!near)
                return true;
        }
    return false;
}

int ScreenExplorer::chooseCell(bool longClick)
{
    const State& s = mStates[static_cast<size_t>(mCurrent)];
    const size_t n = s.cells.size();
    std::vector<double>& weight = mWeights;
    weight.resize(n);
    double total = 0;
    const double background =
        std::max<double>(1.0, static_cast<double>(std::count(s.cells.begin(), s.cells.end(), s.background)));
    for (size_t c = 0; c < n; ++c) {
        // A cell that changes by itself (a clock, an animation) shows no
        // control by its colour: it is weighed as background.
        const bool drawn = (s.cells[c] != s.background || s.detail[c]) && !mVolatile[c];
        // Where the cell led, as that screen is now known: a screen since
        // found to be this one seen in another moment of its animation was
        // no way out.
        int led = s.ledTo[c];
        if (led >= 0 && mStates[static_cast<size_t>(led)].merged >= 0)
            led = mStates[static_cast<size_t>(led)].merged;
        if (led == mCurrent)
            led = -1;
        double w;
        // Drawn on and never tried (for a long click, never held and never
        // leading anywhere): what a screen still offers.
        if (drawn && (longClick ? !s.held[c] && led < 0 : s.tries[c] == 0)) {
            w = 100;
        } else if (led >= 0) {
            // Towards screens seldom seen and still offering cells: a known
            // way out is never a wasted gesture. Offers count cells, and a
            // gradient makes hundreds of them: past a few, a screen pulls
            // no harder than one untried cell here, or the run would go
            // back to it again and again, never trying this screen's rest.
            const State& to = mStates[static_cast<size_t>(led)];
            w = 2.0 + 20.0 * (1 + std::min(to.offers, 40)) / (1 + to.seen / 4.0);
        } else if (drawn) {
            // Tried and it led nowhere (an idle button, a label): worth
            // another go now and then, not a share by its size.
            w = 0.05 / (1 + s.tries[c]);
        } else {
            // Background: hundreds of cells, each rarely anything; together
            // no more than about one way out.
            w = (s.tries[c] == 0 ? 1.0 : 0.1 / s.tries[c]) / background;
        }
        // Stuck: the places that left screens before, a back button above all.
        // Not those tried here to no end: a list row that opened pages
        // elsewhere is no way out of a page that has no such row.
        if (mSame >= kStuckLooks && mLeaves[c] > 0)
            w += 10.0 * std::min<uint32_t>(mLeaves[c], 10) / (1.0 + (s.tries.empty() ? 0 : s.tries[c]));
        weight[c] = w;
        total += w;
    }
    double r = static_cast<double>(draw() >> 11) * (1.0 / 9007199254740992.0) * total;
    for (size_t c = 0; c < n; ++c) {
        if (r < weight[c])
            return static_cast<int>(c);
        r -= weight[c];
    }
    return static_cast<int>(n - 1);
}

void ScreenExplorer::place(Pointer* event)
{
    if (!mSteer || mCurrent < 0 || (event->eventTye != FACTOR_TOUCH && event->eventTye != FACTOR_LONGCLICK))
        return;
    const bool held = event->eventTye == FACTOR_LONGCLICK;
    const int cell = chooseCell(held);
    const State& s = mStates[static_cast<size_t>(mCurrent)];
    const size_t across = mSampleX.size(), cx = static_cast<size_t>(cell % mCols), cy = static_cast<size_t>(cell / mCols);
    const size_t sub = static_cast<size_t>(mSub);
    // Within the cell, a sample where something is drawn, when there is
    // one: on the small thing a cell holds, where it holds one.
    std::vector<size_t> drawn, all;
    for (size_t iy = cy * sub; iy < (cy + 1) * sub; ++iy)
        for (size_t ix = cx * sub; ix < (cx + 1) * sub; ++ix) {
            const uint16_t v = mSamples[iy * across + ix];
            all.push_back(iy * across + ix);
            if (s.detail[static_cast<size_t>(cell)] ? odd(v, s.cells[static_cast<size_t>(cell)]) : v != s.background)
                drawn.push_back(iy * across + ix);
        }
    const std::vector<size_t>& from = drawn.empty() ? all : drawn;
    const int spread = mCell / mSub;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const size_t at = from[draw() % from.size()];
        long long x = mSampleX[at % across], y = mSampleY[at / across];
        if (spread > 2) {
            x += static_cast<long long>(draw() % static_cast<unsigned>(spread - 1)) - (spread - 2) / 2;
            y += static_cast<long long>(draw() % static_cast<unsigned>(spread - 1)) - (spread - 2) / 2;
        }
        x = std::max(0LL, std::min(x, static_cast<long long>(mLayout.width) - 1));
        y = std::max(0LL, std::min(y, static_cast<long long>(mLayout.height) - 1));
        bool free = true;
        for (const Zone& z : mZones)
            free = free && !z.holds(x, y);
        if (free) {
            event->x = static_cast<int>(x);
            event->y = static_cast<int>(y);
            mLastCell = cell;
            mLastHeld = held;
            return;
        }
    }
}

void ScreenExplorer::publish() const
{
    const long long percent = mGestures > 0 ? (mNoops * 100 + mGestures / 2) / mGestures : 0;
    const uint32_t screens = static_cast<uint32_t>(std::min(mCounted, 0xffff));
    gFigures.store(1u << 31 | static_cast<uint32_t>(percent) << 16 | screens, std::memory_order_relaxed);
}
