// Arbitrary bytes as a dump, as anyone can plant a file named like one in
// /tmp, and the module paths it names are opened for their symbols: the
// signature is read without a read out of bounds or a hang, its text and key
// stay one line of UTF-8 free of C1 and bidirectional controls whose parts
// split on blanks, and its key is the text's first two parts with the
// module's path for its name, or both are "unknown".
#include <stdint.h>

#include <cstdlib>
#include <string>

#include "base/log_text.h"
#include "watch/core_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CoreSignature sig = readCoreSignature(data, size);
    std::string text = sig.text(), key = sig.key();
    for (const std::string& t : {text, key})
        for (size_t i = 0, n; i < t.size(); i += n)
            if ((n = utf8Length(t.data() + i, t.size() - i)) == 0 || static_cast<unsigned char>(t[i]) < 0x20 ||
                t[i] == 0x7f || steersText(t.data() + i, n))
                abort();
    if (!sig.known)
        return text == "unknown" && key == "unknown" ? 0 : (abort(), 0);
    // "SIGNAL MODULE+0x..." and "SIGNAL,PATH+0x..." where PATH is MODULE or
    // ends in "/MODULE".
    size_t first = text.find(' '), second = text.find(' ', first + 1), plus = text.rfind('+', second);
    const std::string tail = text.substr(plus, second - plus), head = text.substr(0, first) + ",";
    const std::string path = key.compare(0, head.size(), head) == 0 && key.size() >= head.size() + tail.size()
                                 ? key.substr(head.size(), key.size() - head.size() - tail.size()) : "";
    const std::string module = text.substr(first + 1, plus - first - 1);
    if (key.compare(key.size() - std::min(key.size(), tail.size()), tail.size(), tail) != 0 || path.empty() ||
        (path != module && (path.size() <= module.size() ||
                            path.compare(path.size() - module.size() - 1, std::string::npos, "/" + module) != 0)) ||
        key.find(' ') != std::string::npos || sig.module.empty())
        abort();
    return 0;
}
