// Problem: two threads write time-stamped lines into the day's result files
// while the console follows the main log.
// Solution: one temporary Logger per line; setUp() makes the results folder,
// opens the files and starts the console echo, the first line at the latest.
#ifndef TAPFUZZ_BASE_LOGGER_H
#define TAPFUZZ_BASE_LOGGER_H

#include <pthread.h>
#include <stddef.h>

#include <ostream>
#include <streambuf>
#include <string>

enum log_rank {
    INFO = 0,
    INFO1 = 1,
    DEBUG = 2,
    WARNING = 3,
    ERROR = 4,
    FATAL = 5,
};

// A log file: a stream that writes straight onto a descriptor opened for
// appending and close-on-exec, so that no program tapfuzz starts holds the
// logs open for writing (std::ofstream cannot ask for O_CLOEXEC). Nothing is
// buffered: what the stream is given reaches the file in one write(2) when
// the file takes it whole, and a refusal sets badbit.
class LogFile : public std::ostream {
public:
    LogFile();
    ~LogFile() override;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens `name` for appending, creating it when missing; clears the
    // stream's state on success.
    bool open(const std::string& name);
    bool is_open() const { return m_buf.fd >= 0; }
    void close();

private:
    struct Buf : std::streambuf {
        int fd = -1;
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* data, std::streamsize size) override;
    };
    Buf m_buf;
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
    static std::ostream& start(log_rank rank, int line, const char* function);
    static std::ostream& start(log_rank rank, int line, const std::string& function)
    {
        return start(rank, line, function.c_str());
    }
    static std::ostream& getStream(log_rank rank);
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
