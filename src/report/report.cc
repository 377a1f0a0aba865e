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
    Fd fd(run.listed ? openRegular(folder.fd, run.name + ".events", &st, &why) : -1);
    if (!run.listed)
        addNote(run.notes, run.notesLeft, "the log names run record " + run.name + ".events, which is not in the folder");
    else if (fd.get() < 0)
        addNote(run.notes, run.notesLeft, "run record " + folder.path + "/" + run.name + ".events not readable: " + why);
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

}  // namespace

int writeReport(const std::string& given)
{
    // "results/tapfuzzD/" and "results/tapfuzzD" name one folder; the paths
    // the page shows (the replay command among them) get one slash.
    std::string path = given;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    if (!dir) {
        fprintf(stderr, "tapfuzz: cannot read the results folder %s: %s\n", escapeLogText(path).c_str(), errorText(errno).c_str());
        return 1;
    }
    ReportFolder folder;
    folder.path = path;
    folder.fd = dirfd(dir.get());
    // Runs are the records in the listing, the first kMaxRuns by name.
    std::set<std::string> names;
    while (struct dirent* e = readdir(dir.get())) {
        std::string n = e->d_name;
        if (n.rfind("run-", 0) == 0 && n.size() > 11 && n.compare(n.size() - 7, 7, ".events") == 0) {
            names.insert(n.substr(0, n.size() - 7));
            if (names.size() > kMaxRuns)
                names.erase(std::prev(names.end())), ++folder.runsLeft;
        }
    }
    for (const std::string& n : names) {
        folder.runs[n].name = n;
        folder.runs[n].listed = true;
    }
    {
        std::string why;
        struct stat st;
        Fd log(openRegular(folder.fd, "tapfuzz.log", &st, &why));
        if (log.get() >= 0) {
            LineReader in(log.get());
            readMainLog(in, folder);
        } else {
            addNote(folder.notes, folder.notesLeft, "main log " + path + "/tapfuzz.log not readable: " + why);
        }
    }

    AsideFile htmlPart(folder.fd, "report.html"), junitPart(folder.fd, "junit.xml");
    const int htmlFd = htmlPart.create(true), junitFd = htmlFd < 0 ? -1 : junitPart.create(true);
    if (htmlFd < 0 || junitFd < 0) {
        fprintf(stderr, "tapfuzz: cannot write %s/%s.part: %s\n", escapeLogText(path).c_str(),
                htmlFd < 0 ? "report.html" : "junit.xml", errorText(errno).c_str());
        return 1;
    }
    ReportOut html(htmlFd), junit(junitFd);
    html << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"/><title>tapfuzz report " << esc(path)
         << "</title><style>body{font:14px sans-serif;margin:16px;max-width:960px}table{border-collapse:collapse;"
            "margin:6px 0}td,th{border:1px solid #bbb;padding:2px 6px;text-align:left;vertical-align:top}"
            "pre,code{font-size:11px;margin:0;white-space:pre-wrap;word-break:break-all}section{border-top:3px "
            "solid #333;margin-top:20px}.note{color:#a40}</style></head><body>\n<h1>tapfuzz report</h1><p>"
         << esc(path) << ": " << folder.runs.size() << " run(s)</p>\n";
    // The totals come last; their room is kept in the opening tag.
    const std::string opening = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tapfuzz\"";
    const size_t room = 48;
    junit << opening << std::string(room, ' ') << ">\n";
    for (auto& r : folder.runs) {
        readRun(folder, r.second);
        writeRun(html, junit, folder, r.second);
        r.second = ReportRun();  // its figures are written: the memory goes to the next
    }
    if (folder.runs.empty())
        addNote(folder.notes, folder.notesLeft, "no run found in " + path);
    if (folder.runsLeft > 0)
        addNote(folder.notes, folder.notesLeft, std::to_string(folder.runsLeft) + " runs beyond the first " +
                                                    std::to_string(kMaxRuns) + " not reported");
    if (!folder.notes.empty()) {
        html << "<h2>Not readable</h2><ul class=\"notes\">";
        for (const std::string& n : folder.notes)
            html << "<li class=\"note\">" << esc(n) << "</li>";
        if (folder.notesLeft > 0)
            html << "<li class=\"note\">" << folder.notesLeft << " more</li>";
        html << "</ul>";
    }
    html << "</body></html>\n";
    junit << "</testsuites>\n";
    const std::string totals =
        " tests=\"" + std::to_string(folder.tests) + "\" failures=\"" + std::to_string(folder.failures) + "\"";
    std::string why;
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
