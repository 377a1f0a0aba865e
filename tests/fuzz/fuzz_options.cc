// Arbitrary argument vectors through the pre-scan, the option walk and the
// COUNT rule, and the naming of what they skip. The input is split into
// arguments at NUL bytes. Nothing here may crash, overrun processname, leave
// a pause that is negative, or name an argument on more than one line.
#include <stdint.h>
#include <string.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "run/options.h"
#include "run/pacing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args{"tapfuzz"};
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size) + '\0');
    for (std::string arg; args.size() <= 64 && std::getline(in, arg, '\0');)
        args.push_back(arg);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    mVerbose = currentargc = 0;
    mThrottle = 0;
    mSeconds = 0;
    mCount = 100;
    for (int i = 0; i < 4; ++i)
        setOptionFactor(i, 1.0f);
    preScanOptions(static_cast<int>(args.size()), argv.data());
    processOptions(static_cast<int>(args.size()), argv.data());
    if (memchr(processname, '\0', sizeof processname) == nullptr || mThrottle < 0)
        abort();
    // Each skipped argument is named on one line of its own.
    for (const std::string& line : unknownArguments(static_cast<int>(args.size()), argv.data()))
        if (line.find('\n') != std::string::npos)
            abort();
    return 0;
}
