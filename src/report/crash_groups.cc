// Problem: the keys and names come from records anyone may have written
// into: millions of made-up keys, or 64 KB ones, must not grow the report
// without bound.
// Solution: at most kMaxGroups groups and kMaxBytes of their text; what
// would pass either is counted, not kept.
#include "report/crash_groups.h"

#include <algorithm>

#include "record/record_line.h"

DistinctCrash* CrashGroups::group(const std::string& key, const std::string& program, int event)
{
    const std::string id = crashGroupKey(key, program);
    auto it = mGroups.find(id);
    if (it != mGroups.end())
        return &it->second;
    const size_t cost = 2 * id.size() + program.size() + 256;
    if (mGroups.size() >= kMaxGroups || mBytes + cost > kMaxBytes)
        return nullptr;
    mBytes += cost;
    DistinctCrash& g = mGroups[id];
    g.key = key;
    g.program = program;
    g.first = g.last = event;
    return &g;
}

void CrashGroups::keep(std::vector<std::string>& list, const std::string& text)
{
    if (list.size() < kListed && mBytes + text.size() + 32 <= kMaxBytes) {
        mBytes += text.size() + 32;
        list.push_back(text);
    }
}

// A replaced text's bytes are not given back: the bound only errs low.
void CrashGroups::set(std::string& field, const std::string& text)
{
    const bool room = mBytes + text.size() <= kMaxBytes;
    mBytes += room ? text.size() : 0;
    field = room ? text : "";
}

void CrashGroups::add(const std::string& key, const std::string& program, int event, const std::string& saved,
                      const std::string& shot)
{
    DistinctCrash* g = group(key, program, event);
    if (g == nullptr) {
        ++mLeft;
        return;
    }
    if (g->count++ == 0 || event < g->first) {
        g->first = event;
        set(g->shot, shot);
    }
    g->last = std::max(g->last, event);
    keep(g->dumps, saved);
}

void CrashGroups::merge(const CrashGroups& run, const std::string& record, size_t folder, const std::string& path)
{
    mLeft += run.mLeft;
    for (const auto& r : run.mGroups) {
        const DistinctCrash& from = r.second;
        DistinctCrash* g = group(from.key, from.program, from.first);
        if (g == nullptr) {
            mLeft += from.count;
            continue;
        }
        if (g->count == 0 || from.first < g->first) {
            g->first = from.first;
            g->program = from.program;
            set(g->shot, from.shot);
            set(g->record, record);
            g->folder = folder;
        }
        g->count += from.count;
        g->last = std::max(g->last, from.last);
        for (const std::string& d : from.dumps)
            keep(g->dumps, d);
        if (g->lastFolder != folder) {
            g->lastFolder = folder;
            ++g->foldersSeen;
            keep(g->folders, path);
        }
    }
}

std::vector<const DistinctCrash*> CrashGroups::sorted() const
{
    std::vector<const DistinctCrash*> out;
    for (const auto& g : mGroups)
        out.push_back(&g.second);
    std::stable_sort(out.begin(), out.end(), [](const DistinctCrash* a, const DistinctCrash* b) {
        return a->count != b->count ? a->count > b->count : a->first < b->first;
    });
    return out;
}
