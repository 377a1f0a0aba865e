// Arbitrary dump names, as any crashing program can choose its own name:
// the readable name, the move record and the log text built from them must
// stay one line and keep the name's parts.
#include <stdint.h>

#include <cstdlib>
#include <string>

#include "CoredumpMonitor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A file name holds any byte but '/' and NUL, at most 255 of them.
    std::string name(reinterpret_cast<const char*>(data), size), newname;
    if (size > 255 || name.find_first_of(std::string("/\0", 2)) != std::string::npos || !buildNewName(name, &newname))
        return 0;
    // Everything up to and including the last '-' is kept as it was.
    size_t dash = name.rfind('-');
    std::string kept = dash == std::string::npos ? "" : name.substr(0, dash + 1);
    if (newname.compare(0, kept.size(), kept) != 0)
        abort();

    std::string line = escapeLogText(buildMoveCommand("/tmp/", name, "/data/cores/" + newname));
    for (unsigned char c : line)
        if (c < 0x20 || c == 0x7f)
            abort();
    return 0;
}
