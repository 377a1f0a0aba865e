// Problem: the driver tests must reach libfeedinput exactly as the program
// does (dlopen by path, dlsym by name) and compare what it wrote to the event
// node record by record, on any record layout the platform has.
// Solution: a binding of the exported names, readable record builders, a
// decoder on the platform's own struct input_event, and a capture of the
// library's console output.
#ifndef TAPFUZZ_TESTS_DRIVER_TEST_UTIL_H
#define TAPFUZZ_TESTS_DRIVER_TEST_UTIL_H

#include "feedinput.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// The built library, bound by the names the program looks up. Each sandboxed
// case binds it in a fresh child, so its descriptors start closed there.
struct Driver {
    Driver()
    {
        handle = dlopen(FEEDINPUT_PATH, RTLD_NOW);
        if (handle == nullptr) {
            ADD_FAILURE() << "dlopen " << FEEDINPUT_PATH << ": " << dlerror();
            return;
        }
        bind(touchClick, "touchClick");
        bind(touchLongClick, "touchLongClick");
        bind(touchSwipe, "touchSwipe");
        bind(ComputePos, "ComputePos");
        bind(linePos, "linePos");
        bind(CreateResource, "CreateResource");
        bind(ReleaseResource, "ReleaseResource");
        bind(m_fd, "m_fd");
        bind(sendHKeyInput, "sendHKeyInput");
        bind(CreateResource1, "CreateResource1");
        bind(ReleaseResource1, "ReleaseResource1");
        bind(mFdhwkey, "mFdhwkey");
    }
    bool ok() const { return bound; }

    // The types come from the library's own declarations, so a signature
    // that drifts from what the program calls breaks this build.
    decltype(&::touchClick) touchClick = nullptr;
    decltype(&::touchLongClick) touchLongClick = nullptr;
    decltype(&::touchSwipe) touchSwipe = nullptr;
    decltype(&::ComputePos) ComputePos = nullptr;
    decltype(&::linePos) linePos = nullptr;
    decltype(&::CreateResource) CreateResource = nullptr;
    decltype(&::ReleaseResource) ReleaseResource = nullptr;
    decltype(&::m_fd) m_fd = nullptr;
    decltype(&::sendHKeyInput) sendHKeyInput = nullptr;
    decltype(&::CreateResource1) CreateResource1 = nullptr;
    decltype(&::ReleaseResource1) ReleaseResource1 = nullptr;
    decltype(&::mFdhwkey) mFdhwkey = nullptr;

private:
    template <class T>
    void bind(T& slot, const char* name)
    {
        slot = reinterpret_cast<T>(dlsym(handle, name));
        if (slot == nullptr) {
            ADD_FAILURE() << "dlsym " << name << ": " << dlerror();
            bound = false;
        }
    }
    void* handle = nullptr;
    bool bound = true;
};

// One expected record; the time stamp is always expected to be zero.
struct Rec {
    int type;
    int code;
    int value;
};
typedef std::vector<Rec> Recs;

inline Recs operator+(Recs a, const Recs& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Recs Down(int x, int y)
{
    return {{EV_ABS, ABS_MT_TRACKING_ID, 1}, {EV_ABS, ABS_MT_POSITION_X, x},
            {EV_ABS, ABS_MT_POSITION_Y, y},  {EV_KEY, BTN_TOUCH, 1},
            {EV_ABS, ABS_X, x},              {EV_ABS, ABS_Y, y},
            {EV_SYN, SYN_REPORT, 0}};
}
inline Recs Move(int x, int y)
{
    return {{EV_ABS, ABS_MT_POSITION_X, x}, {EV_ABS, ABS_MT_POSITION_Y, y},
            {EV_ABS, ABS_X, x},             {EV_ABS, ABS_Y, y},
            {EV_SYN, SYN_REPORT, 0}};
}
inline Recs Lift()
{
    return {{EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}};
}
inline Recs KeyPress(int code)
{
    return {{EV_KEY, code, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, code, 0}, {EV_SYN, SYN_REPORT, 0}};
}

inline std::string Show(const Recs& recs)
{
    std::ostringstream s;
    for (const Rec& r : recs)
        s << r.type << ' ' << r.code << ' ' << r.value << '\n';
    return s.str();
}

// Decodes raw node contents with the platform's own record layout (16 bytes
// on the 32-bit target, 24 on a 64-bit host). A torn record or a non-zero
// time stamp is a failure of its own.
inline Recs Decode(const std::string& bytes)
{
    Recs out;
    EXPECT_EQ(0u, bytes.size() % sizeof(struct input_event)) << "torn record";
    for (size_t off = 0; off + sizeof(struct input_event) <= bytes.size();
         off += sizeof(struct input_event)) {
        struct input_event ev;
        memcpy(&ev, bytes.data() + off, sizeof ev);
        EXPECT_EQ(0, static_cast<long>(ev.input_event_sec)) << "record " << out.size();
        EXPECT_EQ(0, static_cast<long>(ev.input_event_usec)) << "record " << out.size();
        out.push_back({ev.type, ev.code, ev.value});
    }
    return out;
}

// Compares as text, one "type code value" line per record, so that a
// mismatch shows up as a readable diff.
#define ExpectRecords(bytes, expected) EXPECT_EQ(Show(expected), Show(Decode(bytes)))

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline size_t RecordsIn(const std::string& bytes)
{
    return bytes.size() / sizeof(struct input_event);
}

// Sends one of the standard descriptors into a pipe until Take(), which
// hands back what arrived. A pipe, not a file: cases that limit the size of
// files the process may write must still see the library's messages. The
// library says a few lines at most, far below what a pipe buffers. stdio is
// flushed on both edges, since the library prints through it.
class Captured {
public:
    explicit Captured(int fd) : fd_(fd)
    {
        fflush(nullptr);
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return;
        }
        saved_ = dup(fd_);
        dup2(p[1], fd_);
        close(p[1]);
        read_ = p[0];
    }
    ~Captured()
    {
        restore();
        if (read_ >= 0)
            close(read_);
    }
    Captured(const Captured&) = delete;
    Captured& operator=(const Captured&) = delete;

    std::string Take()
    {
        restore();
        std::string text;
        char buf[512];
        ssize_t n;
        while (read_ >= 0 && ((n = read(read_, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
            if (n > 0)
                text.append(buf, n);
        return text;
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    int fd_;
    int saved_ = -1;
    int read_ = -1;
};

// Both console streams of the library around a few calls.
struct Console {
    Captured out{STDOUT_FILENO};
    Captured err{STDERR_FILENO};
};

#endif
