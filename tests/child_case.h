// Problem: the option and pacing globals keep what a case wrote, the first log
// line sets up ./results/ and a console echo, and both must not leak from one
// case into the next or into the test's own directory.
// Solution: run each case in a forked child inside a fresh folder of its own,
// hand a plain record back through shared memory, and keep the child's
// standard output and main log for the test to read.
#ifndef TAPFUZZ_TESTS_CHILD_CASE_H
#define TAPFUZZ_TESTS_CHILD_CASE_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "sandbox.h"

// A command line as main receives it: the program's name, then `args`.
class CommandLine {
public:
    explicit CommandLine(const std::vector<std::string>& args) : words_{"tapfuzz"}
    {
        words_.insert(words_.end(), args.begin(), args.end());
        for (std::string& w : words_)
            argv_.push_back(&w[0]);
        argv_.push_back(nullptr);
    }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return argv_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};

class ChildCase {
public:
    // A file in the case folder, which is the child's working directory.
    std::string path(const std::string& rel) const { return folder_.path(rel); }
    void writeFile(const std::string& rel, const std::string& text) const { Sandbox::WriteFile(path(rel), text); }
    std::string stdoutText() const { return Sandbox::ReadFile(path("stdout.txt")); }

    // Runs body in a child whose standard output goes to stdout.txt. True
    // when the child ended normally, having stored its record.
    template <class T>
    bool Run(const std::function<T()>& body, T* out) const
    {
        static_assert(std::is_trivially_copyable<T>::value, "the record crosses processes");
        void* shared = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED)
            return false;
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(path("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0 || chdir(path("").c_str()) != 0)
                _exit(90);
            T record = body();
            fflush(stdout);
            memcpy(shared, &record, sizeof record);
            _exit(0);
        }
        // The log's console echo ends with the child: the kernel kills it when
        // the thread that started it is gone.
        int status = -1;
        while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (status == 0)
            memcpy(out, shared, sizeof(T));
        munmap(shared, sizeof(T));
        return status == 0;
    }

    // The main log of the run, results/tapfuzz<date>/tapfuzz.log, whatever
    // the date was when the child set it up. Empty when nothing was logged.
    std::string mainLog() const
    {
        std::string text;
        if (DIR* d = opendir(path("results").c_str())) {
            while (dirent* e = readdir(d))
                if (strncmp(e->d_name, "tapfuzz", 7) == 0)
                    text += Sandbox::ReadFile(path("results/") + e->d_name + "/tapfuzz.log");
            closedir(d);
        }
        return text;
    }

    // The messages of the lines carrying `tag` ("[INFO]", "[DEBUG][parse_opt]"),
    // each without its prefix.
    static std::vector<std::string> Messages(const std::string& text, const std::string& tag)
    {
        std::vector<std::string> found;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            size_t at = line.find(tag);
            if (at == std::string::npos)
                continue;
            std::string rest = line.substr(at + tag.size());
            size_t end = rest.compare(0, 6, "[Line ") == 0 ? rest.find("]:") : std::string::npos;
            found.push_back(end == std::string::npos ? rest : rest.substr(end + 2));
        }
        return found;
    }

private:
    Sandbox folder_;  // used only as a private folder, removed with the case
};

#endif
