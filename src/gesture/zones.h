// Problem: the user forbids parts of the screen (EXCLUDE_RECTS); the event
// source must keep every gesture out of them and the report draws them.
// Solution: one rectangle type and one parser, shared by both.
#ifndef TAPFUZZ_GESTURE_ZONES_H
#define TAPFUZZ_GESTURE_ZONES_H

#include <string>
#include <vector>

// A screen rectangle no gesture may touch: x in [x, x+w), y in [y, y+h).
struct Zone {
    int x, y, w, h;
    bool holds(long long px, long long py) const { return px >= x && px < x + w && py >= y && py < y + h; }
    // True when the rectangle spanned by two points meets the zone; every
    // point of a swipe's path lies inside that rectangle.
    bool meets(int ax, int ay, int bx, int by) const;
};

// Reads EXCLUDE_RECTS: up to 8 "x,y,w,h" separated by ';' (x, y >= 0, w, h
// >= 1, blanks allowed). False with *why naming the bad rectangle.
bool parseZones(const std::string& text, std::vector<Zone>* zones, std::string* why);

#endif
