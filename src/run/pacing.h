// Problem: the run pauses after every counted event, either for a fixed time
// from the command line or for a random time from the device profile's range.
// Solution: the pause globals, the range reader and the draw of one pause.
#ifndef TAPFUZZ_RUN_PACING_H
#define TAPFUZZ_RUN_PACING_H

// The pause in microseconds: --throttle, or the last one drawn.
extern long mThrottle;
// EVENT_INTERVALS_RANGE in milliseconds, once read (0,0: none).
extern int start_time_interval;
extern int end_time_interval;

// Reads EVENT_INTERVALS_RANGE unless --throttle set a pause; a range whose
// pauses cannot be expressed is dropped with a log line.
void parse_event_interval();
// The pause after the next event, in microseconds.
long get_interval();

// Str2Int returns 0 when both figures were read, -1 when the text has no
// comma or a figure is longer than 7 characters (nothing is stored).
int Str2Int(const char* str, int* x, int* y);
// A draw of rand() in 0 .. time-1.
int getRandomTime(int time);

#endif
