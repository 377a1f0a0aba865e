// Problem: two threads write time-stamped lines into the day's result files
// while the console follows the main log.
// Solution: one temporary Logger per line; setUp() makes the results folder,
// opens the files and starts the console echo, the first line at the latest.
#ifndef TAPFUZZ_BASE_LOGGER_H
#define TAPFUZZ_BASE_LOGGER_H

#include <pthread.h>
#include <stddef.h>

#include <string>
#include <string_view>
#include <type_traits>

enum log_rank {
    INFO = 0,
    INFO1 = 1,
    DEBUG = 2,
    WARNING = 3,
    ERROR = 4,
    FATAL = 5,
};

// A log line's floating-point numbers from here on: `digits` decimals, as
// std::fixed with std::setprecision(digits) would print them.
struct LogFixed {
    int digits;
};
inline LogFixed logFixed(int digits) { return LogFixed{digits}; }

// What a log line's message is streamed into: text and numbers printed as
// std::ostream prints them (floating point with six significant digits, or
// fixed after logFixed, which stays in force for the thread's later lines
// to the same file), but without std::ostream itself. A run then never
// starts the C++ locale, which would cost every device most of a megabyte
// of memory, and the line costs no formatting machinery beyond the digits.
// The characters go into storage the stream keeps from line to line.
class LogStream {
public:
    LogStream() = default;
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    LogStream& operator<<(const char* text);
    LogStream& operator<<(const std::string& text) { return put(text.data(), text.size()); }
    LogStream& operator<<(std::string_view text) { return put(text.data(), text.size()); }
    LogStream& operator<<(char c) { return put(&c, 1); }
    LogStream& operator<<(signed char c) { return *this << static_cast<char>(c); }
    LogStream& operator<<(unsigned char c) { return *this << static_cast<char>(c); }
    LogStream& operator<<(bool b) { return put(b ? "1" : "0", 1); }
    LogStream& operator<<(double v);
    LogStream& operator<<(const void* p);
    LogStream& operator<<(LogFixed f);
    template <typename T, typename std::enable_if<std::is_integral<T>::value, int>::type = 0>
    LogStream& operator<<(T v)
    {
        if (std::is_signed<T>::value)
            return putSigned(static_cast<long long>(v));
        return putUnsigned(static_cast<unsigned long long>(v));
    }
    template <typename T, typename std::enable_if<std::is_enum<T>::value, int>::type = 0>
    LogStream& operator<<(T v)
    {
        return *this << static_cast<typename std::underlying_type<T>::type>(v);
    }

    LogStream& put(const char* text, size_t size);
    const char* data() const { return m_at; }
    size_t size() const { return m_used; }
    void clear() { m_used = 0; }

private:
    LogStream& putSigned(long long v);
    LogStream& putUnsigned(unsigned long long v);
    void grow(size_t more);

    char m_small[256];
    std::string m_big;
    char* m_at = m_small;
    size_t m_capacity = sizeof m_small;
    size_t m_used = 0;
    int m_decimals = -1;  // -1: six significant digits
};

// A log file: a descriptor opened for appending and close-on-exec, so that
// no program tapfuzz starts holds the logs open for writing. Nothing is
// buffered: a line reaches the file in one write(2) when the file takes it
// whole.
class LogFile {
public:
    LogFile() = default;
    ~LogFile() { close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens `name` for appending, creating it when missing.
    bool open(const std::string& name);
    bool is_open() const { return m_fd >= 0; }
    void close();
    // False when the file took less than all of it: a full disk or a file
    // size limit.
    bool write(const char* data, size_t size);

private:
    int m_fd = -1;
};

void initLogger(const std::string& info_log_filename, const std::string& warn_log_filename,
                const std::string& error_log_filename, const std::string& debug_log_filename);

// A Logger holds the process-wide line lock from its construction to its
// destruction, so lines of different threads never mix, and the thread
// cannot be cancelled in between.
class Logger {
public:
    explicit Logger(log_rank rank);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Begins the line with its time stamp and rank tag and returns the stream
    // the message goes into; the line reaches its file, whole and flushed,
    // when this Logger ends.
    static LogStream& start(log_rank rank, int line, const char* function);
    static LogStream& start(log_rank rank, int line, const std::string& function)
    {
        return start(rank, line, function.c_str());
    }
    // Once per process: the results folder of the day, the log files in it
    // and the console echo of the main log. Any Logger calls it first.
    static void setUp();
    static void* read_log(void* arg);

    // Stops the console echo started by the setup (our own tail, nothing
    // else) and waits for it. Safe to call more than once, or with no echo.
    // The echo is also stopped at exit(), and dies with the process on any
    // other end.
    static void stopEcho();

private:
    friend void initLogger(const std::string&, const std::string&, const std::string&,
                           const std::string&);

    // Writes a whole line to the stream of the rank. A log file gets it only
    // into space reserved on disk beforehand; a line that finds none (or
    // that the file refuses) goes to the console instead, and so do the
    // lines after it until the file is tried again, at most once a second.
    static void writeLine(log_rank rank, const char* line, size_t size);

    log_rank m_log_rank;
    // Cancelability found at construction, given back at destruction.
    int m_cancel_state;

    static LogFile m_info_log_file;
    static LogFile m_warn_log_file;
    static LogFile m_error_log_file;
    static LogFile m_debug_log_file;
    static pthread_t m_pid;
};

extern std::string info_log_filename;
extern std::string warn_log_filename;
extern std::string error_log_filename;
extern std::string debug_log_filename;
extern pthread_t global;

// One log line: a temporary Logger of the rank, started with the caller's
// line and bare function name; the temporary's end finishes the line.
#define LOG(rank) Logger(rank).start(rank, __LINE__, __FUNCTION__)

#endif
