// Arbitrary dump names, as any crashing program can choose its own name:
// the readable name, the move record and the log text built from them must
// stay one line of UTF-8, free of C1 and bidirectional controls, and keep the
// name's parts.
#include <stdint.h>

#include <cstdlib>
#include <string>

#include "base/log_text.h"
#include "watch/dump_name.h"

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

    // One line of UTF-8 that cannot steer a terminal or reorder itself,
    // whatever bytes the name holds.
    std::string line = escapeLogText(buildMoveCommand("/tmp/", name, "/data/cores/" + newname));
    for (size_t i = 0, n; i < line.size(); i += n)
        if ((n = utf8Length(line.data() + i, line.size() - i)) == 0 || static_cast<unsigned char>(line[i]) < 0x20 ||
            line[i] == 0x7f || steersText(line.data() + i, n))
            abort();
    return 0;
}
