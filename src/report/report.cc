// Problem: a results folder is read by people at a desk and by CI servers,
// long after the run and often damaged (a killed run, a full disk), and the
// files the report writes must never be seen half written.
// Solution: walk the folder's runs one at a time (read, written, forgotten),
// note what is not readable, and give report.html and junit.xml their names
// only when whole and valid.
#include "report/report.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <memory>
#include <set>

#include "base/files.h"
#include "base/log_text.h"
#include "record/record_line.h"
#include "report/report_out.h"
#include "report/report_page.h"
#include "report/report_reader.h"

namespace {

// FOLDER/NAME is written as NAME.part and renamed when whole and valid.
bool commit(AsideFile& part, ReportOut& out, std::string* why)
{
    if (!out.flush()) {
        *why = errorText(errno);
        return false;
    }
    if (!out.valid()) {
        *why = "its text would not be valid UTF-8 of XML characters";
        return false;
    }
    if (part.close(false) != 0 || part.rename(true) != 0) {
        *why = errorText(errno);
        return false;
    }
    return true;
}

void readRun(ReportFolder& folder, ReportRun& run)
{
    std::string why;
    struct stat st;
    Fd fd(run.listed ? openRegular(folder.fd, run.name + kRecordEnd, &st, &why) : -1);
    if (!run.listed)
        addNote(run.notes, run.notesLeft, "the log names run record " + run.name + kRecordEnd + ", which is not in the folder");
    else if (fd.get() < 0)
        addNote(run.notes, run.notesLeft, "run record " + folder.path + "/" + run.name + kRecordEnd + " not readable: " + why);
    if (fd.get() >= 0) {
        LineReader in(fd.get());
        readRecord(in, run);
    }
    sortMarks(run);
    if (fd.get() >= 0 && !run.before.empty() && lseek(fd.get(), 0, SEEK_SET) == 0) {
        LineReader in(fd.get());
        readGesturesBefore(in, run);
    }
}

// A shrink's result names the record and the crash it shrank on its
// "# shrunk from:RECORD crash after:N" line: that run's name and N. False
// for any other record.
bool shrunkFrom(const ReportRun& run, std::string* name, int* after)
{
    const auto from = run.head.find(kShrunkFromKey);
    return from != run.head.end() && readShrunkFrom(from->second, name, after);
}

// FOLDER's runs: the records in its listing, the first kMaxRuns by name,
// and the main log's lines of each.
void readFolder(ReportFolder& folder, DIR* dir)
{
    std::set<std::string> names;
    while (struct dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        if (cutRunName(&n)) {
            names.insert(n);
            if (names.size() > kMaxRuns)
                names.erase(std::prev(names.end())), ++folder.runsLeft;
        }
    }
    for (const std::string& n : names) {
        folder.runs[n].name = n;
        folder.runs[n].listed = true;
    }
    std::string why;
    struct stat st;
    Fd log(openRegular(folder.fd, "tapfuzz.log", &st, &why));
    if (log.get() >= 0) {
        LineReader in(log.get());
        readMainLog(in, folder);
    } else {
        addNote(folder.notes, folder.notesLeft, "main log " + folder.path + "/tapfuzz.log not readable: " + why);
    }
}

// The runs' sections, written aside while the crashes of all of them are
// grouped, go into the page below the groups.
bool copyInto(ReportOut& html, AsideFile& runsPart, ReportOut& runs, int dir)
{
    struct stat wrote, st;
    std::string why;
    if (!runs.flush() || fstat(runsPart.fd(), &wrote) != 0)
        return false;
    Fd in(openRegular(dir, runsPart.part(), &st, &why));
    if (in.get() < 0 || st.st_ino != wrote.st_ino || st.st_dev != wrote.st_dev) {
        errno = in.get() < 0 ? errno : EIO;
        return false;
    }
    char buf[64 * 1024];
    ssize_t n;
    while ((n = readAll(in.get(), buf, sizeof buf)) > 0)
        html.put(buf, static_cast<size_t>(n));
    return n == 0;
}

}  // namespace

int writeReport(const std::vector<std::string>& given)
{
    // "results/tapfuzzD/" and "results/tapfuzzD" name one folder; the paths
    // the page shows (the replay command among them) get one slash. Each is
    // looked at now and opened again when its turn comes, so that only the
    // first (where the files go) and the one being read are open at once.
    std::vector<ReportFolder> folders(given.size());
    std::vector<std::string> firstNotes;
    std::unique_ptr<DIR, int (*)(DIR*)> first(nullptr, closedir);
    for (size_t i = 0; i < given.size(); ++i) {
        std::string path = given[i];
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        folders[i].path = path;
        folders[i].index = i;
        std::unique_ptr<DIR, int (*)(DIR*)> dir(openFolder(folders[i], nullptr), closedir);
        if (!dir) {
            fprintf(stderr, "tapfuzz: cannot read the results folder %s: %s\n", escapeLogText(path).c_str(),
                    errorText(errno).c_str());
            return 1;
        }
        // Given twice, its runs and crashes would count twice.
        for (size_t k = 0; k < i && !folders[i].again; ++k)
            if (!folders[k].again && folders[k].dev == folders[i].dev && folders[k].ino == folders[i].ino) {
                firstNotes.push_back(path + " is " + folders[k].path + " again: reported once");
                folders[i].again = true;
            }
        if (i == 0)
            first = std::move(dir);
        else
            folders[i].fd = -1;
    }
    ReportFolder& top = folders[0];
    const std::string& path = top.path;

    AsideFile htmlPart(top.fd, "report.html"), junitPart(top.fd, "junit.xml"), runsPart(top.fd, "report.html.runs");
    const int htmlFd = htmlPart.create(true), junitFd = htmlFd < 0 ? -1 : junitPart.create(true),
              runsFd = junitFd < 0 ? -1 : runsPart.create(true);
    if (runsFd < 0) {
        fprintf(stderr, "tapfuzz: cannot write %s/%s.part: %s\n", escapeLogText(path).c_str(),
                htmlFd < 0 ? "report.html" : junitFd < 0 ? "junit.xml" : "report.html.runs", errorText(errno).c_str());
        return 1;
    }
    ReportOut html(htmlFd), junit(junitFd), runs(runsFd);
    // The totals come last; their room is kept in the opening tag.
    const std::string opening = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tapfuzz\"";
    const size_t room = 48;
    junit << opening << std::string(room, ' ') << ">\n";
    CrashGroups all;
    long long inlined = 0;
    int tests = 0, failures = 0;
    std::string counts;
    size_t notesKept = firstNotes.size();
    for (size_t i = 0; i < folders.size(); ++i) {
        ReportFolder& folder = folders[i];
        if (folder.again)
            continue;
        bool same = true;
        std::unique_ptr<DIR, int (*)(DIR*)> dir(i == 0 ? nullptr : openFolder(folder, &same), closedir);
        if (i > 0 && !dir) {
            addNote(folder.notes, folder.notesLeft, same ? "not readable now: " + errorText(errno)
                                                         : "replaced by another folder since the report began");
            continue;
        }
        readFolder(folder, i == 0 ? first.get() : dir.get());
        folder.inlined = inlined;
        // A shrink's result (its "# shrunk from:" line tells) is no run: it
        // goes under the crash it shrank, which names it.
        for (auto it = folder.runs.begin(); it != folder.runs.end();) {
            ReportRun probe = it->second;
            if (it->first.find(kShrunkMark) != std::string::npos && probe.listed)
                readRun(folder, probe);
            std::string shrank;
            int after = 0;
            if (!shrunkFrom(probe, &shrank, &after)) {
                ++it;
                continue;
            }
            folder.shrunk[{shrank, after}] = {probe.gestures, folder.path + "/" + it->first + kRecordEnd};
            it = folder.runs.erase(it);
        }
        for (auto& r : folder.runs) {
            readRun(folder, r.second);
            writeRun(runs, junit, folder, r.second);
            const std::string record = r.second.listed ? folder.path + "/" + r.first + kRecordEnd : "";
            all.merge(r.second.distinct, record, i, folder.path);
            r.second = ReportRun();  // its figures are written: the memory goes to the next
        }
        inlined = folder.inlined;
        tests += folder.tests;
        failures += folder.failures;
        counts += (counts.empty() ? "" : "; ") + esc(folder.path) + ": " + std::to_string(folder.runs.size()) + " run(s)";
        if (folder.runs.empty())
            addNote(folder.notes, folder.notesLeft, "no run found in " + folder.path);
        if (folder.runsLeft > 0)
            addNote(folder.notes, folder.notesLeft, std::to_string(folder.runsLeft) + " runs beyond the first " +
                                                        std::to_string(kMaxRuns) + " not reported");
        // Its runs are written: what is kept of the folder is its path,
        // figures and notes, these within one budget for all folders.
        folder.runs.clear();
        folder.shrunk.clear();
        const size_t noteRoom = kMaxNotes * 20 - std::min(notesKept, kMaxNotes * 20);
        if (folder.notes.size() > noteRoom) {
            folder.notesLeft += static_cast<long long>(folder.notes.size() - noteRoom);
            folder.notes.resize(noteRoom);
        }
        folder.notes.shrink_to_fit();
        notesKept += folder.notes.size();
        if (i > 0)
            folder.fd = -1;
    }
    // First in the list, which the runs' notes may have filled.
    if (all.left() > 0)
        firstNotes.push_back(std::to_string(all.left()) + " crashes beyond " + std::to_string(CrashGroups::kMaxGroups) +
                        " distinct crashes (or 8 MB of their text) not grouped");
    top.notes.insert(top.notes.begin(), firstNotes.begin(), firstNotes.end());

    html << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"/><title>tapfuzz report " << esc(path)
         << "</title><style>body{font:14px sans-serif;margin:16px;max-width:960px}table{border-collapse:collapse;"
            "margin:6px 0}td,th{border:1px solid #bbb;padding:2px 6px;text-align:left;vertical-align:top}"
            "pre,code{font-size:11px;margin:0;white-space:pre-wrap;word-break:break-all}section{border-top:3px "
            "solid #333;margin-top:20px}.note{color:#a40}</style></head><body>\n<h1>tapfuzz report</h1><p>"
         << counts << "</p>\n";
    top.inlined = inlined;
    writeAllCrashes(html, junit, folders, all);
    std::string why;
    if (!copyInto(html, runsPart, runs, top.fd)) {
        fprintf(stderr, "tapfuzz: cannot write %s/report.html (its runs aside in %s): %s\n",
                escapeLogText(path).c_str(), runsPart.part().c_str(), errorText(errno).c_str());
        return 1;
    }
    bool any = false;
    for (const ReportFolder& folder : folders) {
        const std::string from = folders.size() > 1 ? folder.path + ": " : "";
        for (const std::string& n : folder.notes)
            html << (any ? "" : "<h2>Not readable</h2><ul class=\"notes\">") << "<li class=\"note\">" << esc(from + n)
                 << "</li>", any = true;
        if (folder.notesLeft > 0)
            html << "<li class=\"note\">" << esc(from) << folder.notesLeft << " more</li>";
    }
    if (any)
        html << "</ul>";
    html << "</body></html>\n";
    junit << "</testsuites>\n";
    tests += static_cast<int>(all.size() + (all.left() > 0 ? 1 : 0));
    failures += static_cast<int>(all.size() + (all.left() > 0 ? 1 : 0));
    const std::string totals = " tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\"";
    if (!commit(htmlPart, html, &why)) {
        fprintf(stderr, "tapfuzz: cannot write %s/report.html: %s\n", escapeLogText(path).c_str(), why.c_str());
        return 1;
    }
    if (!junit.flush() || pwrite(junitFd, totals.data(), totals.size(), static_cast<off_t>(opening.size())) !=
                              static_cast<ssize_t>(totals.size()) ||
        !commit(junitPart, junit, &why)) {
        fprintf(stderr, "tapfuzz: cannot write %s/junit.xml: %s\n", escapeLogText(path).c_str(),
                (why.empty() ? errorText(errno) : why).c_str());
        return 1;
    }
    printf("%s/report.html\n", path.c_str());
    return 0;
}
