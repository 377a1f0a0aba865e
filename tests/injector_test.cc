// Problem: the bridge binds whatever libfeedinput the profile points at, and
// must log, dispatch and answer "not injected" exactly by what it found.
// Solution: each case runs in a sandbox (its own process, working folder and
// log) against stand-in libraries that export some of the names and note
// every call in calls.txt.
#include <dlfcn.h>
#include <string.h>
#include <sys/stat.h>

#include <array>

#include "InjectorEvent.h"
#include "sandboxed_case.h"

namespace {

const char kLib[] = "libfeedinput.so";
const char* const kSlots[] = {"touchClick", "touchSwipe", "touchLongClick", "sendHKeyInput", "sendHKeyMcu",
                              "getVersion"};
// One event of each kind, then one of no kind.
const Pointer kEvents[] = {{65, 47, 0, 0, 0, 0, FACTOR_TOUCH, 0}, {1, 2, 3, 4, 5, 75000, FACTOR_MOTION, 0},
                           {65, 47, 0, 0, 0, 800, FACTOR_LONGCLICK, 0}, {0, 0, 0, 0, 0, 0, FACTOR_PRESSKEY, 116},
                           {0, 0, 0, 0, 0, 0, -1, 0}};
const char kCalls[] = "touchClick(65,47);touchSwipe(1,2,3,4,5,75000);touchLongClick(65,47,800);sendHKeyInput(116);";

std::string Folder(const std::string& variant, const char* slash = "/")
{
    return std::string(FAKEFEED_DIR) + "/" + variant + slash;
}

struct LibCase {
    const char* variant;       // the stand-in's folder
    size_t links;              // slots it exports, from the first
    const char* version;
    std::array<int, 5> fed;    // FeedInput of kEvents
    std::string calls;         // what the library saw
    bool failing;              // each of its functions returns -1
    friend void PrintTo(const LibCase& c, std::ostream* os) { *os << c.variant; }
};

class LibTest : public SandboxedCase, public ::testing::WithParamInterface<LibCase> {};

TEST_P(LibTest, BindsWhatItExportsAndCallsIt)
{
    const LibCase& c = GetParam();
    Profile("LIBLARAY_PATH=" + Folder(c.variant) + "\n");
    Check([&c]() {
        InjectorEvent bridge;
        EXPECT_EQ(0, bridge.LoadLibaray());
        // Names it lacks leave no error pending for the next dlerror() caller.
        EXPECT_EQ(nullptr, dlerror());
        EXPECT_STREQ(c.version, bridge.GetLibarayVersion());
        EXPECT_FALSE(bridge.canInject(-1));
        std::array<int, 5> fed;
        for (int i = 0; i < 5; ++i) {
            fed[i] = bridge.FeedInput(kEvents[i]);
            EXPECT_EQ(i < FACTORZ_COUNT && fed[i] == 0, bridge.canInject(i)) << "kind " << i;
        }
        EXPECT_EQ(c.fed, fed);
    });
    EXPECT_EQ(c.calls, Sandbox::ReadFile(sb_.path("calls.txt")));
    std::vector<std::string> info = {"dlopen :" + Folder(c.variant) + kLib};
    for (size_t i = 0; i < c.links; ++i)
        info.push_back(std::string("link:") + kSlots[i]);
    if (c.failing)
        info.insert(info.end(), {"Error Click (ACTION_DOWN):(65,47)", "Error Swipe (ACTION_MOTION):(1,2,3,4,5)",
                                 "Error LongClick (ACTION_LONGCLICK):(65,47)", "Error PressKey (ACTION_PRESSKEY):(116)",
                                 "Error PressKey (ACTION_PRESSKEY):(116)"});
    EXPECT_EQ(info, Messages("[INFO]")) << MainLog();
    EXPECT_EQ(std::vector<std::string>{"fun name:16"}, Messages("[DEBUG][ParseLibaray]")) << Out();
}

// A key press counts as injected once sendHKeyInput was called, with or
// without the MCU path; a failing getVersion answers with no text at all.
INSTANTIATE_TEST_SUITE_P(
    Bridge, LibTest,
    ::testing::Values(LibCase{"touchonly", 1, "V0.1", {0, 1, 1, 1, 0}, "touchClick(65,47);", false},
                      LibCase{"basic", 4, "V0.1", {0, 0, 0, 0, 0}, kCalls, false},
                      LibCase{"full", 6, "fake-2.1", {0, 0, 0, 0, 0}, kCalls + std::string("sendHKeyMcu(116);"), false},
                      LibCase{"failing", 6, "V0.1", {0, 0, 0, 0, 0}, kCalls + std::string("sendHKeyMcu(116);"), true}),
    [](const ::testing::TestParamInfo<LibCase>& p) { return std::string(p.param.variant); });

// A folder of `length` characters in all.
std::string Long(const std::string& head, size_t length)
{
    return head + std::string(length - head.size() - 1, 'p') + "/";
}

struct OpenCase {
    const char* name;
    std::string value;  // LIBLARAY_PATH
    std::string path;   // what is opened
    const char* why;    // the DEBUG error, nullptr when the library binds
    friend void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }
};

class OpenTest : public SandboxedCase, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenTest, OpensThePathOrLogsWhyNot)
{
    const OpenCase& c = GetParam();
    if (c.path.rfind("/usr/lib/", 0) == 0 && access(c.path.c_str(), F_OK) == 0)
        GTEST_SKIP() << "a libfeedinput is installed in /usr/lib";
    if (c.value.rfind("./", 0) == 0) {
        ASSERT_EQ(0, mkdir(sb_.path(c.value).c_str(), 0755));
        ASSERT_EQ(0, symlink((Folder("basic") + kLib).c_str(), sb_.path(c.value + kLib).c_str()));
    }
    Profile("LIBLARAY_PATH=" + c.value + "\n");
    Check([&c]() {
        InjectorEvent bridge;
        EXPECT_EQ(c.path.find(c.value) == 0 ? c.value : "", bridge.m_libpath);
        bridge.LoadLibaray();
        for (const Pointer& event : kEvents) {
            if (event.eventTye >= 0) {
                EXPECT_EQ(c.why == nullptr, bridge.canInject(event.eventTye));
                EXPECT_EQ(c.why == nullptr ? 0 : 1, bridge.FeedInput(event)) << "kind " << event.eventTye;
            }
        }
        EXPECT_STREQ("V0.1", bridge.GetLibarayVersion());
    });
    std::vector<std::string> info = Messages("[INFO]"), debug = Messages("[DEBUG][ParseLibaray]");
    ASSERT_FALSE(info.empty()) << MainLog();
    if (c.why == nullptr) {
        EXPECT_EQ("dlopen :" + c.path, info[0]);
        return;
    }
    // "ParseLibaray", the line of the log statement, then the path.
    const std::string& line = info[0];
    size_t digits = line.size() > 13 ? strspn(line.c_str() + 13, "0123456789") : 0;
    EXPECT_TRUE(info.size() == 1 && digits > 0 && line[13] != '0' &&
                line == "ParseLibaray " + line.substr(13, digits) + " dlopen failed for " + c.path)
        << MainLog();
    EXPECT_TRUE(debug.size() == 1 && debug[0].rfind("error:", 0) == 0 && debug[0].find(c.why) != std::string::npos)
        << Out();
}

// The setting is read into 128 bytes: 127 characters are kept and opened,
// 128 count as no setting and leave the default folder.
INSTANTIATE_TEST_SUITE_P(
    Bridge, OpenTest,
    ::testing::Values(
        OpenCase{"FolderWithoutSlash", Folder("full", ""), Folder("full", "") + kLib, "No such file"},
        OpenCase{"PathOf127Fits", Long("./", 112), Long("./", 112) + kLib, nullptr},
        OpenCase{"SettingOf127IsKept", Long("./", 127), Long("./", 127) + kLib, nullptr},
        OpenCase{"SettingOf128IsNone", Long("/", 128), "/usr/lib/libfeedinput.so", "No such file"}),
    [](const ::testing::TestParamInfo<OpenCase>& p) { return std::string(p.param.name); });

}  // namespace
