// Problem: the bridge binds whatever libfeedinput the profile points at, and
// must log, dispatch and answer "not injected" exactly by what it found.
// Solution: each case runs in a sandbox (its own process, working folder and
// log) against stand-in libraries that export some of the names and note
// every call in a journal.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "InjectorEvent.h"
#include "Logger.h"
#include "Pointer.h"
#include "echo_text.h"
#include "sandbox.h"

namespace {

std::string Folder(const std::string& variant)
{
    return std::string(FAKEFEED_DIR) + "/" + variant + "/";
}

// The journal of the stand-in the bridge loaded from `folder`: opening the
// same file again yields the instance already in the process.
std::string Journal(const std::string& folder)
{
    void* lib = dlopen((folder + "libfeedinput.so").c_str(), RTLD_NOW);
    if (lib == nullptr)
        return "(not loaded)";
    auto journal = reinterpret_cast<const char* (*)()>(dlsym(lib, "fakefeed_journal"));
    std::string text = journal != nullptr ? journal() : "(no journal)";
    dlclose(lib);
    return text;
}

void ResetJournal(const std::string& folder)
{
    void* lib = dlopen((folder + "libfeedinput.so").c_str(), RTLD_NOW);
    if (lib == nullptr)
        return;
    if (auto reset = reinterpret_cast<void (*)()>(dlsym(lib, "fakefeed_reset")))
        reset();
    dlclose(lib);
}

// Messages of the lines carrying `tag`, each cut to what follows its prefix.
std::vector<std::string> Messages(const std::string& text, const std::string& tag)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(tag);
        if (at == std::string::npos)
            continue;
        std::string rest = line.substr(at + tag.size());
        size_t end = rest.find("]:");
        if (rest.compare(0, 6, "[Line ") == 0 && end != std::string::npos)
            rest = rest.substr(end + 2);
        found.push_back(rest);
    }
    return found;
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs mount and PID namespaces (run as root)";
        sb_.reset(new Sandbox);
    }

    void LibPath(const std::string& value)
    {
        ASSERT_TRUE(Sandbox::WriteFile(sb_->path("device.conf"), "LIBLARAY_PATH=" + value + "\n"));
    }

    // Runs body in the sandbox, standard output in out.txt, and expects a
    // clean end; the child's own failures are in out.txt.
    void Check(const std::function<void()>& body)
    {
        int st = sb_->Run([&body]() {
            int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || dup2(out, 1) < 0)
                return 90;
            body();
            Logger::stopEcho();
            fflush(nullptr);
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st << "\n" << Out();
    }

    std::string Out() const { return Sandbox::ReadFile(sb_->path("out.txt")); }
    std::vector<std::string> Info() const { return Messages(MainLog(), "[INFO]"); }
    std::vector<std::string> Debug() const
    {
        return Messages(WithoutEcho(Out(), MainLog()), "[DEBUG][ParseLibaray]");
    }
    std::string MainLog() const
    {
        std::string text;
        DIR* d = opendir(sb_->path("results").c_str());
        if (d == nullptr)
            return text;
        while (dirent* e = readdir(d)) {
            if (strncmp(e->d_name, "tapfuzz", 7) == 0)
                text += Sandbox::ReadFile(sb_->path("results/") + e->d_name + "/tapfuzz.log");
        }
        closedir(d);
        return text;
    }

    // Expects the two lines of a failed open of `path`, and nothing bound.
    void ExpectOpenFailed(const std::string& path, const std::string& why)
    {
        std::vector<std::string> info = Info();
        ASSERT_EQ(1u, info.size()) << MainLog();
        const std::string head = "ParseLibaray ";
        const std::string tail = " dlopen failed for " + path;
        ASSERT_EQ(0u, info[0].compare(0, head.size(), head)) << info[0];
        ASSERT_GT(info[0].size(), head.size() + tail.size()) << info[0];
        EXPECT_EQ(tail, info[0].substr(info[0].size() - tail.size())) << info[0];
        std::string line = info[0].substr(head.size(), info[0].size() - head.size() - tail.size());
        EXPECT_GT(atoi(line.c_str()), 0) << "source line: " << line;
        EXPECT_EQ(std::string::npos, line.find_first_not_of("0123456789")) << line;
        std::vector<std::string> debug = Debug();
        ASSERT_EQ(1u, debug.size()) << Out();
        EXPECT_EQ(0u, debug[0].find("error:")) << debug[0];
        EXPECT_NE(std::string::npos, debug[0].find(why)) << debug[0];
    }

    std::unique_ptr<Sandbox> sb_;
};

// ---------------------------------------------------------------- binding

struct BindCase {
    const char* name;  // the stand-in's folder
    std::vector<std::string> links;  // INFO "link:" names, in slot order
    std::vector<bool> injects;       // canInject for kinds 0..3
    const char* version;
    friend void PrintTo(const BindCase& c, std::ostream* os) { *os << c.name; }
};

class BindTest : public BridgeTest, public ::testing::WithParamInterface<BindCase> {};

TEST_P(BindTest, BindsWhatTheLibraryExportsAndLogsIt)
{
    const BindCase& c = GetParam();
    LibPath(Folder(c.name));
    Check([&c]() {
        InjectorEvent bridge;
        EXPECT_EQ(0, bridge.LoadLibaray());
        // Names it lacks leave no error pending for the next dlerror() caller.
        EXPECT_EQ(nullptr, dlerror());
        for (int kind = 0; kind < FACTORZ_COUNT; ++kind)
            EXPECT_EQ(c.injects[kind], bridge.canInject(kind)) << "kind " << kind;
        EXPECT_FALSE(bridge.canInject(-1));
        EXPECT_FALSE(bridge.canInject(FACTORZ_COUNT));
        EXPECT_STREQ(c.version, bridge.GetLibarayVersion());
    });
    std::vector<std::string> want = {"dlopen :" + Folder(c.name) + "libfeedinput.so"};
    for (const std::string& name : c.links)
        want.push_back("link:" + name);
    EXPECT_EQ(want, Info()) << MainLog();
    EXPECT_EQ(std::vector<std::string>{"fun name:16"}, Debug()) << Out();
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, BindTest,
    ::testing::Values(
        BindCase{"touchonly", {"touchClick"}, {true, false, false, false}, "V0.1"},
        BindCase{"basic", {"touchClick", "touchSwipe", "touchLongClick", "sendHKeyInput"},
                 {true, true, true, true}, "V0.1"},
        BindCase{"full",
                 {"touchClick", "touchSwipe", "touchLongClick", "sendHKeyInput", "sendHKeyMcu", "getVersion"},
                 {true, true, true, true}, "fake-2.1"},
        // Its getVersion answers with no text at all.
        BindCase{"failing",
                 {"touchClick", "touchSwipe", "touchLongClick", "sendHKeyInput", "sendHKeyMcu", "getVersion"},
                 {true, true, true, true}, "V0.1"}),
    [](const ::testing::TestParamInfo<BindCase>& p) { return std::string(p.param.name); });

// --------------------------------------------------------------- dispatch

struct FeedCase {
    const char* name;
    const char* variant;
    Pointer event;
    int result;
    const char* journal;             // the calls the library saw
    std::vector<std::string> errors; // INFO lines after the binding lines
    friend void PrintTo(const FeedCase& c, std::ostream* os) { *os << c.name; }
};

class FeedTest : public BridgeTest, public ::testing::WithParamInterface<FeedCase> {};

TEST_P(FeedTest, CallsTheBoundFunctionAndReportsFailures)
{
    const FeedCase& c = GetParam();
    const std::string folder = Folder(c.variant);
    LibPath(folder);
    Check([&c, &folder]() {
        InjectorEvent bridge;
        bridge.LoadLibaray();
        ResetJournal(folder);
        EXPECT_EQ(c.result, bridge.FeedInput(c.event));
        EXPECT_EQ(c.journal, Journal(folder));
    });
    std::vector<std::string> errors;
    for (const std::string& line : Info()) {
        if (line.compare(0, 5, "link:") != 0 && line.compare(0, 8, "dlopen :") != 0)
            errors.push_back(line);
    }
    EXPECT_EQ(c.errors, errors) << MainLog();
}

const Pointer kClick = {65, 47, 0, 0, 0, 0, FACTOR_TOUCH, 0};
const Pointer kSwipe = {1, 2, 3, 4, 5, 75000, FACTOR_MOTION, 0};
const Pointer kLongClick = {65, 47, 0, 0, 0, 800, FACTOR_LONGCLICK, 0};
const Pointer kKey = {0, 0, 0, 0, 0, 0, FACTOR_PRESSKEY, 116};
const Pointer kNoKind = {0, 0, 0, 0, 0, 0, -1, 0};

INSTANTIATE_TEST_SUITE_P(
    Bridge, FeedTest,
    ::testing::Values(
        FeedCase{"ClickOnTouchOnly", "touchonly", kClick, 0, "touchClick(65,47);", {}},
        FeedCase{"SwipeUnboundIsNotInjected", "touchonly", kSwipe, 1, "", {}},
        FeedCase{"LongClickUnboundIsNotInjected", "touchonly", kLongClick, 1, "", {}},
        FeedCase{"KeyUnboundIsNotInjected", "touchonly", kKey, 1, "", {}},
        FeedCase{"OtherKindIsIgnored", "full", kNoKind, 0, "", {}},
        FeedCase{"Swipe", "full", kSwipe, 0, "touchSwipe(1,2,3,4,5,75000);", {}},
        FeedCase{"LongClick", "full", kLongClick, 0, "touchLongClick(65,47,800);", {}},
        FeedCase{"KeyGoesToBothPaths", "full", kKey, 0, "sendHKeyInput(116);sendHKeyMcu(116);", {}},
        // The key reached the key device: injected, though the MCU path is absent.
        FeedCase{"KeyWithoutMcuPathIsInjected", "basic", kKey, 0, "sendHKeyInput(116);", {}},
        FeedCase{"FailingClick", "failing", kClick, 0, "touchClick(65,47);",
                 {"Error Click (ACTION_DOWN):(65,47)"}},
        FeedCase{"FailingSwipe", "failing", kSwipe, 0, "touchSwipe(1,2,3,4,5,75000);",
                 {"Error Swipe (ACTION_MOTION):(1,2,3,4,5)"}},
        FeedCase{"FailingLongClick", "failing", kLongClick, 0, "touchLongClick(65,47,800);",
                 {"Error LongClick (ACTION_LONGCLICK):(65,47)"}},
        FeedCase{"FailingKeyReportsEachPath", "failing", kKey, 0, "sendHKeyInput(116);sendHKeyMcu(116);",
                 {"Error PressKey (ACTION_PRESSKEY):(116)", "Error PressKey (ACTION_PRESSKEY):(116)"}}),
    [](const ::testing::TestParamInfo<FeedCase>& p) { return std::string(p.param.name); });

// ------------------------------------------------------------ open failures

// Nothing bound: every kind is answered "not injected", nothing is called.
void ExpectNothingBound(InjectorEvent& bridge)
{
    for (const Pointer& event : {kClick, kSwipe, kLongClick, kKey}) {
        EXPECT_FALSE(bridge.canInject(event.eventTye));
        EXPECT_EQ(1, bridge.FeedInput(event)) << "kind " << event.eventTye;
    }
    EXPECT_STREQ("V0.1", bridge.GetLibarayVersion());
}

TEST_F(BridgeTest, FolderWithoutTrailingSlashGluesTheNameOn)
{
    std::string folder = Folder("full");
    folder.pop_back();
    LibPath(folder);
    Check([]() {
        InjectorEvent bridge;
        bridge.LoadLibaray();
        ExpectNothingBound(bridge);
    });
    ExpectOpenFailed(folder + "libfeedinput.so", "No such file");
}

TEST_F(BridgeTest, FolderWithoutTheLibrary)
{
    LibPath(std::string(FAKEFEED_DIR) + "/");
    Check([]() {
        InjectorEvent bridge;
        bridge.LoadLibaray();
        ExpectNothingBound(bridge);
    });
    ExpectOpenFailed(std::string(FAKEFEED_DIR) + "/libfeedinput.so", "No such file");
}

TEST_F(BridgeTest, NoProfileUsesUsrLib)
{
    if (access("/usr/lib/libfeedinput.so", F_OK) == 0)
        GTEST_SKIP() << "a libfeedinput is installed in /usr/lib";
    Check([]() {
        InjectorEvent bridge;
        EXPECT_STREQ("", bridge.m_libpath);
        bridge.LoadLibaray();
        ExpectNothingBound(bridge);
    });
    ExpectOpenFailed("/usr/lib/libfeedinput.so", "No such file");
}

// The library's path is built in 128 bytes: a folder of 112 characters plus
// "libfeedinput.so" (15) just fits; one more is refused before dlopen.
class PathLengthTest : public BridgeTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(PathLengthTest, PathFitsInItsBuffer)
{
    const size_t length = GetParam();
    // "./" + name + "/" in the working folder, with the stand-in linked in.
    std::string folder = "./" + std::string(length - 3, 'p') + "/";
    ASSERT_EQ(length, folder.size());
    ASSERT_EQ(0, mkdir(sb_->path(folder).c_str(), 0755));
    ASSERT_EQ(0, symlink((Folder("basic") + "libfeedinput.so").c_str(),
                         sb_->path(folder + "libfeedinput.so").c_str()));
    LibPath(folder);
    const bool fits = length + 15 <= 127;
    Check([&folder, fits]() {
        InjectorEvent bridge;
        EXPECT_EQ(folder, bridge.m_libpath);
        bridge.LoadLibaray();
        EXPECT_EQ(fits, bridge.canInject(FACTOR_TOUCH));
    });
    if (fits) {
        ASSERT_FALSE(Info().empty()) << MainLog();
        EXPECT_EQ("dlopen :" + folder + "libfeedinput.so", Info()[0]);
    } else {
        ExpectOpenFailed(folder + "libfeedinput.so", "path longer than 127 characters");
    }
}

INSTANTIATE_TEST_SUITE_P(Bridge, PathLengthTest, ::testing::Values(112u, 113u));

// LIBLARAY_PATH is read into 128 bytes: 127 characters are kept (and then
// make too long a path), 128 do not fit and count as no setting.
class ProfileValueTest : public BridgeTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(ProfileValueTest, FolderSettingFitsInItsBuffer)
{
    const size_t length = GetParam();
    const std::string value = "/" + std::string(length - 2, 'q') + "/";
    if (length == 128 && access("/usr/lib/libfeedinput.so", F_OK) == 0)
        GTEST_SKIP() << "a libfeedinput is installed in /usr/lib";
    LibPath(value);
    const std::string kept = length <= 127 ? value : "";
    Check([&kept]() {
        InjectorEvent bridge;
        EXPECT_EQ(kept, bridge.m_libpath);
        bridge.LoadLibaray();
        ExpectNothingBound(bridge);
    });
    if (length <= 127)
        ExpectOpenFailed(value + "libfeedinput.so", "path longer than 127 characters");
    else
        ExpectOpenFailed("/usr/lib/libfeedinput.so", "No such file");
}

INSTANTIATE_TEST_SUITE_P(Bridge, ProfileValueTest, ::testing::Values(127u, 128u));

}  // namespace
