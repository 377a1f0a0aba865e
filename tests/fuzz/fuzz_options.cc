// Arbitrary argument vectors through the pre-scan, the option walk and the
// COUNT rule. The input is split into arguments at NUL bytes. Nothing here
// may crash, overrun processname, or leave a pause that is negative.
#include <stdint.h>
#include <string.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "RunControl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args{"tapfuzz"};
    std::string cur;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            args.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(cur);
    if (args.size() > 64)
        return 0;
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    mVerbose = 0;
    currentargc = 0;
    mCount = 100;
    mThrottle = 0;
    mSeconds = 0;
    for (int i = 0; i < 4; ++i)
        setOptionFactor(i, 1.0f);

    int argc = static_cast<int>(args.size());
    preScanOptions(argc, argv.data());
    processOptions(argc, argv.data());
    if (memchr(processname, '\0', sizeof processname) == nullptr)
        abort();
    if (mThrottle < 0)
        abort();
    return 0;
}
