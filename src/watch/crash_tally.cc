// Problem: a dump's key comes from a file anyone may plant in /tmp and from
// names a crashing program chose; a flood of distinct ones must cost neither
// memory without bound nor a forged log line.
// Solution: keys are the signature's own escaped text, programs escaped as
// in log lines, and the map stops growing at its cap.
#include "watch/crash_tally.h"

#include "base/log_text.h"
#include "base/logger.h"
#include "record/record_line.h"
#include "watch/core_signature.h"

void CrashTally::count(const CoreSignature& signature, const std::string& program)
{
    const std::string key = crashGroupKey(signature.key(), escapeLogText(program));
    ++mCrashes;
    long n = 1;
    auto it = mSeen.find(key);
    if (it != mSeen.end()) {
        n = ++it->second;
    } else {
        ++mDistinct;
        if (mSeen.size() < kMaxSignatures) {
            mSeen.emplace(key, 1);
        } else if (!mFullLogged) {
            LOG(INFO) << "crash tally full: " << kMaxSignatures
                      << " signatures held; a new one from now on counts as a distinct crash each time";
            mFullLogged = true;
        }
    }
    LOG(INFO) << "crash signature:" << signature.text() << (n == 1 ? std::string(" new") : " seen:" + std::to_string(n));
}
