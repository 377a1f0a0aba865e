// Arbitrary bytes as a dump, as anyone can plant a file named like one in
// /tmp, and the module paths it names are opened for their symbols: the
// signature is read without a read out of bounds or a hang, its text stays
// one line whose parts split on blanks, and its key is the text's first two
// parts, or both are "unknown".
#include <stdint.h>

#include <cstdlib>
#include <string>

#include "watch/core_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CoreSignature sig = readCoreSignature(data, size);
    std::string text = sig.text(), key = sig.key();
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            abort();
    if (!sig.known)
        return text == "unknown" && key == "unknown" ? 0 : (abort(), 0);
    size_t first = text.find(' '), second = text.find(' ', first + 1);
    std::string parts = text.substr(0, second);
    parts[first] = ',';
    if (key != parts || key.find(' ') != std::string::npos || sig.module.empty())
        abort();
    return 0;
}
