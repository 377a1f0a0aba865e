// Problem: the run thread and the core-dump watcher both write time-stamped
// lines into the results of the day, and the console must follow the main
// log without the follower ever outliving tapfuzz.
// Solution: a line lock held by each Logger from construction to line end,
// a one-time setup under its own mutex, and a console echo that is our own
// child, tied to its thread by the kernel's parent-death signal.
#include "base/logger.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <charconv>

#include "base/clock.h"
#include "base/io.h"
#include "base/results_folder.h"

std::string info_log_filename = "./tapfuzz.log";
std::string warn_log_filename = "./crash.log";
std::string error_log_filename;
std::string debug_log_filename;
pthread_t global;

LogFile Logger::m_info_log_file;
LogFile Logger::m_warn_log_file;
LogFile Logger::m_error_log_file;
LogFile Logger::m_debug_log_file;
pthread_t Logger::m_pid;

namespace {

// Raised by the echo thread; read before the setup mutex is taken.
std::atomic<bool> log_opt{false};
// Serialises the setup.
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
// Guarded by mutex: the files are prepared once; an echo thread was created.
bool files_ready = false;
bool echo_created = false;
// Set after a successful creation, taken by the one stopEcho that joins it.
std::atomic<bool> echo_joinable{false};

// Held from a Logger's construction to its line end. The per-thread depth
// lets a line written from a signal handler (or exit) on a thread that is
// already inside a line go on without waiting for itself.
pthread_mutex_t line_mutex = PTHREAD_MUTEX_INITIALIZER;
thread_local int t_line_depth = 0;
thread_local bool t_in_setup = false;

void lockLine()
{
    // Counted before locking and uncounted after unlocking: a signal handler
    // that logs in between then skips the lock rather than deadlocking.
    if (t_line_depth++ == 0)
        pthread_mutex_lock(&line_mutex);
}

void unlockLine()
{
    if (t_line_depth == 1)
        pthread_mutex_unlock(&line_mutex);
    --t_line_depth;
}

// Each line is put together in memory and reaches its stream whole, in one
// write at its end: a line the process is killed in the middle of, or one
// the disk refuses, never leaves a torn prefix in the file, and the console
// echo sharing standard output cannot land inside a debug line. One buffer
// per destination and thread keeps the format flags a caller sets (the
// event mix prints with one decimal) in force for the rest of the run, as
// on the stream itself; a line begun inside another line of the same thread
// gets a buffer of its own.
//
// A click writes a debug line, so the buffer is on the hot path: no
// allocation but for a line longer than any before, and the prefix copied
// in whole.
enum { kMainLog, kConsole, kCrashLog, kErrorLog, kDestinations };
thread_local LogStream t_line[kDestinations];
thread_local LogStream t_nested[4];

int destination(log_rank rank)
{
    switch (rank) {
    case INFO:
    case INFO1: return kMainLog;
    case DEBUG: return kConsole;
    case WARNING: return kCrashLog;
    default: return kErrorLog;
    }
}

LogStream& lineStream(log_rank rank)
{
    if (t_line_depth <= 1)
        return t_line[destination(rank)];
    int level = t_line_depth - 2;
    return t_nested[level < 4 ? level : 3];
}

// A whole line onto the console's descriptor. What stdio still holds for it
// (a printf of the profile reader, the usage text) goes first, so that the
// console keeps the order things were said in.
void writeConsole(int fd, const char* data, size_t size)
{
    fflush(fd == STDOUT_FILENO ? stdout : stderr);
    (void)writeAll(fd, data, size);
}

// The time text changes once a second; each thread keeps its own copy.
const char* timeText()
{
    thread_local time_t last = static_cast<time_t>(-1);
    thread_local char text[128] = "";
    time_t now = time(NULL);
    if (now != last) {
        struct tm tm_now;
        text[0] = '\0';
        if (localtime_r(&now, &tm_now) != NULL)
            strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm_now);
        last = now;
    }
    return text;
}

// A file that filled up in the middle of a line keeps the part that fitted;
// cut the file back to its last whole line so the next line starts clean.
// The part is shorter than the refused line, so its start lies within that
// many bytes of the end.
void dropPartialLine(const std::string& name, size_t refused)
{
    int fd = open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        off_t from = st.st_size > static_cast<off_t>(refused) ? st.st_size - static_cast<off_t>(refused) : 0;
        std::string tail(static_cast<size_t>(st.st_size - from), '\0');
        if (preadAll(fd, &tail[0], tail.size(), from) == static_cast<ssize_t>(tail.size())) {
            size_t nl = tail.rfind('\n');
            if (nl != std::string::npos)
                from += static_cast<off_t>(nl + 1);
            if ((nl != std::string::npos || from == 0) && from < st.st_size)
                (void)!ftruncate(fd, from);
        }
    }
    close(fd);
}

// A log file on a disk that may fill up. A line the disk cannot take goes
// to the console instead. Cutting a part line back out of the file would
// make the console echo replay the whole log, so the file's next bytes are
// reserved on disk before lines are written into them (64 KiB at a time,
// or just the line when the disk is nearly full): a line is written only
// into space it is sure of, and a refused file is tried again at most once
// a second. Where nothing can be reserved, the write itself tells, and a
// part line it leaves is cut as before.
struct Outage {
    bool down = false;
    long retryAt = 0;
    size_t credit = 0;  // bytes reserved beyond the end of the file
};
Outage outages[2];  // main log, crash log; guarded by the line lock

size_t reserveSpace(const std::string& name, size_t bytes)
{
    const size_t kChunk = 64 * 1024;
    int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    size_t credit = 0;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        for (size_t len : {bytes > kChunk ? bytes : kChunk, bytes}) {
            if (fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, static_cast<off_t>(len)) == 0 || errno != ENOSPC) {
                credit = len;  // reserved, or no reserving here
                break;
            }
        }
    }
    close(fd);
    return credit;
}

// True when the line may go to the file now.
bool fileTakes(Outage* outage, const std::string& name, size_t bytes)
{
    if (outage == nullptr)
        return true;
    long now = 0;
    if (outage->down && (now = monotonicSeconds()) < outage->retryAt)
        return false;
    if (outage->credit < bytes)
        outage->credit = reserveSpace(name, bytes);
    if (outage->credit < bytes) {
        outage->down = true;
        outage->retryAt = (now != 0 ? now : monotonicSeconds()) + 1;
        return false;
    }
    outage->credit -= bytes;
    return true;
}

// At exit(), stop the echo and keep the line lock for good: the static
// streams are destroyed after this, and a thread still logging must wait
// for the process to end instead of writing into a dead stream.
void holdLinesAtExit()
{
    Logger::stopEcho();
    if (t_line_depth > 0)
        return;
    if (!t_in_setup)
        pthread_mutex_lock(&mutex);
    pthread_mutex_lock(&line_mutex);
}

struct EchoChild {
    pid_t pid;
};

void killEcho(void* arg)
{
    pid_t pid = static_cast<EchoChild*>(arg)->pid;
    kill(pid, SIGKILL);
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
    }
}

void closeInheritedFds()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
#endif
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536)
        max = 65536;
    for (int fd = 3; fd < max; ++fd)
        close(fd);
}

// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void execEcho(const char* command, pid_t parent)
{
    // The kernel kills the echo when the thread that forked it ends, which
    // covers every way the process can die, SIGKILL included.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the line above took effect.
    if (getppid() != parent)
        _exit(0);

    // The echo thread blocks every signal; tail must react to them normally
    // (Ctrl-C on the console reaches it as well).
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &dfl, NULL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);

    closeInheritedFds();
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(NULL));
    _exit(127);
}

} // namespace

LogStream& LogStream::put(const char* text, size_t size)
{
    if (m_capacity - m_used < size)
        grow(size);
    memcpy(m_at + m_used, text, size);
    m_used += size;
    return *this;
}

void LogStream::grow(size_t more)
{
    size_t want = m_capacity * 2;
    while (want - m_used < more)
        want *= 2;
    std::string bigger(want, '\0');
    memcpy(&bigger[0], m_at, m_used);
    m_big.swap(bigger);
    m_at = &m_big[0];
    m_capacity = want;
}

LogStream& LogStream::operator<<(const char* text)
{
    // As std::ostream: a null pointer prints nothing.
    return text != nullptr ? put(text, strlen(text)) : *this;
}

LogStream& LogStream::putSigned(long long v)
{
    char digits[24];
    std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, v);
    return put(digits, static_cast<size_t>(r.ptr - digits));
}

LogStream& LogStream::putUnsigned(unsigned long long v)
{
    char digits[24];
    std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, v);
    return put(digits, static_cast<size_t>(r.ptr - digits));
}

LogStream& LogStream::operator<<(double v)
{
    // std::ostream's own conversions: %g with a precision of 6, or %f with
    // the decimals asked for.
    char text[352];
    int n = m_decimals < 0 ? snprintf(text, sizeof text, "%.*g", 6, v) : snprintf(text, sizeof text, "%.*f", m_decimals, v);
    if (n > 0)
        put(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
    return *this;
}

LogStream& LogStream::operator<<(const void* p)
{
    if (p == nullptr)
        return put("0", 1);
    char digits[24] = "0x";
    std::to_chars_result r = std::to_chars(digits + 2, digits + sizeof digits, reinterpret_cast<uintptr_t>(p), 16);
    return put(digits, static_cast<size_t>(r.ptr - digits));
}

LogStream& LogStream::operator<<(LogFixed f)
{
    m_decimals = f.digits < 0 ? 0 : f.digits > 40 ? 40 : f.digits;
    return *this;
}

bool LogFile::open(const std::string& name)
{
    close();
    do {
        m_fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (m_fd < 0 && errno == EINTR);
    return m_fd >= 0;
}

void LogFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool LogFile::write(const char* data, size_t size)
{
    // A short count is how a full disk (or a file size limit) shows; the
    // caller cuts the part back out.
    return writeAll(m_fd, data, size) == 0;
}

void initLogger(const std::string& info_name, const std::string& warn_name,
                const std::string& error_name, const std::string& debug_name)
{
    const std::string* names[] = {&info_name, &warn_name, &error_name, &debug_name};
    LogFile* files[] = {&Logger::m_info_log_file, &Logger::m_warn_log_file,
                        &Logger::m_error_log_file, &Logger::m_debug_log_file};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (!names[i]->empty() && !files[i]->is_open())
            files[i]->open(*names[i]);
    }
}

Logger::Logger(log_rank rank) : m_log_rank(rank), m_cancel_state(PTHREAD_CANCEL_ENABLE)
{
    // A thread cancelled inside a line would keep the line lock forever.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_cancel_state);
    setUp();
    lockLine();
}

void Logger::setUp()
{
    if (log_opt.load(std::memory_order_acquire) || t_in_setup)
        return;
    pthread_mutex_lock(&mutex);
    if (!log_opt.load(std::memory_order_relaxed) && !echo_created) {
        t_in_setup = true;
        if (!files_ready) {
            // The folder of the day the run starts; a run past midnight
            // keeps writing there.
            makeResultsFolder();
            info_log_filename = resultsFolder() + "tapfuzz" + ".log";
            warn_log_filename = resultsFolder() + "crash" + ".log";
            initLogger(info_log_filename, warn_log_filename, error_log_filename, debug_log_filename);
            atexit(holdLinesAtExit);
            files_ready = true;
        }

        // Process signals (SIGINT, SIGTERM, SIGALRM) belong to the run thread.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        int rc = pthread_create(&m_pid, NULL, read_log, NULL);
        pthread_sigmask(SIG_SETMASK, &old, NULL);
        if (rc == 0) {
            echo_created = true;
            echo_joinable.store(true, std::memory_order_release);
        } else {
            lockLine();
            const char text[] = "can't create a new pthread";
            writeConsole(STDOUT_FILENO, text, sizeof text - 1);
            unlockLine();
        }
        global = m_pid;
        t_in_setup = false;
    }
    pthread_mutex_unlock(&mutex);
}

Logger::~Logger()
{
    LogStream& stream = lineStream(m_log_rank);
    stream.put("\n", 1);
    writeLine(m_log_rank, stream.data(), stream.size());
    stream.clear();
    if (m_log_rank == FATAL) {
        m_info_log_file.close();
        m_warn_log_file.close();
        m_error_log_file.close();
        m_debug_log_file.close();
        abort();
    }
    unlockLine();
    pthread_setcancelstate(m_cancel_state, NULL);
}

void Logger::writeLine(log_rank rank, const char* line, size_t size)
{
    LogFile* file = nullptr;
    switch (rank) {
    case INFO:
    case INFO1: file = &m_info_log_file; break;
    case DEBUG: file = &m_debug_log_file; break;
    case WARNING: file = &m_warn_log_file; break;
    default: file = &m_error_log_file; break;
    }
    int console = (rank == WARNING || rank >= ERROR) ? STDERR_FILENO : STDOUT_FILENO;
    if (!file->is_open()) {
        writeConsole(console, line, size);
        return;
    }
    const std::string& name = file == &m_warn_log_file ? warn_log_filename : info_log_filename;
    Outage* outage = file == &m_info_log_file ? &outages[0] : file == &m_warn_log_file ? &outages[1] : nullptr;
    if (!fileTakes(outage, name, size)) {
        writeConsole(console, line, size);
        return;
    }
    if (file->write(line, size)) {
        if (outage != nullptr)
            outage->down = false;
        return;
    }
    if (outage != nullptr) {
        outage->down = true;
        outage->retryAt = monotonicSeconds() + 1;
        outage->credit = 0;
    }
    // The file refused the line (a full disk): reopening drops what the
    // stream still holds, so nothing of it is glued to a later line, and the
    // line goes to the console instead, as when the file cannot be opened:
    // a crash record is never lost.
    file->close();
    dropPartialLine(name, size);
    file->open(name);
    writeConsole(console, line, size);
}

LogStream& Logger::start(log_rank rank, int line, const char* function)
{
    LogStream& os = lineStream(rank);
    const char* timep = timeText();
    switch (rank) {
    case INFO:
        os << "[" << timep << "][INFO]";
        break;
    case INFO1:
    case WARNING:
        os << "[" << timep << "][CRASH][Coredump]";
        break;
    case DEBUG:
        os << "[" << timep << "][DEBUG][" << function << "][Line " << line << "]:";
        break;
    default:
        break;
    }
    return os;
}

void* Logger::read_log(void* arg)
{
    (void)arg;
    log_opt.store(true, std::memory_order_release);
    // exec: tail replaces the shell, so the death signal reaches tail itself.
    std::string command = "exec tail -F " + info_log_filename;

    pthread_testcancel();
    pid_t parent = getpid();
    EchoChild child{fork()};
    if (child.pid == 0)
        execEcho(command.c_str(), parent);
    if (child.pid < 0)
        return NULL;

    pthread_cleanup_push(killEcho, &child);
    while (waitpid(child.pid, NULL, 0) < 0 && errno == EINTR) {
    }
    pthread_cleanup_pop(0);
    return NULL;
}

void Logger::stopEcho()
{
    if (!echo_joinable.exchange(false, std::memory_order_acq_rel))
        return;
    // Cancelling the thread runs its cleanup, which kills and reaps our tail.
    pthread_cancel(m_pid);
    pthread_join(m_pid, NULL);
}
