// Keys that change on any Windows machine within minutes, whatever is
// installed: capture leaves their subtrees out unless told not to. The
// README lists them with the same reasons.
#pragma once

#include "platform/text.h"

namespace km::pack {

struct DefaultExclusion {
    TextView key;
    const char* why;
};

inline constexpr DefaultExclusion kDefaultExclusions[] = {
    {u"HKLM\\SOFTWARE\\Microsoft\\Cryptography\\RNG", "the random number generator's seed, rewritten as it is used"},
    {u"HKLM\\SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting", "crash and report queue state and times"},
    {u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\State",
     "the times and results of each policy refresh"},
    {u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\bam\\State", "last run times of every program, per user"},
    {u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\AppCompatCache",
     "the compatibility cache of every program started"},
    {u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\UserAssist", "counts of programs started"},
    {u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RecentDocs", "recently opened files"},
    {u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SessionInfo", "the logon session's Explorer state"},
    {u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2", "drives and shares seen"},
    {u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32", "recent files of open and save dialogs"},
    {u"HKCU\\Software\\Microsoft\\Windows\\Shell\\BagMRU", "folder window positions and views"},
    {u"HKCU\\Software\\Microsoft\\Windows\\Shell\\Bags", "folder window positions and views"},
    {u"HKCU\\Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\Shell\\BagMRU",
     "folder window positions and views"},
    {u"HKCU\\Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\Shell\\Bags",
     "folder window positions and views"},
    {u"HKCU\\Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache",
     "display names of programs started"},
};

}  // namespace km::pack
