// Problem: the option and pacing globals keep what a case wrote, the first log
// line sets up ./results/ and a console echo, and both must not leak from one
// case into the next or into the test's own directory.
// Solution: run each case in a forked child inside a fresh folder below the
// current directory, hand a plain record back through a pipe, and keep the
// child's standard output and main log for the test to read.
#ifndef TAPFUZZ_TESTS_CHILD_CASE_H
#define TAPFUZZ_TESTS_CHILD_CASE_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

class ChildCase {
public:
    ChildCase()
    {
        char name[] = "./run_control_case.XXXXXX";
        if (mkdtemp(name) != nullptr)
            dir_ = name;
    }
    ~ChildCase()
    {
        if (!dir_.empty())
            nftw(dir_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    ChildCase(const ChildCase&) = delete;
    ChildCase& operator=(const ChildCase&) = delete;

    bool ok() const { return !dir_.empty(); }
    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }

    void writeFile(const std::string& rel, const std::string& text) const
    {
        std::ofstream(path(rel), std::ios::binary) << text;
    }

    // Runs body in a child whose working directory is the case folder and
    // whose standard output goes to stdout.txt. True when the child ended
    // normally and handed back a whole record.
    template <class T>
    bool Run(const std::function<T()>& body, T* out) const
    {
        static_assert(std::is_trivially_copyable<T>::value, "the record crosses a pipe");
        int fds[2];
        if (!ok() || pipe(fds) != 0)
            return false;
        fflush(stdout);
        pid_t pid = fork();
        if (pid < 0) {
            close(fds[0]);
            close(fds[1]);
            return false;
        }
        if (pid == 0) {
            close(fds[0]);
            // Its own process group, so that whatever the child leaves
            // running (the log's console echo) can be ended with it.
            setpgid(0, 0);
            int fd = open(path("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0 || chdir(dir_.c_str()) != 0)
                _exit(90);
            T record = body();
            fflush(stdout);
            const char* p = reinterpret_cast<const char*>(&record);
            size_t left = sizeof record;
            while (left > 0) {
                ssize_t n = write(fds[1], p, left);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    _exit(91);
                p += n;
                left -= static_cast<size_t>(n);
            }
            _exit(0);
        }
        close(fds[1]);
        std::string data;
        char buf[4096];
        for (;;) {
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            data.append(buf, static_cast<size_t>(n));
        }
        close(fds[0]);
        // Until the child is reaped its id cannot be reused, so the group
        // kill reaches only what this child started.
        siginfo_t info;
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
        kill(-pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || data.size() != sizeof(T))
            return false;
        memcpy(out, data.data(), sizeof(T));
        return true;
    }

    std::string stdoutText() const { return readAll(path("stdout.txt")); }

    // The main log of the run: results/tapfuzz<date>/tapfuzz.log, whatever
    // the date was when the child set it up. Empty when nothing was logged.
    std::string mainLog() const
    {
        std::string text;
        DIR* d = opendir(path("results").c_str());
        if (d == nullptr)
            return text;
        while (dirent* e = readdir(d)) {
            if (strncmp(e->d_name, "tapfuzz", 7) == 0)
                text += readAll(path("results/") + e->d_name + "/tapfuzz.log");
        }
        closedir(d);
        return text;
    }

    // The messages of the lines carrying `tag` (for example "[INFO]" or
    // "[DEBUG][parse_opt]"), each without its prefix.
    static std::vector<std::string> Messages(const std::string& text, const std::string& tag)
    {
        std::vector<std::string> found;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            size_t at = line.find(tag);
            if (at == std::string::npos)
                continue;
            std::string rest = line.substr(at + tag.size());
            if (rest.compare(0, 6, "[Line ") == 0) {
                size_t end = rest.find("]:");
                rest = end == std::string::npos ? rest : rest.substr(end + 2);
            }
            found.push_back(rest);
        }
        return found;
    }

private:
    static std::string readAll(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static int removeEntry(const char* p, const struct stat*, int, struct FTW*)
    {
        remove(p);
        return 0;
    }

    std::string dir_;
};

#endif
