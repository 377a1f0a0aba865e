// Arbitrary bytes as a dump, as anyone can plant a file named like one in
// /tmp, and the module paths it names are opened for their symbols: the
// signature is read without a read out of bounds or a hang, its text and key
// stay one line of UTF-8 free of C1 and bidirectional controls whose parts
// split on blanks, and its key is the signal and three frames, the first
// the text's with the module's path for its name, or both are "unknown".
#include <stdint.h>

#include <cstdlib>
#include <string>
#include <vector>

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
    // "SIGNAL MODULE+0x..." and "SIGNAL,F1,F2,F3" whose F1 is PATH+0x...,
    // PATH being MODULE or ending in "/MODULE".
    size_t first = text.find(' '), second = std::min(text.find(' ', first + 1), text.size());
    const std::string head = text.substr(0, first) + ",", shown = text.substr(first + 1, second - first - 1);
    const size_t plus = shown.rfind('+');
    std::vector<std::string> parts;
    for (size_t at = 0; at <= key.size();) {
        const size_t comma = std::min(key.find(',', at), key.size());
        parts.push_back(key.substr(at, comma - at));
        at = comma + 1;
    }
    const std::string module = shown.substr(0, plus), tail = shown.substr(plus), frame = parts.size() > 1 ? parts[1] : "";
    const std::string path = frame.size() > tail.size() ? frame.substr(0, frame.size() - tail.size()) : "";
    if (parts.size() != 4 || key.compare(0, head.size(), head) != 0 || plus == std::string::npos || path.empty() ||
        frame.compare(path.size(), std::string::npos, tail) != 0 ||
        (path != module && (path.size() <= module.size() ||
                            path.compare(path.size() - module.size() - 1, std::string::npos, "/" + module) != 0)) ||
        key.find(' ') != std::string::npos || sig.module.empty() || sig.frames.size() > 32)
        abort();
    return 0;
}
