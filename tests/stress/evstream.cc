// Problem: see evstream.h.
// Solution: one small state machine per gesture kind, driven record by
// record, with the platform's own struct input_event as the record size.
#include "evstream.h"

#include <ctype.h>
#include <string.h>

namespace {

bool Is(const struct input_event& ev, int type, int code)
{
    return ev.type == type && ev.code == code;
}

bool IsTouchStart(const struct input_event& ev)
{
    return Is(ev, EV_ABS, ABS_MT_TRACKING_ID) && ev.value == 1;
}

bool IsKeyStart(const struct input_event& ev)
{
    return ev.type == EV_KEY && ev.code != BTN_TOUCH && ev.value == 1;
}

}  // namespace

void EventStream::Feed(const char* data, size_t size)
{
    const size_t rec = sizeof(struct input_event);
    if (!pending_.empty()) {
        size_t take = rec - pending_.size();
        if (take > size)
            take = size;
        pending_.append(data, take);
        data += take;
        size -= take;
        if (pending_.size() < rec)
            return;
        struct input_event ev;
        memcpy(&ev, pending_.data(), rec);
        pending_.clear();
        Record(ev);
    }
    while (size >= rec) {
        struct input_event ev;
        memcpy(&ev, data, rec);
        Record(ev);
        data += rec;
        size -= rec;
    }
    if (size > 0)
        pending_.assign(data, size);
}

void EventStream::Finish()
{
    if (state_ != Idle) {
        fingerDown_ = state_ != KeyPress;
        // A key is up again once its release record went out, even if the
        // closing report did not.
        keyDown_ = state_ == KeyPress && step_ < 3;
        ++broken_;
        Note(fingerDown_ ? "the node ends with a finger down" : "the node ends inside a key press");
        state_ = Idle;
    }
    if (!pending_.empty())
        Note("the node ends inside a record");
}

void EventStream::Note(const char* what)
{
    if (problem_.empty())
        problem_ = std::string(what) + " (record " + std::to_string(index_) + ")";
}

void EventStream::Complete(Gesture::Kind kind)
{
    cur_.kind = kind;
    if (kind == Gesture::Tap)
        ++taps_;
    else if (kind == Gesture::Swipe)
        ++swipes_;
    else
        ++keys_;
    if (keep_)
        gestures_.push_back(cur_);
    state_ = Idle;
}

void EventStream::Start(const struct input_event& ev)
{
    cur_ = Gesture();
    if (IsTouchStart(ev)) {
        state_ = Down;
        step_ = 1;
    } else if (IsKeyStart(ev)) {
        state_ = KeyPress;
        step_ = 1;
        cur_.code = ev.code;
    } else {
        ++stray_;
        Note("a record that starts no gesture");
    }
}

void EventStream::Mismatch(const struct input_event& ev, const char* what)
{
    // Whatever was begun is cut off here; the record itself may well be the
    // start of the next gesture (a write failed in between).
    ++broken_;
    Note(what);
    state_ = Idle;
    Start(ev);
}

void EventStream::Record(const struct input_event& ev)
{
    if (ev.input_event_sec != 0 || ev.input_event_usec != 0) {
        ++stamped_;
        Note("a record carries a time");
    }
    switch (state_) {
    case Idle:
        Start(ev);
        break;
    case Down: {
        // Down block: tracking id 1 (already seen), MT x, MT y, BTN_TOUCH 1,
        // ABS_X, ABS_Y (the same point), report.
        bool ok = false;
        switch (step_) {
        case 1: ok = Is(ev, EV_ABS, ABS_MT_POSITION_X); cur_.x = ev.value; break;
        case 2: ok = Is(ev, EV_ABS, ABS_MT_POSITION_Y); cur_.y = ev.value; break;
        case 3: ok = Is(ev, EV_KEY, BTN_TOUCH) && ev.value == 1; break;
        case 4: ok = Is(ev, EV_ABS, ABS_X) && ev.value == cur_.x; break;
        case 5: ok = Is(ev, EV_ABS, ABS_Y) && ev.value == cur_.y; break;
        case 6: ok = Is(ev, EV_SYN, SYN_REPORT); break;
        }
        if (!ok) {
            Mismatch(ev, "a broken down block");
        } else if (++step_ == 7) {
            state_ = Body;
        }
        break;
    }
    case Body:
        if (Is(ev, EV_ABS, ABS_MT_POSITION_X)) {
            state_ = Move;
            step_ = 1;
            moveX_ = ev.value;
        } else if (Is(ev, EV_ABS, ABS_MT_TRACKING_ID) && ev.value == -1) {
            state_ = Lift;
            step_ = 1;
        } else {
            Mismatch(ev, "a finger neither moved nor lifted");
        }
        break;
    case Move: {
        bool ok = false;
        switch (step_) {
        case 1: ok = Is(ev, EV_ABS, ABS_MT_POSITION_Y); moveY_ = ev.value; break;
        case 2: ok = Is(ev, EV_ABS, ABS_X) && ev.value == moveX_; break;
        case 3: ok = Is(ev, EV_ABS, ABS_Y) && ev.value == moveY_; break;
        case 4: ok = Is(ev, EV_SYN, SYN_REPORT); break;
        }
        if (!ok) {
            Mismatch(ev, "a broken move block");
        } else if (++step_ == 5) {
            ++cur_.moves;
            cur_.endX = moveX_;
            cur_.endY = moveY_;
            state_ = Body;
        }
        break;
    }
    case Lift: {
        bool ok = step_ == 1 ? Is(ev, EV_KEY, BTN_TOUCH) && ev.value == 0 : Is(ev, EV_SYN, SYN_REPORT);
        if (!ok) {
            Mismatch(ev, "a broken lift");
        } else if (++step_ == 3) {
            Complete(cur_.moves == 0 ? Gesture::Tap : Gesture::Swipe);
        }
        break;
    }
    case KeyPress: {
        // Press (seen), report, release of the same code, report.
        bool ok = false;
        switch (step_) {
        case 1: ok = Is(ev, EV_SYN, SYN_REPORT); break;
        case 2: ok = Is(ev, EV_KEY, cur_.code) && ev.value == 0; break;
        case 3: ok = Is(ev, EV_SYN, SYN_REPORT); break;
        }
        if (!ok) {
            Mismatch(ev, "a broken key press");
        } else if (++step_ == 4) {
            Complete(Gesture::Key);
        }
        break;
    }
    }
    ++index_;
}

namespace {

bool Digits(const std::string& s, size_t at, size_t n)
{
    if (at + n > s.size())
        return false;
    for (size_t i = at; i < at + n; ++i)
        if (!isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

// "[YYYY-MM-DD HH:MM:SS]" at `at`.
bool StampAt(const std::string& s, size_t at)
{
    return s.size() >= at + 21 && s[at] == '[' && Digits(s, at + 1, 4) && s[at + 5] == '-' &&
           Digits(s, at + 6, 2) && s[at + 8] == '-' && Digits(s, at + 9, 2) && s[at + 11] == ' ' &&
           Digits(s, at + 12, 2) && s[at + 14] == ':' && Digits(s, at + 15, 2) && s[at + 17] == ':' &&
           Digits(s, at + 18, 2) && s[at + 20] == ']';
}

// A time stamp, one of the tags, and no second time stamp: a line cut
// short and continued by the next one carries two.
bool WholeLogLine(const std::string& line)
{
    if (!StampAt(line, 0))
        return false;
    bool tagged = false;
    for (const char* tag : {"[INFO]", "[CRASH][Coredump]", "[DEBUG]["})
        tagged = tagged || line.compare(21, strlen(tag), tag) == 0;
    if (!tagged)
        return false;
    for (size_t at = line.find('[', 21); at != std::string::npos; at = line.find('[', at + 1))
        if (StampAt(line, at))
            return false;
    return true;
}

// "//  Event percentages", "//  TOUCH:35.0%", ...
bool MixLine(const std::string& line)
{
    if (line.compare(0, 4, "//  ") != 0 || line.size() < 5 || !isupper(static_cast<unsigned char>(line[4])))
        return false;
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return line.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ ", 4) ==
               std::string::npos;
    size_t dot = line.find('.', colon);
    return dot != std::string::npos && dot > colon + 1 && Digits(line, colon + 1, dot - colon - 1) &&
           Digits(line, dot + 1, 1) && line.size() == dot + 3 && line[dot + 2] == '%';
}

}  // namespace

LineReport CheckLines(const std::string& text)
{
    LineReport r;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        bool last = end == std::string::npos;
        std::string line = text.substr(at, last ? std::string::npos : end - at);
        ++r.lines;
        if (last)
            r.tornTail = true;
        else if (!WholeLogLine(line) && !MixLine(line)) {
            ++r.bad;
            // A line glued from many pieces can be long; the start shows
            // what went wrong.
            if (r.firstBad.empty())
                r.firstBad = line.size() > 240 ? line.substr(0, 240) + "..." : line;
        }
        at = last ? text.size() : end + 1;
    }
    return r;
}

std::vector<std::string> InfoMessages(const std::string& log)
{
    std::vector<std::string> messages;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        if (end - at > 27 && log.compare(at + 21, 6, "[INFO]") == 0)
            messages.push_back(log.substr(at + 27, end - at - 27));
        at = end + 1;
    }
    return messages;
}

namespace {

// The gesture a "Sending ..." line announces; false for any other text.
bool ParseSent(const std::string& m, Gesture* g)
{
    int a = 0, b = 0, c = 0, d = 0, e = 0, used = -1;
    const char* s = m.c_str();
    const int size = static_cast<int>(m.size());
    *g = Gesture();
    if ((sscanf(s, "Sending Click (ACTION_DOWN):(%d,%d)%n", &a, &b, &used) == 2 && used == size) ||
        (used = -1, sscanf(s, "Sending LongClick (ACTION_LONGCLICK):(%d,%d)%n", &a, &b, &used) == 2 &&
                        used == size)) {
        g->kind = Gesture::Tap;
        g->x = a;
        g->y = b;
        return true;
    }
    used = -1;
    if (sscanf(s, "Sending Swipe (ACTION_MOTION):(%d,%d,%d,%d,%d)%n", &a, &b, &c, &d, &e, &used) == 5 &&
        used == size) {
        g->kind = Gesture::Swipe;
        g->x = a;
        g->y = b;
        // The driver walks the path backwards when the main axis decreases
        // and then lifts where it started.
        long long dx = static_cast<long long>(c) - a, dy = static_cast<long long>(d) - b;
        bool reversed = (dy < 0 ? -dy : dy) > (dx < 0 ? -dx : dx) ? d < b : c < a;
        g->endX = reversed ? a : c;
        g->endY = reversed ? b : d;
        g->moves = e - 2;
        return true;
    }
    used = -1;
    if (sscanf(s, "Sending PressKey (ACTION_PRESSKEY):(%d)%n", &a, &used) == 1 && used == size) {
        g->kind = Gesture::Key;
        g->code = a & 0xffff;
        return true;
    }
    return false;
}

std::string Describe(const Gesture& g)
{
    switch (g.kind) {
    case Gesture::Tap:
        return "tap (" + std::to_string(g.x) + "," + std::to_string(g.y) + ")";
    case Gesture::Swipe:
        return "swipe (" + std::to_string(g.x) + "," + std::to_string(g.y) + ") to (" + std::to_string(g.endX) +
               "," + std::to_string(g.endY) + ") in " + std::to_string(g.moves) + " moves";
    default:
        return "key " + std::to_string(g.code);
    }
}

}  // namespace

bool MatchLog(const std::vector<std::string>& messages, const std::vector<Gesture>& node, size_t extra,
              std::string* why)
{
    size_t next = 0;
    bool failed = false;
    size_t sent = 0;
    for (const std::string& m : messages) {
        if (m.compare(0, 6, "Error ") == 0) {
            failed = true;
            continue;
        }
        Gesture want;
        if (m.compare(0, 8, "Sending ") != 0)
            continue;
        if (!ParseSent(m, &want)) {
            *why = "not an event line: " + m;
            return false;
        }
        ++sent;
        if (failed) {
            failed = false;
            continue;
        }
        if (next >= node.size()) {
            *why = "event " + std::to_string(sent) + " (" + m + ") has no gesture on the node";
            return false;
        }
        const Gesture& got = node[next++];
        bool same = got.kind == want.kind && got.x == want.x && got.y == want.y;
        if (want.kind == Gesture::Swipe)
            same = same && got.moves == want.moves && got.endX == want.endX && got.endY == want.endY;
        if (want.kind == Gesture::Key)
            same = got.kind == Gesture::Key && got.code == want.code;
        if (!same) {
            *why = "event " + std::to_string(sent) + " (" + m + ") but the node has a " + Describe(got);
            return false;
        }
    }
    if (node.size() > next + extra) {
        *why = std::to_string(node.size() - next) + " gestures on the node after the last event line";
        return false;
    }
    return true;
}
