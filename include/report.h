// Problem: after a night's run the results folder holds thousands of lines,
// and what is wanted first is a picture: where the run touched, when the
// crashes came, and what came before each; CI servers want a verdict.
// Solution: --report reads the folder's logs, run records, bundles and
// freeze shots and writes one self-contained report.html and a junit.xml.
// The forbidden zones live here too: the event source keeps gestures out of
// them and the report draws them.
#ifndef TAPFUZZ_REPORT_H
#define TAPFUZZ_REPORT_H

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

// Writes FOLDER/report.html and FOLDER/junit.xml and prints the report's
// path. Returns the exit status: 0, or 1 when the folder cannot be read or
// the files cannot be written.
int writeReport(const std::string& folder);

#endif
