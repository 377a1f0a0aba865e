// Problem: users leave tapfuzz running overnight and trust its morning
// report; that trust needs the program proven under signals at any moment,
// a long run, and a device and disks that fail under it.
// Solution: one program that runs the shipped tapfuzz and libfeedinput in
// test sandboxes through a signal storm, a soak and a set of faults, prints
// the figures of each and exits non-zero when any expectation failed.
#include <linux/capability.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "stress.h"

namespace {

void Usage()
{
    printf("usage: tapfuzz_stress [--storm RUNS] [--soak EVENTS] [--faults] [--seed N]\n"
           "                      [--tapfuzz PATH] [--lib PATH] [--fbshim PATH] [--faultshim PATH]\n"
           "Runs the parts named (all three when none is), after a self-check of the checks.\n"
           "Defaults: --storm %d, --soak %ld. Needs root (private namespaces).\n",
           300, 200000L);
}

std::string Resolved(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        fprintf(stderr, "tapfuzz_stress: %s: %s\n", path.c_str(), strerror(errno));
        exit(2);
    }
    std::string r = real;
    free(real);
    return r;
}

bool NumberArg(const char* text, long* out)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0)
        return false;
    *out = v;
    return true;
}

// Root without the permission bypass, for the run that makes /tmp
// unreadable: dropped from the bounding set, the two capabilities do not
// come back at exec.
[[noreturn]] void ExecWithoutDacOverride(char** argv)
{
    if (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
        prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0) {
        perror("tapfuzz_stress: dropping capabilities");
        _exit(126);
    }
    execv(argv[0], argv);
    perror(argv[0]);
    _exit(127);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "--exec-without-dac-override") == 0)
        ExecWithoutDacOverride(argv + 2);

    gProgs.tapfuzz = TAPFUZZ_BIN;
    gProgs.feedinput = FEEDINPUT_LIB;
    gProgs.fbshim = FBSHIM_LIB;
    gProgs.faultshim = FAULTSHIM_LIB;
    long storm = -1, soak = -1;
    bool faults = false;
    long seed = static_cast<long>(time(nullptr) % 100000);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--faults") {
            faults = true;
        } else if (a == "--storm" && hasValue && NumberArg(argv[i + 1], &storm)) {
            ++i;
        } else if (a == "--soak" && hasValue && NumberArg(argv[i + 1], &soak)) {
            ++i;
        } else if (a == "--seed" && hasValue && NumberArg(argv[i + 1], &seed)) {
            ++i;
        } else if (a == "--tapfuzz" && hasValue) {
            gProgs.tapfuzz = argv[++i];
        } else if (a == "--lib" && hasValue) {
            gProgs.feedinput = argv[++i];
        } else if (a == "--fbshim" && hasValue) {
            gProgs.fbshim = argv[++i];
        } else if (a == "--faultshim" && hasValue) {
            gProgs.faultshim = argv[++i];
        } else {
            Usage();
            return 2;
        }
    }
    if (storm < 0 && soak < 0 && !faults) {
        storm = 300;
        soak = 200000;
        faults = true;
    }
    gProgs.tapfuzz = Resolved(gProgs.tapfuzz);
    gProgs.feedinput = Resolved(gProgs.feedinput);
    gProgs.fbshim = Resolved(gProgs.fbshim);
    gProgs.faultshim = Resolved(gProgs.faultshim);
    gProgs.self = Resolved("/proc/self/exe");

    std::string why;
    if (!Sandbox::Available() || !EnterPrivateMounts(&why)) {
        fprintf(stderr, "tapfuzz_stress: needs root for private namespaces%s%s\n", why.empty() ? "" : ": ",
                why.c_str());
        return 77;
    }
    // The preloaded shims come before a sanitizer runtime in a sanitized
    // build of tapfuzz.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
    // A capture whose reader is gone must not end the stress program.
    signal(SIGPIPE, SIG_IGN);

    printf("tapfuzz under test: %s\n", gProgs.tapfuzz.c_str());
    int failed = SelfCheck();
    int stormFailed = 0, soakFailed = 0, faultsFailed = 0;
    if (storm > 0)
        stormFailed = SignalStorm(static_cast<int>(storm), static_cast<unsigned>(seed));
    if (soak > 0)
        soakFailed = Soak(soak);
    if (faults)
        faultsFailed = DeviceFaults();
    failed += stormFailed + soakFailed + faultsFailed;

    printf("\n== Summary\n");
    if (storm > 0)
        printf("signal storm   %s  (%ld runs, seed %ld)\n", stormFailed ? "FAIL" : "PASS", storm, seed);
    if (soak > 0)
        printf("soak           %s  (%ld events)\n", soakFailed ? "FAIL" : "PASS", soak);
    if (faults)
        printf("device faults  %s\n", faultsFailed ? "FAIL" : "PASS");
    return failed == 0 ? 0 : 1;
}
